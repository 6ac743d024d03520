// The serial layer on POSIX systems (Linux first): termios, with mark and space parity through
// CMSPAR where the system has it.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>

#include "os/line_wait.h"
#include "os/mode_string.h"
#include "os/prepared_link.h"
#include "os/serial.h"

#if defined(__linux__)
#include <linux/serial.h>  // TIOCSER_TEMT, serial_struct, ASYNC_LOW_LATENCY
#include <sys/prctl.h>
#include <sys/sysmacros.h>
#endif

namespace tqrf::serial {

struct Device {
    int fd = -1;
    // The line settings in force: read from the device once, at open, then what was written
    // last. It is never read back from the device, which would lose the parity flags on a
    // pseudo-terminal.
    termios line{};
    // The settings of the link's two modes, built once after the open.
    PreparedLink<termios> link;
    // The settings the device had before it was opened, put back at close.
    termios saved{};
    // The time one character takes at the settings in force, in microseconds.
    std::uint32_t character_us = 0;
    // The transmitter was seen empty after the last write: a mode change need not look again.
    bool transmitter_idle = true;
    // The driver reports its shift register (TIOCSERGETLSR); learnt at open.
    bool has_lsr = false;
    bool lost = false;
    int error = 0;  // errno of the last failed call
    bool pseudo_terminal = false;
    bool parity_checked = false;  // the settings were read back after a mark/space write
    bool mark_space_dropped = false;
    LowLatency low_latency = LowLatency::Unknown;
    bool low_latency_ours = false;  // the open turned it on: the close turns it off again
};

struct TraceFile {
    int fd = -1;
};

namespace {

// Write time-outs: 50 ms per byte plus 200 ms.
constexpr long long WRITE_TIMEOUT_PER_BYTE_US = 50'000;
constexpr long long WRITE_TIMEOUT_CONSTANT_US = 200'000;
// How often a drain looks again at a transmitter still busy after the line time of what was
// queued (flow control, a slow adapter): a few characters at 19200 baud.
constexpr std::uint64_t DRAIN_POLL_US = 2'000;

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

long long monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

// Errors by which the operating system says the device itself is gone.
bool gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// Notes a failed call; returns false for the caller's convenience.
bool failed(Device* device, int error) {
    device->error = error;
    if (gone(error)) device->lost = true;
    return false;
}

// The bytes in the driver's output queue (0 when it does not tell).
std::uint32_t output_queued(int fd) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::uint32_t>(queued);
}

// The characters the transmitter still has to send: the driver's queue and the one in the
// shift register; where the driver tells (a UART), the shift register is looked at as well
// when the queue is empty. 0: everything has left (a pseudo-terminal's queue is always empty).
std::uint32_t pending_characters(const Device* device) {
    const std::uint32_t queued = output_queued(device->fd);
    if (queued > 0) return queued + 1;
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
    if (device->has_lsr) {
        unsigned int lsr = 0;
        if (ioctl(device->fd, TIOCSERGETLSR, &lsr) == 0 && (lsr & TIOCSER_TEMT) == 0) return 1;
    }
#endif
    return 0;
}

void sleep_until_us(long long until_us) {
    timespec ts{static_cast<time_t>(until_us / 1'000'000),
                static_cast<long>(until_us % 1'000'000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// The kernel may let a timed sleep run up to the thread's timer slack (50 us by default) past
// its end. Every sleep of the library asks for none: the slack of a thread is set to the least
// once, the first time it sleeps or opens a port (the thread keeps it).
void least_timer_slack() {
#if defined(__linux__)
    thread_local bool done = false;
    if (done) return;
    done = true;
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
#endif
}

// The drain's primitive operations on a device (os/line_wait.h).
struct DrainOps {
    const Device* device;
    std::uint32_t pending() const { return pending_characters(device); }
    std::uint64_t now() const { return static_cast<std::uint64_t>(monotonic_us()); }
    void sleep_until(std::uint64_t us) const { sleep_until_us(static_cast<long long>(us)); }
};

// Waits, at most until `deadline_us`, until the transmitter has sent everything queued.
// Returns true when it was seen empty.
bool drain_until(Device* device, long long deadline_us) {
    DrainOps ops{device};
    const bool empty = drain_by_line_time(ops, device->character_us, DRAIN_POLL_US,
                                          static_cast<std::uint64_t>(deadline_us));
    device->transmitter_idle = empty;
    return empty;
}

// The time one character takes at the settings `t`, in microseconds (0 for a rate not known).
std::uint32_t character_us_of(const termios& t) {
    struct Entry {
        speed_t speed;
        std::uint32_t rate;
    };
    static constexpr Entry rates[] = {
        {B1200, 1200},     {B2400, 2400},   {B4800, 4800},
        {B9600, 9600},     {B19200, 19200}, {B38400, 38400},
#ifdef B57600
        {B57600, 57600},
#endif
#ifdef B115200
        {B115200, 115200},
#endif
    };
    const speed_t speed = cfgetospeed(&t);
    std::uint32_t rate = 0;
    for (const Entry& e : rates) {
        if (e.speed == speed) rate = e.rate;
    }
    LineMode mode;
    mode.rate = rate;
    const tcflag_t size = t.c_cflag & CSIZE;
    mode.data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    mode.parity = (t.c_cflag & PARENB) != 0 ? Parity::Space : Parity::None;
    mode.stop_tenths = (t.c_cflag & CSTOPB) != 0 ? 20 : 10;
    return static_cast<std::uint32_t>(line_time_us(1, character_bits(mode), rate));
}

// Writes `t` to the line at once (the caller has drained the transmitter), retrying a call
// interrupted by a signal. A pseudo-terminal takes the settings but silently drops the parity
// flags, and the C library may then report EINVAL although the kernel applied the call (it
// does so when the same parity mode is set twice). Such a result counts as success when the
// rate, the character size, the stop bits and the receiver settings are in force.
bool write_line(Device* device, const termios& t) {
    for (;;) {
        if (tcsetattr(device->fd, TCSANOW, &t) == 0) return true;
        if (errno != EINTR) break;
    }
    if (errno != EINVAL) return failed(device, errno);
    termios now{};
    if (tcgetattr(device->fd, &now) != 0) return failed(device, errno);
    const tcflag_t kept = CSIZE | CSTOPB | CREAD | CLOCAL;
    if ((now.c_cflag & kept) == (t.c_cflag & kept) && cfgetospeed(&now) == cfgetospeed(&t) &&
        cfgetispeed(&now) == cfgetispeed(&t)) {
        return true;
    }
    return failed(device, EINVAL);
}

// True when `a` and `b` set the line the same way (their padding aside).
bool same_settings(const termios& a, const termios& b) {
    if (a.c_iflag != b.c_iflag || a.c_oflag != b.c_oflag || a.c_cflag != b.c_cflag ||
        a.c_lflag != b.c_lflag || a.c_line != b.c_line) {
        return false;
    }
    for (std::size_t i = 0; i < NCCS; ++i) {
        if (a.c_cc[i] != b.c_cc[i]) return false;
    }
    return cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// Builds into `out` the settings of `mode` on top of `base`: raw bytes both ways, no echo, no
// signals, no flow control, no parity checking on input, reads that return at once. False when
// termios cannot express the mode.
bool build_settings(const termios& base, const LineMode& mode, termios* out) {
    speed_t speed{};
    if (!speed_for_rate(mode.rate, &speed)) return false;
    if (mode.data_bits < 5 || mode.data_bits > 8) return false;
    if (mode.stop_tenths != 10 && mode.stop_tenths != 20) return false;  // no 1.5 in termios
    termios t = base;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | HUPCL);
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cflag |= CLOCAL | CREAD | size_flag(mode.data_bits);
    if (mode.stop_tenths == 20) t.c_cflag |= CSTOPB;
    if (!set_parity(&t, mode.parity)) return false;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return false;
    *out = t;
    return true;
}

// Drains what is queued (bounded as a write of that many bytes would be), then writes `t`.
// After a write whose drain saw the transmitter empty, nothing is queued: no look is needed.
bool drain_and_write_line(Device* device, const termios& t) {
    if (!device->transmitter_idle) {
        const long long queued = output_queued(device->fd);
        (void)drain_until(device, monotonic_us() + WRITE_TIMEOUT_CONSTANT_US +
                                      WRITE_TIMEOUT_PER_BYTE_US * queued);
    }
    return write_line(device, t);
}

// True for the slave side of a pseudo-terminal (Linux: the Unix 98 and the BSD slave majors).
// Elsewhere every device counts as one, so that nothing is concluded from reading settings back.
bool is_pseudo_terminal(int fd) {
#if defined(__linux__)
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int m = major(st.st_rdev);
    return (m >= 136 && m <= 143) || m == 3;
#else
    (void)fd;
    return true;
#endif
}

// Asks the driver to hand on received bytes at once, where it offers that. Nothing changes
// when it does not, or refuses.
void ask_low_latency(Device* device) {
#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct settings{};
    if (ioctl(device->fd, TIOCGSERIAL, &settings) != 0) return;
    if ((settings.flags & ASYNC_LOW_LATENCY) != 0) {
        device->low_latency = LowLatency::On;
        return;
    }
    device->low_latency = LowLatency::Off;
    serial_struct wanted = settings;
    wanted.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(device->fd, TIOCSSERIAL, &wanted) != 0) return;
    device->low_latency = LowLatency::On;
    device->low_latency_ours = true;
#else
    (void)device;
#endif
}

// Puts back the driver's setting from before the open.
void put_back_low_latency(Device* device) {
#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    if (!device->low_latency_ours) return;
    serial_struct settings{};
    if (ioctl(device->fd, TIOCGSERIAL, &settings) != 0) return;
    settings.flags &= ~ASYNC_LOW_LATENCY;
    (void)ioctl(device->fd, TIOCSSERIAL, &settings);
#else
    (void)device;
#endif
}

// After the first write of mark or space parity to a device that is not a pseudo-terminal:
// reads the settings back once to learn whether the driver kept it. What is read back is never
// written out again.
void check_sticky_parity(Device* device, const termios& written) {
#ifdef CMSPAR
    const tcflag_t sticky = PARENB | CMSPAR;
    if (device->parity_checked || device->pseudo_terminal) return;
    if ((written.c_cflag & sticky) != sticky) return;
    device->parity_checked = true;
    termios now{};
    if (tcgetattr(device->fd, &now) != 0) return;
    device->mark_space_dropped = (now.c_cflag & sticky) != sticky;
#else
    (void)device;
    (void)written;
#endif
}

// Writes `t` unless it is in force already. A byte still in the transmitter leaves with the
// old settings before the line changes; the wait for it is bounded, unlike TCSADRAIN's.
bool change_line(Device* device, const termios& t) {
    if (same_settings(device->line, t)) return true;
    if (!drain_and_write_line(device, t)) return false;
    device->line = t;
    device->character_us = character_us_of(t);
    check_sticky_parity(device, t);
    return true;
}

bool usable(const Device* device) {
    return device != nullptr && device->fd >= 0;
}

}  // namespace

Device* open_device(const char* path, std::int32_t* os_error) {
    int error = 0;
    Device* device = nullptr;
    int fd = -1;
    if (path == nullptr) {
        error = EINVAL;
    } else if ((fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) < 0) {
        error = errno;
    } else if (!isatty(fd)) {
        error = ENOTTY;
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        // TIOCEXCL refuses later opens by other users.
        error = errno;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // flock refuses other opens, by this process or another, by root too.
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if ((device = new (std::nothrow) Device) == nullptr) {
        error = ENOMEM;
    } else if (tcgetattr(fd, &device->saved) != 0) {
        error = errno;
        delete device;
        device = nullptr;
    }
    if (device == nullptr) {
        if (fd >= 0) ::close(fd);  // releases the flock as well
        if (os_error != nullptr) *os_error = error;
        return nullptr;
    }
    device->fd = fd;
    device->line = device->saved;
    device->character_us = character_us_of(device->line);
    device->pseudo_terminal = is_pseudo_terminal(fd);
#if defined(TIOCSERGETLSR) && defined(TIOCSER_TEMT)
    unsigned int lsr = 0;
    device->has_lsr = !device->pseudo_terminal && ioctl(fd, TIOCSERGETLSR, &lsr) == 0;
#endif
    ask_low_latency(device);
    least_timer_slack();
    return device;
}

void close_device(Device* device) {
    if (device == nullptr) return;
    if (device->fd >= 0) {
        if (!device->lost) {
            (void)change_line(device, device->saved);
            put_back_low_latency(device);
        }
        (void)ioctl(device->fd, TIOCNXCL);
        (void)::close(device->fd);  // releases the flock as well
    }
    delete device;
}

bool prepare_link_modes(Device* device, const LineMode& address, const LineMode& frame) {
    if (!usable(device)) return false;
    return device->link.prepare(address, frame, [device](const LineMode& mode, termios* t) {
        return build_settings(device->saved, mode, t);
    });
}

bool apply_mode(Device* device, LinkMode mode) {
    const termios* settings = usable(device) ? device->link.find(mode) : nullptr;
    return settings != nullptr && change_line(device, *settings);
}

bool apply_mode(Device* device, const LineMode& mode) {
    if (!usable(device)) return false;
    termios t{};
    if (!build_settings(device->line, mode, &t)) return false;
    return change_line(device, t);
}

bool apply_mode_text(Device* device, const char* text) {
    LineMode mode;
    if (!usable(device) || !parse_mode_string(text, &mode)) return false;
    return apply_mode(device, mode);
}

bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    // The kernel's tty buffers are of fixed size, larger than any queue the library asks for.
    (void)input_bytes;
    (void)output_bytes;
    return usable(device);
}

bool set_timeouts(Device* device) {
    if (!usable(device)) return false;
    // Reads return at once with what is queued; writes are bounded in write_bytes. The
    // settings record already holds the line mode set last.
    termios t = device->line;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (same_settings(device->line, t)) return true;
    if (!write_line(device, t)) return false;
    device->line = t;
    device->character_us = character_us_of(t);
    return true;
}

void purge_input(Device* device) {
    if (usable(device) && tcflush(device->fd, TCIFLUSH) != 0) (void)failed(device, errno);
}

void purge_output(Device* device) {
    if (usable(device) && tcflush(device->fd, TCOFLUSH) != 0) (void)failed(device, errno);
}

std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count) {
    if (!usable(device) || data == nullptr) return 0;
    const long long deadline = monotonic_us() + WRITE_TIMEOUT_CONSTANT_US +
                               WRITE_TIMEOUT_PER_BYTE_US * static_cast<long long>(count);
    std::uint32_t written = 0;
    while (written < count) {
        const ssize_t n = ::write(device->fd, data + written, count - written);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            (void)failed(device, errno);
            break;
        }
        const long long left_ms = (deadline - monotonic_us() + 999) / 1000;
        if (left_ms <= 0) break;
        pollfd p{device->fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(left_ms));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            (void)failed(device, errno);
            break;
        }
        if (ready == 0) break;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            (void)failed(device, EIO);
            break;
        }
    }
    // The write is complete when the bytes have left the transmitter, within the time-out.
    (void)drain_until(device, deadline);
    return written;
}

std::uint32_t bytes_waiting(Device* device) {
    if (!usable(device)) return 0;
    int waiting = 0;
    if (ioctl(device->fd, FIONREAD, &waiting) != 0) {
        (void)failed(device, errno);
        return 0;
    }
    return waiting < 0 ? 0 : static_cast<std::uint32_t>(waiting);
}

namespace {

// The read's primitive operations on a device (os/line_wait.h).
struct ReadOps {
    Device* device;

    std::uint32_t take(std::uint8_t* buffer, std::uint32_t max) const {
        if (max == 0) return 0;
        for (;;) {
            const ssize_t n = ::read(device->fd, buffer, max);
            if (n >= 0) return static_cast<std::uint32_t>(n);
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) (void)failed(device, errno);
            return 0;
        }
    }
    bool await_input(std::uint64_t deadline_us) const {
        for (;;) {
            const long long left = static_cast<long long>(deadline_us) - monotonic_us();
            timespec ts{0, 0};
            if (left > 0) ts = {static_cast<time_t>(left / 1'000'000), (left % 1'000'000) * 1000};
            pollfd p{device->fd, POLLIN, 0};
            const int ready = ppoll(&p, 1, &ts, nullptr);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return failed(device, errno);
            }
            if (ready == 0) return false;
            // A hang-up comes with POLLIN on a pseudo-terminal whose other end closed: the
            // device is gone even though a read would not block.
            if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return failed(device, EIO);
            if ((p.revents & POLLIN) != 0) return true;
        }
    }
    void sleep_until(std::uint64_t us, std::uint32_t) const {
        sleep_until_us(static_cast<long long>(us));
    }
    std::uint64_t now() const { return static_cast<std::uint64_t>(monotonic_us()); }
    bool lost() const { return device->lost; }
};

}  // namespace

std::uint32_t read_bytes(Device* device, std::uint8_t* buffer, std::uint32_t at_least,
                         std::uint32_t at_most, std::uint64_t deadline_us, bool under_way) {
    if (!usable(device) || buffer == nullptr || device->lost) return 0;
    ReadOps ops{device};
    return read_by_deadline(ops, buffer, at_least, at_most, deadline_us, under_way,
                            device->character_us);
}

bool mark_space_dropped(const Device* device) {
    return device != nullptr && device->mark_space_dropped;
}

LowLatency low_latency(const Device* device) {
    return device == nullptr ? LowLatency::Unknown : device->low_latency;
}

bool device_lost(const Device* device) {
    return device != nullptr && device->lost;
}

std::int32_t last_error(const Device* device) {
    return device == nullptr ? 0 : device->error;
}

std::int32_t os_error_code(OsFailure failure) {
    return failure == OsFailure::NoMemory ? ENOMEM : ENOENT;
}

void pause_ms(std::uint32_t ms) {
    least_timer_slack();
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

std::uint64_t now_us() {
    return static_cast<std::uint64_t>(monotonic_us());
}

TraceFile* open_trace_file(const char* path) {
    if (path == nullptr) return nullptr;
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) return nullptr;
    TraceFile* file = new (std::nothrow) TraceFile;
    if (file == nullptr) {
        ::close(fd);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

void append_trace(TraceFile* file, const char* text, std::size_t count) {
    if (file == nullptr) return;
    while (count > 0) {
        const ssize_t n = ::write(file->fd, text, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        count -= static_cast<std::size_t>(n);
    }
}

void close_trace_file(TraceFile* file) {
    if (file == nullptr) return;
    ::close(file->fd);
    delete file;
}

}  // namespace tqrf::serial
