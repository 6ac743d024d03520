// The Windows backend of the serial layer: kernel32's communications calls on an overlapped
// handle.
//
// Reading by a deadline: one overlapped read of the bytes the caller needs at least, whose read
// time-outs are one total time-out to the deadline (no interval time-out, no per-byte part).
// The driver completes it when those bytes have come or when the time is up, so the thread
// sleeps in the kernel and wakes once; what else is already queued, up to the caller's most,
// is taken after it. Under Wine an overlapped read of an empty queue never completes with the
// "return at once" time-outs (MAXDWORD/0/0), so a read that may find the queue empty always has
// a real total time-out. Comm events (WaitCommEvent with EV_RXCHAR) are not used: under Wine,
// on a port whose device has no modem status lines (a pseudo-terminal), the wait completes at
// once with no event, which would turn every wait into a spin.
//
// Every transfer runs through buffers and an OVERLAPPED record owned by the device, never the
// caller's: if the driver does not finish an operation within its bound, the operation is
// cancelled, and even a driver that then still holds on to it can only ever touch memory that
// outlives the call. Such a device is marked stuck; it refuses further transfers and its record
// is never freed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "os/prepared_link.h"
#include "os/serial.h"

namespace tqrf::serial {

namespace {

// Transfers are made in pieces of at most this size. The driver queues hold 400 bytes; a
// request frame is at most 104 bytes and a reply is read in one piece of at most 105.
constexpr DWORD kTransferChunk = 512;

// Bounds of the waits for an overlapped operation. A write may take as long as its
// time-outs allow (50 ms per byte plus 200 ms); the margin covers the scheduler. A read only
// ever asks for bytes already queued, so it completes at once on a sound driver; the read of a
// wait for bytes ends by its own time-out, and is given the margin on top.
constexpr DWORD kWriteMsPerByte = 50;
constexpr DWORD kWriteMsConstant = 200;
constexpr DWORD kWaitMarginMs = 500;
constexpr DWORD kReadBoundMs = 200;
// How long a cancelled operation is given to come back.
constexpr DWORD kCancelBoundMs = 1000;

}  // namespace

struct Device {
    bool stuck = false;  // an operation never came back: the record stays reserved for good
    bool lost = false;
    bool mark_space_dropped = false;  // the port's settable parities lack mark or space
    DWORD error = 0;                  // GetLastError() of the last failed call
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;  // manual-reset, signalled when an overlapped operation completes
    HANDLE claim = nullptr;  // the port's named claim (see claim_port)
    OVERLAPPED overlapped{};
    // The settings and time-outs the port had when it was opened, put back at close.
    DCB saved{};
    COMMTIMEOUTS saved_timeouts{};
    bool have_saved = false;
    bool have_saved_timeouts = false;
    // The line settings in force: the port's own at open, then what was written last (unknown
    // after a refused write). Every mode is built on them; they are never read back.
    DCB line{};
    bool line_known = false;
    // The settings of the link's two modes, built once after the open.
    PreparedLink<DCB> link;
    // Reads return at once with whatever is queued; writes are bounded at 50 ms per byte plus
    // 200 ms. A read by a deadline sets the read part to a total time-out of its own length,
    // which leaves the reads of queued bytes as they were: they never ask for more than is
    // queued.
    COMMTIMEOUTS timeouts{};
    BYTE buffer[kTransferChunk]{};
};

struct Lock {
    SRWLOCK lock = SRWLOCK_INIT;
};

struct TraceFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

// Errors by which Windows says the device itself is gone.
bool gone(DWORD error) {
    switch (error) {
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_INVALID_HANDLE:
        case ERROR_FILE_NOT_FOUND:
        // Wine: the device behind the port went away (the other end of a pseudo-terminal
        // closed, a USB adapter unplugged: EIO from the system).
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

// Notes the failed call's error; returns false for the caller's convenience.
bool failed(Device* device) {
    device->error = GetLastError();
    if (gone(device->error)) device->lost = true;
    return false;
}

bool usable(const Device* device) {
    return device != nullptr && !device->stuck && device->handle != INVALID_HANDLE_VALUE;
}

// Starts the overlapped operation's record afresh: zeroed, with the device's event.
void reset_overlapped(Device* device) {
    std::memset(&device->overlapped, 0, sizeof device->overlapped);
    device->overlapped.hEvent = device->event;
}

// After a wait ran out: cancels the pending operation and gives it a further bounded wait; if
// even that does not bring it back, the device is marked stuck, and counts as lost: its driver
// no longer answers. Returns the bytes it moved.
DWORD cancel_pending(Device* device) {
    CancelIo(device->handle);
    if (WaitForSingleObject(device->event, kCancelBoundMs) != WAIT_OBJECT_0) {
        device->stuck = true;
        device->lost = true;
        return 0;
    }
    DWORD transferred = 0;
    GetOverlappedResult(device->handle, &device->overlapped, &transferred, FALSE);
    return transferred;
}

// Waits for the pending operation on `device`, at most `bound_ms`, then takes its byte
// count; an operation still running at the bound is cancelled.
DWORD finish_pending(Device* device, DWORD bound_ms) {
    DWORD transferred = 0;
    if (WaitForSingleObject(device->event, bound_ms) == WAIT_OBJECT_0) {
        // Complete: this returns at once with the count.
        if (!GetOverlappedResult(device->handle, &device->overlapped, &transferred, TRUE)) {
            (void)failed(device);
            return 0;
        }
        return transferred;
    }
    return cancel_pending(device);
}

// Clears the port's error state; gives the number of received bytes waiting (0 on failure).
DWORD clear_errors(Device* device) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(device->handle, &errors, &status)) {
        (void)failed(device);
        return 0;
    }
    return status.cbInQue;
}

// Writes one piece of at most kTransferChunk bytes; returns the count the driver reports.
DWORD write_piece(Device* device, const std::uint8_t* data, DWORD count) {
    std::memcpy(device->buffer, data, count);
    reset_overlapped(device);
    DWORD written = 0;
    if (WriteFile(device->handle, device->buffer, count, &written, &device->overlapped)) {
        return written;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        (void)failed(device);
        return 0;
    }
    return finish_pending(device, count * kWriteMsPerByte + kWriteMsConstant + kWaitMarginMs);
}

// Sets the read time-outs to one total time-out of `ms` (no interval, no per-byte part): a read
// then completes when it has its bytes or when the time is up. Skipped when already in force.
bool set_read_wait(Device* device, DWORD ms) {
    COMMTIMEOUTS& t = device->timeouts;
    if (t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == ms) {
        return true;
    }
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = ms;
    if (!SetCommTimeouts(device->handle, &t)) {
        t.ReadTotalTimeoutConstant = MAXDWORD;  // not known to be in force: set it next time
        return failed(device);
    }
    return true;
}

// Reads the port's settings as they were before the library changed anything, once.
bool take_saved_state(Device* device) {
    if (device->have_saved) return true;
    device->saved.DCBlength = sizeof device->saved;
    if (!GetCommState(device->handle, &device->saved)) return failed(device);
    device->have_saved = true;
    device->line = device->saved;
    device->line_known = true;
    return true;
}

// Builds into `out` the settings of `mode` on top of `base`, as the system's reading of a mode
// string does: rate, parity, data and stop bits, no XON/XOFF and no hardware flow control (DTR
// and RTS on). False for a mode a DCB cannot hold.
bool build_settings(const DCB& base, const LineMode& mode, DCB* out) {
    static constexpr BYTE parities[] = {NOPARITY, MARKPARITY, SPACEPARITY, EVENPARITY, ODDPARITY};
    const auto parity = static_cast<std::size_t>(mode.parity);
    if (mode.rate == 0 || parity >= sizeof parities) return false;
    if (mode.data_bits < 5 || mode.data_bits > 8) return false;
    DCB d = base;
    d.DCBlength = sizeof d;
    d.BaudRate = mode.rate;
    d.Parity = parities[parity];
    d.ByteSize = mode.data_bits;
    switch (mode.stop_tenths) {
        case 10:
            d.StopBits = ONESTOPBIT;
            break;
        case 15:
            d.StopBits = ONE5STOPBITS;
            break;
        case 20:
            d.StopBits = TWOSTOPBITS;
            break;
        default:
            return false;
    }
    d.fInX = FALSE;
    d.fOutX = FALSE;
    d.fOutxCtsFlow = FALSE;
    d.fOutxDsrFlow = FALSE;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    *out = d;
    return true;
}

// The reading of a DCB's line mode; false for values no mode has.
bool mode_of(const DCB& d, LineMode* out) {
    static constexpr Parity parities[] = {Parity::None, Parity::Odd, Parity::Even, Parity::Mark,
                                          Parity::Space};
    static constexpr std::uint8_t stops[] = {10, 15, 20};
    if (d.Parity >= sizeof parities / sizeof parities[0] || d.StopBits >= sizeof stops) {
        return false;
    }
    *out = LineMode{d.BaudRate, parities[d.Parity], d.ByteSize, stops[d.StopBits]};
    return true;
}

// Writes `d` unless it is in force already.
bool change_line(Device* device, const DCB& d) {
    if (device->line_known && std::memcmp(&device->line, &d, sizeof d) == 0) return true;
    if (!SetCommState(device->handle, const_cast<DCB*>(&d))) {
        device->line_known = false;
        return failed(device);
    }
    device->line = d;
    device->line_known = true;
    return true;
}

LONGLONG counter_frequency() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : 0;
    }();
    return frequency;
}

}  // namespace

bool device_path_for_port(int number, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) return false;
    const int length = std::snprintf(out, capacity, "\\\\.\\COM%d", number);
    return length > 0 && static_cast<std::size_t>(length) < capacity;
}

namespace {

// Every open of a port by this library, in any program of the session, holds a mutex named
// after the port, and an open that finds it held is refused as a busy port is (ERROR_ACCESS_
// DENIED). Windows' own drivers refuse a second open of a port opened without sharing; Wine and
// some virtual port drivers do not, and two programs writing one line would corrupt each
// other's frames. Returns null, with the error set, when the port is held.
HANDLE claim_port(const char* path) {
    // "\\.\COM5", "COM5" and "com5" name the same port.
    const char* name = path;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    char object[128] = "Global\\tqrf-serial-";
    std::size_t at = std::strlen(object);
    for (const char* p = name; *p != '\0' && at + 1 < sizeof object; ++p) {
        const char c = *p;
        object[at++] = c == '\\' ? '/' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
    }
    object[at] = '\0';
    HANDLE claim = CreateMutexA(nullptr, FALSE, object);
    if (claim == nullptr) return nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return claim;
}

}  // namespace

Device* open_device(const char* path, std::int32_t* os_error) {
    if (path == nullptr) {
        if (os_error != nullptr) *os_error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    HANDLE claim = claim_port(path);
    if (claim == nullptr) {
        if (os_error != nullptr) *os_error = static_cast<std::int32_t>(GetLastError());
        return nullptr;
    }
    // No sharing: a second open of the same port fails while this one is open.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (os_error != nullptr) *os_error = static_cast<std::int32_t>(GetLastError());
        CloseHandle(claim);
        return nullptr;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Device* device = event != nullptr ? new (std::nothrow) Device : nullptr;
    if (device == nullptr) {
        if (os_error != nullptr) {
            *os_error = static_cast<std::int32_t>(event == nullptr ? GetLastError()
                                                                   : ERROR_NOT_ENOUGH_MEMORY);
        }
        if (event != nullptr) CloseHandle(event);
        CloseHandle(handle);
        CloseHandle(claim);
        return nullptr;
    }
    device->handle = handle;
    device->event = event;
    device->claim = claim;
    reset_overlapped(device);
    // What close puts back. A port whose settings cannot be read opens all the same; its first
    // mode change reports the failure.
    (void)take_saved_state(device);
    device->error = 0;
    device->lost = false;
    device->have_saved_timeouts = GetCommTimeouts(handle, &device->saved_timeouts) != FALSE;
    return device;
}

void close_device(Device* device) {
    if (device == nullptr) return;
    // The port gets back the settings and time-outs it had before the open.
    if (!device->stuck && !device->lost) {
        if (device->have_saved) (void)change_line(device, device->saved);
        if (device->have_saved_timeouts)
            (void)SetCommTimeouts(device->handle, &device->saved_timeouts);
    }
    // Closing the handle cancels whatever the driver still holds.
    CloseHandle(device->handle);
    device->handle = INVALID_HANDLE_VALUE;
    CloseHandle(device->claim);  // the port is free for the next open
    device->claim = nullptr;
    if (device->stuck) return;  // the record's buffers may still be written to: never free it
    CloseHandle(device->event);
    delete device;
}

bool prepare_link_modes(Device* device, const LineMode& address, const LineMode& frame) {
    if (!usable(device) || !take_saved_state(device)) return false;
    const bool all = device->link.prepare(address, frame, [device](const LineMode& mode, DCB* d) {
        return build_settings(device->saved, mode, d);
    });
    constexpr WORD ALL_PARITIES =
        PARITY_NONE | PARITY_ODD | PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    WORD parities = 0;  // the parities the link's modes need, as GetCommProperties names them
    for (const LineMode* mode : {&address, &frame}) {
        if (mode->parity == Parity::Mark) parities |= PARITY_MARK;
        if (mode->parity == Parity::Space) parities |= PARITY_SPACE;
    }
    // A driver that says which parities it can set, and leaves out mark or space, cannot carry
    // the link (one that says nothing is taken at its word when the settings are written).
    COMMPROP properties;
    std::memset(&properties, 0, sizeof properties);
    if (parities != 0 && GetCommProperties(device->handle, &properties) &&
        (properties.wSettableStopParity & ALL_PARITIES) != 0) {
        device->mark_space_dropped = (properties.wSettableStopParity & parities) != parities;
    }
    return all;
}

bool apply_mode(Device* device, LinkMode mode) {
    const DCB* settings = usable(device) ? device->link.find(mode) : nullptr;
    return settings != nullptr && change_line(device, *settings);
}

bool apply_mode(Device* device, const LineMode& mode) {
    if (!usable(device) || !take_saved_state(device)) return false;
    DCB d;
    if (!build_settings(device->line, mode, &d)) return false;
    return change_line(device, d);
}

bool apply_mode_text(Device* device, const char* text) {
    if (!usable(device) || text == nullptr || !take_saved_state(device)) return false;
    // The system reads the text, with its own abbreviations ("96" for 9600), as it always has.
    DCB read = device->line;
    read.DCBlength = sizeof read;
    LineMode mode;
    if (!BuildCommDCBA(text, &read) || !mode_of(read, &mode)) return false;
    return apply_mode(device, mode);
}

bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    if (!usable(device)) return false;
    if (!SetupComm(device->handle, input_bytes, output_bytes)) return failed(device);
    return true;
}

bool set_timeouts(Device* device) {
    if (!usable(device)) return false;
    device->timeouts.ReadIntervalTimeout = MAXDWORD;
    device->timeouts.ReadTotalTimeoutMultiplier = 0;
    device->timeouts.ReadTotalTimeoutConstant = 0;
    device->timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    device->timeouts.WriteTotalTimeoutConstant = kWriteMsConstant;
    if (!SetCommTimeouts(device->handle, &device->timeouts)) return failed(device);
    return true;
}

void purge_input(Device* device) {
    if (!usable(device)) return;
    if (!PurgeComm(device->handle, PURGE_RXCLEAR)) (void)failed(device);
}

void purge_output(Device* device) {
    if (!usable(device)) return;
    if (!PurgeComm(device->handle, PURGE_TXCLEAR)) (void)failed(device);
}

std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count) {
    if (!usable(device) || data == nullptr || count == 0) return 0;
    clear_errors(device);
    std::uint32_t total = 0;
    while (total < count) {
        const DWORD piece = count - total < kTransferChunk ? count - total : kTransferChunk;
        const DWORD written = write_piece(device, data + total, piece);
        total += written;
        if (written != piece || device->stuck) break;
    }
    return total;
}

std::uint32_t bytes_waiting(Device* device) {
    if (!usable(device)) return 0;
    return clear_errors(device);
}

namespace {

// Takes at most `max` bytes that are already queued, without waiting: only bytes already
// queued are asked for, so the read completes at once whatever the read time-outs.
std::uint32_t take_queued(Device* device, std::uint8_t* buffer, std::uint32_t max) {
    const DWORD queued = clear_errors(device);
    if (queued == 0 || max == 0) return 0;
    DWORD wanted = max < queued ? max : queued;
    if (wanted > kTransferChunk) wanted = kTransferChunk;
    reset_overlapped(device);
    DWORD taken = 0;
    if (!ReadFile(device->handle, device->buffer, wanted, &taken, &device->overlapped)) {
        if (GetLastError() == ERROR_IO_PENDING) {
            taken = finish_pending(device, kReadBoundMs);
        } else {
            (void)failed(device);
            taken = 0;
        }
    }
    if (taken > wanted) taken = wanted;
    std::memcpy(buffer, device->buffer, taken);
    return taken;
}

// One read of `count` bytes with a total time-out of `timeout_ms`: the driver completes it
// when they have come or when the time is up, with what came by then. Windows completes a read
// that timed out with fewer bytes than asked; Wine fails it with ERROR_COUNTER_TIMEOUT and
// reports the bytes it moved in the overlapped record.
std::uint32_t read_with_timeout(Device* device, std::uint8_t* buffer, DWORD count,
                                DWORD timeout_ms) {
    if (count > kTransferChunk) count = kTransferChunk;
    if (!set_read_wait(device, timeout_ms)) return 0;
    reset_overlapped(device);
    DWORD taken = 0;
    if (!ReadFile(device->handle, device->buffer, count, &taken, &device->overlapped)) {
        const DWORD error = GetLastError();
        if (error == ERROR_COUNTER_TIMEOUT) {
            taken = static_cast<DWORD>(device->overlapped.InternalHigh);
        } else if (error != ERROR_IO_PENDING) {
            (void)failed(device);
            return 0;
        } else if (WaitForSingleObject(device->event, timeout_ms + kWaitMarginMs) ==
                   WAIT_OBJECT_0) {
            if (!GetOverlappedResult(device->handle, &device->overlapped, &taken, FALSE)) {
                if (GetLastError() != ERROR_COUNTER_TIMEOUT) {
                    (void)failed(device);
                    return 0;
                }
                taken = static_cast<DWORD>(device->overlapped.InternalHigh);
            }
        } else {
            // The driver ignored its time-out: take the read back (bytes it brought count).
            taken = cancel_pending(device);
        }
    }
    if (taken > count) taken = count;
    std::memcpy(buffer, device->buffer, taken);
    return taken;
}

}  // namespace

std::uint32_t read_bytes(Device* device, std::uint8_t* buffer, std::uint32_t at_least,
                         std::uint32_t at_most, std::uint64_t deadline_us, bool under_way) {
    (void)under_way;  // the driver completes the read when the bytes have come
    if (!usable(device) || buffer == nullptr || device->lost || at_most == 0) return 0;
    if (at_most > kTransferChunk) at_most = kTransferChunk;
    if (at_least > at_most) at_least = at_most;
    std::uint32_t got = 0;
    if (at_least > 0 && clear_errors(device) < at_least && !device->lost) {
        const std::uint64_t now = now_us();
        if (now < deadline_us) {
            // Never shorter than asked.
            const std::uint64_t left_ms = (deadline_us - now + 999) / 1000;
            const DWORD timeout_ms =
                left_ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left_ms);
            got = read_with_timeout(device, buffer, at_least, timeout_ms);
            // A read that ended short before its time (a call that failed without the device
            // being gone, a driver that does not wait) is not repeated at once: the rest of the
            // time is slept, and what has come by then is taken below. No caller ever spins.
            const std::uint64_t after = now_us();
            if (got < at_least && !device->lost && !device->stuck && after < deadline_us &&
                clear_errors(device) + got < at_least) {
                pause_ms(static_cast<std::uint32_t>((deadline_us - after + 999) / 1000));
            }
        }
    }
    if (device->lost || device->stuck) return got;
    return got + take_queued(device, buffer + got, at_most - got);
}

bool mark_space_dropped(const Device* device) {
    return device != nullptr && device->mark_space_dropped;
}

LowLatency low_latency(const Device* device) {
    (void)device;
    return LowLatency::Unknown;  // the drivers' latency settings are their own (FTDI: registry)
}

bool device_lost(const Device* device) {
    return device != nullptr && device->lost;
}

std::int32_t last_error(const Device* device) {
    return device == nullptr ? 0 : static_cast<std::int32_t>(device->error);
}

std::int32_t os_error_code(OsFailure failure) {
    return static_cast<std::int32_t>(failure == OsFailure::NoMemory ? ERROR_NOT_ENOUGH_MEMORY
                                                                    : ERROR_FILE_NOT_FOUND);
}

void pause_ms(std::uint32_t ms) {
    // The wait on the thread's own handle always runs into its time-out. A wait may end a
    // little before its time on a coarse system timer, so the rest is waited out against the
    // performance counter: the pause is never shorter than asked.
    const LONGLONG frequency = counter_frequency();
    LARGE_INTEGER start;
    if (frequency == 0 || !QueryPerformanceCounter(&start)) {
        WaitForSingleObject(GetCurrentThread(), ms);
        return;
    }
    const LONGLONG wanted_ticks = static_cast<LONGLONG>(ms) * frequency / 1000;
    DWORD wait = ms;
    // Bounded: each round waits at least 1 ms, and at most ms + 1 rounds are needed.
    for (std::uint32_t round = 0; round <= ms + 1; ++round) {
        WaitForSingleObject(GetCurrentThread(), wait);
        LARGE_INTEGER now;
        if (!QueryPerformanceCounter(&now)) return;
        const LONGLONG left = wanted_ticks - (now.QuadPart - start.QuadPart);
        if (left <= 0) return;
        const LONGLONG left_ms = (left * 1000 + frequency - 1) / frequency;
        wait = static_cast<DWORD>(left_ms < 1 ? 1 : left_ms);
    }
}

std::uint64_t now_us() {
    const LONGLONG frequency = counter_frequency();
    LARGE_INTEGER now;
    if (frequency == 0 || !QueryPerformanceCounter(&now)) {
        return static_cast<std::uint64_t>(GetTickCount64()) * 1000;
    }
    const LONGLONG seconds = now.QuadPart / frequency;
    const LONGLONG rest = now.QuadPart % frequency;
    return static_cast<std::uint64_t>(seconds) * 1'000'000 +
           static_cast<std::uint64_t>(rest * 1'000'000 / frequency);
}

Lock* make_lock() {
    return new (std::nothrow) Lock;
}

Lock* default_reader_lock() {
    static Lock lock;
    return &lock;
}

void free_lock(Lock* lock) {
    delete lock;
}

void acquire(Lock* lock) {
    AcquireSRWLockExclusive(&lock->lock);
}

void release(Lock* lock) {
    ReleaseSRWLockExclusive(&lock->lock);
}

TraceFile* open_trace_file(const char* path) {
    if (path == nullptr) return nullptr;
    // Not shared for reading: the trace shows the frames the host sends. Appends from other
    // writers (FILE_SHARE_WRITE) go to the end, whole.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    TraceFile* file = new (std::nothrow) TraceFile;
    if (file == nullptr) {
        CloseHandle(handle);
        return nullptr;
    }
    file->handle = handle;
    return file;
}

void append_trace(TraceFile* file, const char* text, std::size_t count) {
    if (file == nullptr) return;
    DWORD written = 0;
    (void)WriteFile(file->handle, text, static_cast<DWORD>(count), &written, nullptr);
}

void close_trace_file(TraceFile* file) {
    if (file == nullptr) return;
    CloseHandle(file->handle);
    delete file;
}

}  // namespace tqrf::serial
