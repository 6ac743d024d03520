// Time on the simulated line and in the simulated reader: the serial line's byte time, when the
// bytes of a request have crossed the line, when each byte of a paced reply has gone out, and
// how long the reader works on a command under a timing profile. No I/O and no clock of its own:
// everything here is a function of the times passed in, so tests check it exactly.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tqrf_sim {

using Clock = std::chrono::steady_clock;

// One character at 19200 baud with start, parity and stop bits: 11 bits, 572.917 us.
inline constexpr std::chrono::nanoseconds kByteTime{572'917};

// The host-to-reader direction of the line. A pseudo-terminal hands over a host's bytes the
// moment they are written; a serial line carries one byte per byte time. take() is called for
// each byte in the order read, with the time it was read, and gives the time its last bit
// arrives: a byte cannot arrive sooner than a byte time after it was sent, nor sooner than a
// byte time after the byte before it.
class InboundLine {
  public:
    Clock::time_point take(Clock::time_point read_at) {
        done_ = (read_at > done_ ? read_at : done_) + kByteTime;
        return done_;
    }

  private:
    Clock::time_point done_{};
};

// The reader-to-host direction, paced: byte `index` (0 first) of a reply whose first bit goes
// out at `start` has reached the host once its 11 bits have gone out.
constexpr Clock::time_point paced_byte_done(Clock::time_point start, std::size_t index) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       kByteTime * static_cast<std::int64_t>(index + 1));
}

// How long the simulated reader works on a request before its reply starts.
enum class TimingProfile : std::uint8_t {
    Instant,  // no time at all (the simulator's latency alone)
    Mf1k,     // an MF RC500 reader with a Mifare Classic 1K card: see sim/README.md
};

const char* timing_profile_name(TimingProfile profile);
// "instant" or "mf1k".
std::optional<TimingProfile> parse_timing_profile(std::string_view name);

// The reader's working time for one request payload (0xBB, command code, parameters) whose
// reply carries `status`: the radio frames, the card's and the reader's own times. It does not
// include the beep of a beep command in mode 0 (the reader model holds that reply itself).
std::chrono::nanoseconds processing_time(TimingProfile profile,
                                         std::span<const std::uint8_t> request,
                                         std::uint8_t status);

}  // namespace tqrf_sim
