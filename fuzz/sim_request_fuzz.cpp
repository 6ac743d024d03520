// The reader simulator against any byte stream from a host: its request parser finds requests
// among arbitrary bytes and pauses, the reader model answers whatever payload comes through, and
// every fault the simulator can commit applies to that answer. Nothing may crash, the parser
// never hands over more than it can hold, and every reply fits in what a host reads in one
// piece.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tqrf_sim/faults.h"
#include "tqrf_sim/frame.h"
#include "tqrf_sim/reader.h"

namespace {

using tqrf::fuzz::Input;

constexpr std::size_t kMaxReplyPayload = tqrf_sim::kMaxReplyFrame - 3;

std::optional<tqrf_sim::Fault> fault_from(Input& in) {
    const std::uint8_t k = in.byte();
    if (k < 128) return std::nullopt;
    tqrf_sim::Fault f;
    f.kind = static_cast<tqrf_sim::FaultKind>(k % 9);
    f.arg = in.byte();
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192) return 0;
    Input in(data, size);

    // The first bytes, up to a NUL, are also a fault rule text for the rule parser.
    {
        std::string text;
        while (!in.empty() && text.size() < 64) {
            const std::uint8_t b = in.byte();
            if (b == 0) break;
            text.push_back(static_cast<char>(b));
        }
        std::string error;
        const auto rule = tqrf_sim::parse_fault_rule(std::string_view(text), &error);
        if (rule) (void)tqrf_sim::describe(*rule);
    }

    const auto start = tqrf_sim::Clock::time_point{} + std::chrono::hours(1);
    tqrf_sim::Reader reader(start, 1700000000);
    reader.place(tqrf_sim::MifareClassic(tqrf_sim::Uid{0x3A, 0x7C, 0x91, 0xE5}));
    tqrf_sim::RequestParser parser;
    auto now = start;

    // The rest is the line: 0xFF 0xFF is the byte 0xFF, 0xFF and any other byte is a pause of
    // that many milliseconds; every other byte goes to the parser as it stands.
    std::uint64_t found = 0;
    while (!in.empty()) {
        const std::uint8_t b = in.byte();
        if (b == 0xFF) {
            const std::uint8_t next = in.byte();
            if (next != 0xFF) {
                parser.line_idle();
                FUZZ_CHECK(!parser.mid_frame());
                now += std::chrono::milliseconds(next);
                continue;
            }
        }
        if (!parser.feed(b)) continue;
        ++found;
        const auto payload = parser.payload();
        FUZZ_CHECK(payload.size() <= tqrf_sim::kMaxRequestPayload);
        const std::vector<std::uint8_t> request(payload.begin(), payload.end());
        now += std::chrono::milliseconds(41);
        const tqrf_sim::Reply reply = reader.handle(request, now);
        FUZZ_CHECK(!reply.payload.empty());
        FUZZ_CHECK(reply.payload.size() <= kMaxReplyPayload);
        FUZZ_CHECK(reply.hold <= std::chrono::milliseconds(2550));
        const tqrf_sim::WireReply wire = tqrf_sim::apply_fault(reply.payload, fault_from(in));
        if (wire.bytes.size() >= 3 && wire.bytes.size() <= tqrf_sim::kMaxReplyFrame) {
            (void)tqrf_sim::xor_of(wire.bytes);
        }
        // Without a fault the reply goes out as one valid frame.
        const auto clean = tqrf_sim::encode_frame(reply.payload);
        FUZZ_CHECK(tqrf_sim::xor_of(clean) == 0);
        FUZZ_CHECK(clean.size() <= tqrf_sim::kMaxReplyFrame);
    }
    FUZZ_CHECK(parser.counters().requests == found);
    return 0;
}
