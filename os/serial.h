// The platform serial layer: everything the port control and the frame link need of the
// operating system, and nothing more. One backend file per platform implements it
// (serial_posix.cpp, serial_win32.cpp); the build picks one. The contract tests link a
// recording double in its place. No other file of the library touches the OS port API.
//
// Every open device is its own record: its handle, its line settings record and its time-out
// record. Nothing of a device is shared with another, so two devices can be driven from two
// threads at once. One device must not be driven from two threads at once (the reader's lock
// sees to that).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tqrf::serial {

// ---- Line modes ------------------------------------------------------------------------------
enum class Parity : std::uint8_t { None, Mark, Space, Even, Odd };

// A line mode as the backends take it: text never reaches them except through
// apply_mode_text(), where a caller hands it in.
struct LineMode {
    std::uint32_t rate = 0;  // bits per second, above 0
    Parity parity = Parity::None;
    std::uint8_t data_bits = 8;     // 5 to 8
    std::uint8_t stop_tenths = 10;  // 10 (1), 15 (1.5) or 20 (2)

    constexpr bool operator==(const LineMode&) const = default;
};

// The two modes every request switches between: the address byte goes out in the first, the
// frame (and the port rests) in the second.
enum class LinkMode : std::uint8_t { Address, Frame };

// An open serial device. Opaque outside its backend; a null pointer means "no device".
struct Device;

// Writes the device path for COM port `number` into `out` (NUL-terminated, at most
// `capacity` bytes). Windows: "\\.\COMn". POSIX: "/dev/ttyS(n-1)". Returns false when the
// number names no device (POSIX: below 1) or the path does not fit.
bool device_path_for_port(int number, char* out, std::size_t capacity);

// Opens `path` for reading and writing, exclusively (a second open of the same device, from
// this or another process, fails while this one is open), and takes the device's current line
// settings into its settings record. Returns null on failure, with the operating system's
// error code in `*os_error` when given (POSIX: ENOTTY for a path that is not a terminal).
// This is the one allocation a device makes.
Device* open_device(const char* path, std::int32_t* os_error = nullptr);

// Puts back the line settings the device had before it was opened, releases it and frees the
// record. A null device is ignored.
void close_device(Device* device);

// Builds the device's settings for the link's two modes from the settings it had when it was
// opened, once, so that each switch of a request only writes settings already made. Nothing is
// written to the line. Returns false when the platform cannot express a mode (a rate it does
// not know, no mark or space parity); switching to a mode not prepared then fails.
bool prepare_link_modes(Device* device, const LineMode& address, const LineMode& frame);

// Writes the prepared settings of `mode` to the line. A mode change never corrupts a byte still
// in the transmitter, and settings already in force are not written again (some adapters lose
// bytes when they are). Returns false when the mode was not prepared or the platform refuses.
bool apply_mode(Device* device, LinkMode mode);

// Builds the settings of any other mode from the device's settings record and writes them, as
// above. Returns false when the rate or the parity is refused or the platform refuses.
bool apply_mode(Device* device, const LineMode& mode);

// Reads `text`, a mode string "rate,P,D,S" (P one of N, M, S, E, O: none, mark, space, even,
// odd), as this platform always has (POSIX: parse_mode_string(); Windows: BuildCommDCB, which
// also takes its own abbreviations), and applies the mode. Only for text a caller hands in
// (tqrf_BaudSetup): the library itself passes structures. False when the text is refused or
// applying fails.
bool apply_mode_text(Device* device, const char* text);

// True when the line's driver dropped the mark or space parity written to it (some USB serial
// adapters cannot send it): found by reading the settings back once, after the first write of
// such a mode, and only on devices that are not pseudo-terminals (those always drop parity
// bits and are never read back). Windows: the port's settable parities lack mark or space.
bool mark_space_dropped(const Device* device);

// Whether the driver hands received bytes on at once. Where the driver offers the choice
// (Linux: ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL, honoured by ftdi_sio), the open asks
// for it and the close puts back the earlier setting; a driver that refuses changes nothing.
enum class LowLatency : std::uint8_t {
    Unknown,  // the driver offers no such setting (pseudo-terminals, Windows)
    Off,      // offered, but refused when asked
    On,       // in force (asked for at open, or already on)
};
LowLatency low_latency(const Device* device);

// Sizes the driver's input and output queues.
bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes);

// Makes reads return at once with whatever is queued, and bounds writes at 50 ms per byte plus
// 200 ms.
bool set_timeouts(Device* device);

// Discards everything received and not yet taken.
void purge_input(Device* device);

// Discards everything queued for sending and not yet sent.
void purge_output(Device* device);

// Writes `count` bytes and waits until they have left the transmitter (bounded by the write
// time-outs): the wait sleeps for the line time of what is queued and looks at the transmitter
// then; it looks again, every few characters, only while it is still busy. Returns the number
// of bytes the platform reports as written; 0 on failure.
std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count);

// Returns the number of received bytes waiting in the input queue.
std::uint32_t bytes_waiting(Device* device);

// Reads at least `at_least` and at most `at_most` received bytes into `buffer`, by
// `deadline_us` (now_us() time) at the latest, and returns the number read: fewer than
// `at_least` only when the deadline passed or the device is gone (device_lost()). Never spins:
// with nothing received it blocks until the first byte comes; once bytes come, it sleeps for
// the line time of the bytes still missing at the rate in force and then reads once, so a
// reply that crosses the line a byte at a time costs a few wake-ups, not one a byte.
// `under_way`: the bytes are known to be on the line already (the rest of a frame whose first
// bytes came), so the first wait is sized from the line rate at once. `at_least` 0: one read
// of what is waiting, without waiting.
std::uint32_t read_bytes(Device* device, std::uint8_t* buffer, std::uint32_t at_least,
                         std::uint32_t at_most, std::uint64_t deadline_us, bool under_way = false);

// True once the operating system has reported the device gone (POSIX: EIO, ENXIO, ENODEV,
// POLLHUP/POLLERR; Windows: ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED, ERROR_DEVICE_REMOVED,
// ERROR_NOT_READY (Wine's EIO), ERROR_OPERATION_ABORTED on a removed device, ...).
bool device_lost(const Device* device);

// The operating system's error code of the device's last failed call (errno, GetLastError);
// 0 when none failed.
std::int32_t last_error(const Device* device);

// Failures the library finds itself, as this platform's error codes (what last_error() and
// open_device() give), so that a caller reads every code of one backend the same way.
enum class OsFailure : std::uint8_t {
    NoSuchDevice,  // a port name that names no device (POSIX ENOENT, Windows ERROR_FILE_NOT_FOUND)
    NoMemory,      // POSIX ENOMEM, Windows ERROR_NOT_ENOUGH_MEMORY
};
std::int32_t os_error_code(OsFailure failure);

// Pauses the calling thread for `ms` milliseconds (monotonic, never shorter).
void pause_ms(std::uint32_t ms);

// Monotonic time in microseconds, from an arbitrary origin that is the same for every thread.
std::uint64_t now_us();

// ---- Locks -----------------------------------------------------------------------------------
// A plain, non-recursive mutual exclusion lock.
struct Lock;
// Null when it cannot be made. One allocation.
Lock* make_lock();
// The default reader's lock: static storage, ready before first use, never freed.
Lock* default_reader_lock();
void free_lock(Lock* lock);
void acquire(Lock* lock);
void release(Lock* lock);

// ---- Trace files -----------------------------------------------------------------------------
// A text file that trace lines are appended to. It is created readable and writable by its
// owner only (a trace shows the keys the host loads).
struct TraceFile;
// Null when the file cannot be opened.
TraceFile* open_trace_file(const char* path);
// Appends `count` bytes in one write (lines of concurrent writers never mix).
void append_trace(TraceFile* file, const char* text, std::size_t count);
void close_trace_file(TraceFile* file);

}  // namespace tqrf::serial
