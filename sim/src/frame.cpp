#include "tqrf_sim/frame.h"

namespace tqrf_sim {

std::uint8_t xor_of(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes) x ^= b;
    return x;
}

std::vector<std::uint8_t> encode_frame(std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(xor_of(frame));
    return frame;
}

bool RequestParser::feed(std::uint8_t byte) {
    switch (state_) {
        case State::Hunting:
            if (byte == kReaderAddress) {
                state_ = State::LenHigh;
            } else {
                ++counters_.foreign;
                state_ = State::Skipping;
            }
            return false;
        case State::Skipping:
            return false;
        case State::LenHigh:
            xor_ = byte;
            length_ = std::size_t{byte} << 8;
            state_ = State::LenLow;
            return false;
        case State::LenLow:
            xor_ ^= byte;
            length_ |= byte;
            taken_ = 0;
            if (length_ > kMaxRequestPayload) {
                ++counters_.oversized;
                length_ = 0;
                state_ = State::Skipping;
            } else {
                state_ = length_ == 0 ? State::Checksum : State::Payload;
            }
            return false;
        case State::Payload:
            xor_ ^= byte;
            payload_[taken_++] = byte;
            if (taken_ == length_) state_ = State::Checksum;
            return false;
        case State::Checksum:
            state_ = State::Hunting;
            if ((xor_ ^ byte) != 0) {
                ++counters_.bad_checksum;
                length_ = 0;
                return false;
            }
            ++counters_.requests;
            return true;
    }
    return false;
}

void RequestParser::line_idle() {
    if (state_ != State::Hunting && state_ != State::Skipping) {
        ++counters_.unfinished;
        length_ = 0;
    }
    state_ = State::Hunting;
}

}  // namespace tqrf_sim
