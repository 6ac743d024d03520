// The serial layer on POSIX systems (Linux first): termios, with mark and space parity through
// CMSPAR where the system has it.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "link/mode_string.h"
#include "link/serial.h"

namespace tqrf::serial {

struct Device {
    int fd = -1;
    // The line settings record: every mode change reads the device's settings into it,
    // applies a mode string and writes it back.
    termios line{};
};

namespace {

// Write time-outs: 50 ms per byte plus 200 ms.
constexpr long WRITE_TIMEOUT_PER_BYTE_MS = 50;
constexpr long WRITE_TIMEOUT_CONSTANT_MS = 200;
// How often a waiting write looks again at the transmitter.
constexpr long DRAIN_POLL_MS = 1;

// One Device per process is enough: the library opens one port at a time. Keeping it static
// means no heap allocation.
Device the_device;
bool device_in_use = false;

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool speed_for_rate(std::uint32_t rate, speed_t* speed) {
    struct Entry {
        std::uint32_t rate;
        speed_t speed;
    };
    static constexpr Entry table[] = {
        {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
        {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
        {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
    };
    for (const Entry& e : table) {
        if (e.rate == rate) {
            *speed = e.speed;
            return true;
        }
    }
    return false;
}

bool set_parity(termios* t, Parity parity) {
    t->c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#ifdef CMSPAR
    t->c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (parity) {
        case Parity::None:
            return true;
        case Parity::Even:
            t->c_cflag |= PARENB;
            return true;
        case Parity::Odd:
            t->c_cflag |= PARENB | PARODD;
            return true;
#ifdef CMSPAR
        // Sticky parity: with PARODD the parity bit is always 1 (mark), without it always 0.
        case Parity::Mark:
            t->c_cflag |= PARENB | CMSPAR | PARODD;
            return true;
        case Parity::Space:
            t->c_cflag |= PARENB | CMSPAR;
            return true;
#endif
        default:
            return false;
    }
}

tcflag_t size_flag(std::uint8_t bits) {
    switch (bits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

// Waits, within `deadline_ms`, until the transmitter has sent everything queued.
void drain_until(int fd, long long deadline_ms) {
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
        if (now_ms() >= deadline_ms) return;
        pause_ms(DRAIN_POLL_MS);
    }
}

// Writes `t` to the line. A pseudo-terminal takes the settings but silently drops the parity
// flags, and the C library may then report EINVAL although the kernel applied the call (it
// does so when the same parity mode is set twice). Such a result counts as success when the
// rate, the character size, the stop bits and the receiver settings are in force.
bool write_line(int fd, int when, const termios& t) {
    if (tcsetattr(fd, when, &t) == 0) return true;
    if (errno != EINVAL) return false;
    termios now{};
    if (tcgetattr(fd, &now) != 0) return false;
    const tcflag_t kept = CSIZE | CSTOPB | CREAD | CLOCAL;
    return (now.c_cflag & kept) == (t.c_cflag & kept) && cfgetospeed(&now) == cfgetospeed(&t) &&
           cfgetispeed(&now) == cfgetispeed(&t);
}

}  // namespace

bool device_path_for_port(int number, char* out, std::size_t capacity) {
    if (number < 1) return false;
    // COM1 is the first serial device, as Windows compatibility layers map it.
    const int n = std::snprintf(out, capacity, "/dev/ttyS%d", number - 1);
    return n > 0 && static_cast<std::size_t>(n) < capacity;
}

Device* open_device(const char* path) {
    if (path == nullptr || device_in_use) return nullptr;
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    // TIOCEXCL refuses later opens by other users; flock refuses other opens by root too.
    if (!isatty(fd) || ioctl(fd, TIOCEXCL) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return nullptr;
    }
    the_device = Device{};
    the_device.fd = fd;
    device_in_use = true;
    return &the_device;
}

void close_device(Device* device) {
    if (device == nullptr || device->fd < 0) return;
    (void)ioctl(device->fd, TIOCNXCL);
    (void)::close(device->fd);  // releases the flock as well
    device->fd = -1;
    if (device == &the_device) device_in_use = false;
}

bool apply_mode(Device* device, const char* mode) {
    if (device == nullptr || device->fd < 0) return false;
    LineMode parsed;
    speed_t speed{};
    if (!parse_mode_string(mode, &parsed) || !speed_for_rate(parsed.rate, &speed)) return false;
    if (parsed.stop_tenths == 15) return false;  // 1.5 stop bits: not offered by termios

    if (tcgetattr(device->fd, &device->line) != 0) return false;
    termios& t = device->line;
    // Raw bytes both ways, no echo, no signals, no flow control, no parity checking on input.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | HUPCL);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cflag |= CLOCAL | CREAD | size_flag(parsed.data_bits);
    if (parsed.stop_tenths == 20) t.c_cflag |= CSTOPB;
    if (!set_parity(&t, parsed.parity)) return false;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;
    // TCSADRAIN: a byte still in the transmitter leaves with the old parity before the line
    // changes. The settings are never read back to check them (a pseudo-terminal silently
    // drops the parity flags).
    return write_line(device->fd, TCSADRAIN, t);
}

bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    // The kernel's tty buffers are of fixed size, larger than any queue the library asks for.
    (void)input_bytes;
    (void)output_bytes;
    return device != nullptr && device->fd >= 0;
}

bool set_timeouts(Device* device) {
    if (device == nullptr || device->fd < 0) return false;
    // Reads return at once with what is queued; writes are bounded in write_bytes.
    if (tcgetattr(device->fd, &device->line) != 0) return false;
    device->line.c_cc[VMIN] = 0;
    device->line.c_cc[VTIME] = 0;
    return write_line(device->fd, TCSANOW, device->line);
}

void purge_input(Device* device) {
    if (device != nullptr && device->fd >= 0) (void)tcflush(device->fd, TCIFLUSH);
}

void purge_output(Device* device) {
    if (device != nullptr && device->fd >= 0) (void)tcflush(device->fd, TCOFLUSH);
}

std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count) {
    if (device == nullptr || device->fd < 0 || data == nullptr) return 0;
    const long long deadline = now_ms() + WRITE_TIMEOUT_CONSTANT_MS +
                               WRITE_TIMEOUT_PER_BYTE_MS * static_cast<long long>(count);
    std::uint32_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(device->fd, data + written, count - written);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
        const long long left = deadline - now_ms();
        if (left <= 0) break;
        pollfd p{device->fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
    }
    // The write is complete when the bytes have left the transmitter, within the time-out.
    drain_until(device->fd, deadline);
    return written;
}

std::uint32_t bytes_waiting(Device* device) {
    if (device == nullptr || device->fd < 0) return 0;
    int waiting = 0;
    if (ioctl(device->fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return static_cast<std::uint32_t>(waiting);
}

std::uint32_t read_waiting(Device* device, std::uint8_t* buffer, std::uint32_t max) {
    if (device == nullptr || device->fd < 0 || buffer == nullptr || max == 0) return 0;
    for (;;) {
        const ssize_t n = ::read(device->fd, buffer, max);
        if (n >= 0) return static_cast<std::uint32_t>(n);
        if (errno != EINTR) return 0;
    }
}

void pause_ms(std::uint32_t ms) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += static_cast<time_t>(ms / 1000);
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

}  // namespace tqrf::serial
