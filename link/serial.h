// The platform serial layer: everything the port control and the frame link need of the
// operating system, and nothing more. One backend file per platform implements it
// (serial_posix.cpp, serial_win32.cpp); the build picks one. The contract tests link a
// recording double in its place. No other file of the library touches the OS port API.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tqrf::serial {

// An open serial device. Opaque outside its backend; a null pointer means "no device".
struct Device;

// Writes the device path for COM port `number` into `out` (NUL-terminated, at most
// `capacity` bytes). Windows: "\\.\COMn". POSIX: "/dev/ttyS(n-1)". Returns false when the
// number names no device (POSIX: below 1) or the path does not fit.
bool device_path_for_port(int number, char* out, std::size_t capacity);

// Opens `path` for reading and writing, exclusively (a second open of the same device, from
// this or another process, fails while this one is open). Returns null on failure.
Device* open_device(const char* path);

// Closes the device. A null device is ignored.
void close_device(Device* device);

// Reads the device's current line settings, applies a mode string "rate,P,D,S" to them
// (P one of N, M, S, E, O: none, mark, space, even, odd) and writes them back. A mode change
// never corrupts a byte still in the transmitter. Returns false when the string or the rate
// is refused or the platform refuses the settings.
bool apply_mode(Device* device, const char* mode);

// Sizes the driver's input and output queues.
bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes);

// Makes reads return at once with whatever is queued, and bounds writes at 50 ms per byte
// plus 200 ms.
bool set_timeouts(Device* device);

// Discards everything received and not yet taken.
void purge_input(Device* device);

// Discards everything queued for sending and not yet sent.
void purge_output(Device* device);

// Writes `count` bytes and waits until they are written (bounded by the write time-outs).
// Returns the number of bytes the platform reports as written; 0 on failure.
std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count);

// Returns the number of received bytes waiting in the input queue.
std::uint32_t bytes_waiting(Device* device);

// Takes at most `max` bytes that are already waiting, without waiting for more. Returns the
// number taken (0 when none are waiting or on failure).
std::uint32_t read_waiting(Device* device, std::uint8_t* buffer, std::uint32_t max);

// Pauses the calling thread for `ms` milliseconds (monotonic, never shorter).
void pause_ms(std::uint32_t ms);

}  // namespace tqrf::serial
