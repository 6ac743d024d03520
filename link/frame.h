// The link frame codec: LEN (most significant byte first), payload, XOR of all bytes before
// it. Pure code, no I/O.
#pragma once

#include <cstdint>

namespace tqrf {

// Exclusive OR of `count` bytes, starting from 0; an empty run gives 0.
std::uint8_t frame_checksum(const std::uint8_t* bytes, std::uint32_t count);

// Builds the frame for `payload` into `out` (room for `capacity` bytes). Returns the frame's
// size (length + 3), or 0 when it does not fit.
std::uint32_t frame_encode(const std::uint8_t* payload, std::uint16_t length, std::uint8_t* out,
                           std::uint32_t capacity);

// Checks `count` received bytes as one reply frame. Returns 0 when they form a valid frame,
// TQRF_ERR_REPLY_FRAME when there are fewer than 4 or the count is not LEN + 3, and
// TQRF_ERR_REPLY_CHECKSUM when the XOR over all of them is not 0.
int frame_check(const std::uint8_t* bytes, std::uint32_t count);

}  // namespace tqrf
