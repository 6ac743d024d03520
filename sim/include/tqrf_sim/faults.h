// Faults the simulated reader can be told to commit on its replies.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tqrf_sim {

enum class FaultKind : std::uint8_t {
    NoReply,      // the request is carried out, no reply is sent
    Delay,        // the reply goes out `arg` ms later than usual
    CorruptXor,   // the XOR byte is wrong
    Truncate,     // only the first `arg` bytes of the frame go out (0: all but the last byte)
    NoiseBefore,  // `arg` noise bytes (0: 3) go out before the frame
    NoiseAfter,   // `arg` noise bytes (0: 3) go out after the frame
    Oversize,     // a valid frame of `arg` bytes (0: 110), padded with zero data bytes: longer
                  // than the 105 bytes a host reads in one piece
    ExtraData,    // `arg` extra data bytes 0xEE (0: 1) before the status byte; the frame is valid
    ForceStatus,  // the status byte is replaced by `arg`
};

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    std::uint32_t arg = 0;
};

// A fault and the requests it applies to: those with `command` as their command code (any
// request when empty), the next `count` of them (every one when count is negative), once the
// first `skip` of them have been served untouched. With a share, only that share of them, drawn
// at random from the simulator's seed: `share_ppm` parts per million (0: every one).
struct FaultRule {
    Fault fault;
    std::optional<std::uint8_t> command;
    int count = -1;
    int skip = 0;
    std::uint32_t share_ppm = 0;
};

// The largest share: every matching request.
inline constexpr std::uint32_t kShareAll = 1'000'000;

// The draws of one rule with a share: a sequence of its own (splitmix64), the same for the same
// seed and rule number on every platform, and independent of the other rules' draws.
class ShareDraws {
  public:
    explicit ShareDraws(std::uint64_t seed = 0, std::uint64_t rule = 0);
    // Whether the next request the rule applies to gets its fault: true for `ppm` parts per
    // million of the draws.
    bool fires(std::uint32_t ppm);

  private:
    std::uint64_t state_;
};

// What goes on the line for a reply payload under a fault: the bytes, and the extra delay.
struct WireReply {
    std::vector<std::uint8_t> bytes;
    std::chrono::milliseconds extra_delay{0};
};
WireReply apply_fault(std::span<const std::uint8_t> reply_payload, const std::optional<Fault>& f);

// Parses "KIND[:ARG][@CODE][+SKIP][/COUNT]" or "KIND[:ARG][@CODE][+SKIP]%PERCENT", for example
// "noreply@0x45", "delay:100/1", "status:0x14@0x46/2", "status:0x14@0x46+3" (the fourth write
// and every one after it), "noise-before:5", "noreply%2" (2 % of the replies, at random),
// "corrupt-xor@0x45%0.5". PERCENT is above 0 and at most 100, with up to four decimals. Kinds:
// noreply, delay, corrupt-xor, truncate, noise-before, noise-after, oversize, extra-data, status.
// ARG and CODE take decimal or 0x hex. Gives nothing and an explanation in `error` when the text is
// not a fault.
std::optional<FaultRule> parse_fault_rule(std::string_view text, std::string* error = nullptr);
std::string describe(const FaultRule& rule);
// A share in parts per million as a percentage without trailing zeros: "2", "0.5".
std::string format_share(std::uint32_t ppm);
const char* fault_kind_name(FaultKind kind);

}  // namespace tqrf_sim
