// The simulated reader's own link frame codec: LEN (16 bits, most significant byte first),
// payload, XOR of every byte before it; and the parser that finds requests in the byte stream
// that arrives from the host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tqrf_sim {

inline constexpr std::uint8_t kReaderAddress = 0x58;
inline constexpr std::uint8_t kCommandLead = 0xBB;
// The longest request payload the reader takes (a host builds requests in 104 bytes).
inline constexpr std::size_t kMaxRequestPayload = 101;
// The longest reply frame a host reads in one piece.
inline constexpr std::size_t kMaxReplyFrame = 105;

std::uint8_t xor_of(std::span<const std::uint8_t> bytes);

// LEN, payload, XOR.
std::vector<std::uint8_t> encode_frame(std::span<const std::uint8_t> payload);

// Finds requests in the byte stream. A request is the address byte 0x58 followed by a link
// frame. A parity bit cannot be seen through a pseudo-terminal, so the address byte is known by
// its value and its place: it is the first byte after a pause or after a complete frame. A
// frame that follows another first byte (a request for another device on the line) is
// skipped up to the next pause, and so is a frame announcing more than kMaxRequestPayload
// bytes. A frame with a bad XOR is dropped; so is an unfinished frame when the line falls
// silent.
class RequestParser {
  public:
    // Takes one byte. Returns true when it completed a valid request; its payload is then
    // available from payload() until the next call.
    bool feed(std::uint8_t byte);
    // The line has been silent for a while: whatever was unfinished is dropped.
    void line_idle();
    // True while part of a frame (or of a skipped frame) has been taken.
    bool mid_frame() const { return state_ != State::Hunting; }
    // True when the address byte has been taken and the frame has not begun.
    bool after_address() const { return state_ == State::LenHigh; }

    std::span<const std::uint8_t> payload() const { return {payload_.data(), length_}; }

    struct Counters {
        std::uint64_t requests = 0;      // valid requests
        std::uint64_t bad_checksum = 0;  // frames dropped for their XOR
        std::uint64_t foreign = 0;       // frames not addressed to this reader
        std::uint64_t oversized = 0;     // frames announcing too long a payload
        std::uint64_t unfinished = 0;    // frames cut short by a pause
    };
    const Counters& counters() const { return counters_; }

  private:
    enum class State { Hunting, Skipping, LenHigh, LenLow, Payload, Checksum };

    State state_ = State::Hunting;
    std::array<std::uint8_t, kMaxRequestPayload> payload_{};
    std::size_t length_ = 0;
    std::size_t taken_ = 0;
    std::uint8_t xor_ = 0;
    Counters counters_;
};

}  // namespace tqrf_sim
