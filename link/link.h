// The frame link: one request out (address byte with mark parity, then the frame with space
// parity), one reply back.
#pragma once

#include <cstdint>

#include "link/reader.h"
#include "link/wire.h"
#include "os/serial.h"

namespace tqrf {

// The address byte goes out with mark parity, the frame with space parity; the port rests in
// the frame's mode.
inline constexpr serial::LineMode ADDRESS_MODE{LINE_RATE, serial::Parity::Mark, 8, 10};
inline constexpr serial::LineMode FRAME_MODE{LINE_RATE, serial::Parity::Space, 8, 10};

// Writes `count` bytes to the reader's port and waits until written. Returns the number of
// bytes written, 0 on failure.
std::uint32_t port_write(tqrf_reader& reader, const std::uint8_t* bytes, std::uint32_t count);

// Takes at most `max` bytes already waiting in the port's input queue, without waiting.
// Returns the number taken.
std::uint32_t port_read(tqrf_reader& reader, std::uint8_t* buffer, std::uint32_t max);

// Discards both queues, sends `address` with mark parity, pauses 1 ms, then sends the frame of
// `payload` with space parity. Returns length + 3 when everything was written whole, otherwise
// TQRF_ERR_SEND_FAILED (also for a payload longer than a request frame can hold).
int link_send_frame(tqrf_reader& reader, std::uint8_t address, std::uint16_t length,
                    const std::uint8_t* payload);

// Takes the reply waiting in the input queue in one read of at most REPLY_FRAME_MAX bytes and
// validates it. `out` must hold REPLY_FRAME_MAX bytes. Returns the size of the valid frame now
// in `out` (4 to 105), or TQRF_ERR_REPLY_FRAME / TQRF_ERR_REPLY_CHECKSUM after zeroing the first n
// bytes of `out` for the n bytes that were read (none when nothing was read).
int link_receive_reply(tqrf_reader& reader, std::uint8_t* out);

// Waits on the port, until `deadline_us` (serial::now_us() time) at the latest, for the frame
// that its first two bytes announce, and returns as soon as it is complete; bytes after it are
// left in the queue. Results as link_receive_reply(); a frame still incomplete at the deadline,
// or one whose announced size no frame can have, gives TQRF_ERR_REPLY_FRAME.
int link_await_reply(tqrf_reader& reader, std::uint8_t* out, std::uint64_t deadline_us);

// Waits until the line has been quiet for SETTLE_QUIET_MS, discarding whatever arrives, at most
// until `deadline_us`; then discards the input queue.
void link_settle(tqrf_reader& reader, std::uint64_t deadline_us);

// link_send_frame() and link_receive_reply() on the default reader.
int link_send_frame(std::uint8_t address, std::uint16_t length, const std::uint8_t* payload);
int link_receive_reply(std::uint8_t* out);

}  // namespace tqrf
