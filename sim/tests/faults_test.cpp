#include "tqrf_sim/faults.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tqrf_sim/frame.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A read reply: 16 data bytes and status 0, a 20-byte frame.
Bytes read_reply() {
    Bytes p(16);
    for (std::size_t i = 0; i < 16; ++i) p[i] = static_cast<std::uint8_t>(i);
    p.push_back(0);
    return p;
}

TEST(ApplyFault, WithoutFaultTheFrameIsSentAsItIs) {
    const WireReply w = apply_fault(read_reply(), std::nullopt);
    EXPECT_EQ(w.bytes, encode_frame(read_reply()));
    EXPECT_EQ(w.extra_delay, 0ms);
}

TEST(ApplyFault, EachKindChangesTheFrameAsDocumented) {
    const Bytes good = encode_frame(read_reply());  // 20 bytes, LEN 0x0011
    struct Case {
        Fault fault;
        std::size_t size;     // bytes on the line
        bool valid_frame;     // LEN + 3 bytes with XOR 0
        std::uint8_t status;  // status byte, when valid
    };
    const Case cases[] = {
        {{FaultKind::NoReply, 0}, 0, false, 0},
        {{FaultKind::Delay, 100}, 20, true, 0},
        {{FaultKind::CorruptXor, 0}, 20, false, 0},
        {{FaultKind::Truncate, 0}, 19, false, 0},
        {{FaultKind::Truncate, 5}, 5, false, 0},
        {{FaultKind::Truncate, 50}, 19, false, 0},
        {{FaultKind::NoiseBefore, 0}, 23, false, 0},
        {{FaultKind::NoiseAfter, 4}, 24, false, 0},
        {{FaultKind::Oversize, 0}, 110, true, 0},
        {{FaultKind::Oversize, 200}, 200, true, 0},
        {{FaultKind::ExtraData, 0}, 21, true, 0},
        {{FaultKind::ExtraData, 3}, 23, true, 0},
        {{FaultKind::ForceStatus, 0x42}, 20, true, 0x42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fault_kind_name(c.fault.kind) + std::string(":") +
                     std::to_string(c.fault.arg));
        const WireReply w = apply_fault(read_reply(), c.fault);
        ASSERT_EQ(w.bytes.size(), c.size);
        if (c.size == 0) continue;
        const std::size_t len = (std::size_t{w.bytes[0]} << 8) | w.bytes[1];
        const bool valid = w.bytes.size() == len + 3 && xor_of(w.bytes) == 0;
        EXPECT_EQ(valid, c.valid_frame);
        if (valid) {
            EXPECT_EQ(w.bytes[w.bytes.size() - 2], c.status);
            EXPECT_TRUE(std::equal(good.begin() + 2, good.begin() + 18, w.bytes.begin() + 2));
        }
    }
    EXPECT_EQ(apply_fault(read_reply(), Fault{FaultKind::Delay, 100}).extra_delay, 100ms);
    const WireReply noise = apply_fault(read_reply(), Fault{FaultKind::NoiseBefore, 3});
    EXPECT_TRUE(std::equal(good.begin(), good.end(), noise.bytes.begin() + 3));
    const WireReply extra = apply_fault(read_reply(), Fault{FaultKind::ExtraData, 2});
    EXPECT_EQ(extra.bytes[18], 0xEE);
    EXPECT_EQ(extra.bytes[19], 0xEE);
}

// A rule that parses, and what it must parse to.
struct AcceptedRule {
    const char* text;
    FaultKind kind;
    std::uint32_t arg;
    std::optional<std::uint8_t> command;
    int count;
    int skip = 0;
    std::uint32_t ppm = 0;
    const char* described = nullptr;
};

void expect_parses(const AcceptedRule& c) {
    std::string error;
    const auto r = parse_fault_rule(c.text, &error);
    ASSERT_TRUE(r) << c.text << ": " << error;
    EXPECT_EQ(r->fault.kind, c.kind) << c.text;
    EXPECT_EQ(r->fault.arg, c.arg) << c.text;
    EXPECT_EQ(r->command, c.command) << c.text;
    EXPECT_EQ(r->count, c.count) << c.text;
    EXPECT_EQ(r->skip, c.skip) << c.text;
    EXPECT_EQ(r->share_ppm, c.ppm) << c.text;
    if (c.described != nullptr) {
        EXPECT_EQ(describe(*r), c.described) << c.text;
    }
}

TEST(ParseFaultRule, AcceptsKindArgumentCodeAndCount) {
    const AcceptedRule cases[] = {
        {"status:0x14@0x46+3", FaultKind::ForceStatus, 0x14, 0x46, -1, 3},
        {"noreply+2/1", FaultKind::NoReply, 0, std::nullopt, 1, 2},
        {"noreply", FaultKind::NoReply, 0, std::nullopt, -1},
        {"noreply@0x45", FaultKind::NoReply, 0, 0x45, -1},
        {"delay:100/1", FaultKind::Delay, 100, std::nullopt, 1},
        {"status:0x14@70/2", FaultKind::ForceStatus, 0x14, 70, 2},
        {"noise-before:5", FaultKind::NoiseBefore, 5, std::nullopt, -1},
        {"truncate@0x41", FaultKind::Truncate, 0, 0x41, -1},
        {"corrupt-xor/3", FaultKind::CorruptXor, 0, std::nullopt, 3},
        {"oversize", FaultKind::Oversize, 0, std::nullopt, -1},
        {"extra-data:2", FaultKind::ExtraData, 2, std::nullopt, -1},
        {"noise-after", FaultKind::NoiseAfter, 0, std::nullopt, -1},
    };
    for (const AcceptedRule& c : cases) expect_parses(c);
}

TEST(ParseFaultRule, AcceptsAShareInPlaceOfTheCount) {
    // With a share there is no count (-1).
    const AcceptedRule cases[] = {
        {"noreply%2", FaultKind::NoReply, 0, std::nullopt, -1, 0, 20000,
         "noreply:0 on any command, 2% of them at random, until cleared"},
        {"corrupt-xor%1", FaultKind::CorruptXor, 0, std::nullopt, -1, 0, 10000, nullptr},
        {"noreply%0.5", FaultKind::NoReply, 0, std::nullopt, -1, 0, 5000, nullptr},
        {"noreply%100", FaultKind::NoReply, 0, std::nullopt, -1, 0, 1000000, nullptr},
        {"noreply%0.0001", FaultKind::NoReply, 0, std::nullopt, -1, 0, 1, nullptr},
        {"noreply%12.25", FaultKind::NoReply, 0, std::nullopt, -1, 0, 122500, nullptr},
        {"noreply@0x44%2", FaultKind::NoReply, 0, 0x44, -1, 0, 20000,
         "noreply:0 on command 0x44, 2% of them at random, until cleared"},
        {"delay:100@0x45+3%0.5", FaultKind::Delay, 100, 0x45, -1, 3, 5000,
         "delay:100 on command 0x45, after 3 request(s) served, 0.5% of them at random, "
         "until cleared"},
        {"status:0x14+2%50", FaultKind::ForceStatus, 0x14, std::nullopt, -1, 2, 500000, nullptr},
    };
    for (const AcceptedRule& c : cases) expect_parses(c);
    // Without a share every matching request gets the fault, as before.
    EXPECT_EQ(parse_fault_rule("noreply@0x45/1")->share_ppm, 0u);
}

TEST(ParseFaultRule, RefusesMalformedShares) {
    struct Case {
        const char* text;
        const char* says;  // part of the message
    };
    const Case cases[] = {
        {"noreply%0", "above 0"},
        {"noreply%0.0", "above 0"},
        {"noreply%100.0001", "at most 100"},
        {"noreply%101", "at most 100"},
        {"noreply%", "bad share"},
        {"noreply%.5", "bad share"},
        {"noreply%5.", "bad share"},
        {"noreply%0.00001", "bad share"},
        {"noreply%-1", "bad share"},
        {"noreply%1e1", "bad share"},
        {"noreply%x", "bad share"},
        {"noreply%2@0x44", "comes last"},
        {"noreply%2+1", "comes last"},
        {"noreply%2/3", "comes last"},
        {"noreply/3%2", "both a count and a share"},
        {"bogus%2", "unknown fault"},
        {"noreply@0x100%2", "command code"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_fault_rule(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
}

// Which of `n` draws fire, as a string of 0 and 1.
std::string draws(std::uint64_t seed, std::uint64_t rule, std::uint32_t ppm, int n) {
    ShareDraws d(seed, rule);
    std::string out;
    for (int i = 0; i < n; ++i) out += d.fires(ppm) ? '1' : '0';
    return out;
}

TEST(ShareDraws, TheSameSeedAndRuleGiveTheSameSequence) {
    EXPECT_EQ(draws(7, 0, 500000, 200), draws(7, 0, 500000, 200));
    EXPECT_NE(draws(7, 0, 500000, 200), draws(8, 0, 500000, 200));
    EXPECT_NE(draws(7, 0, 500000, 200), draws(7, 1, 500000, 200));
    // The sequence is fixed on every platform: these are its first draws.
    EXPECT_EQ(draws(1, 0, 500000, 32), "10100010000000110111101110111001");
    EXPECT_EQ(draws(0, 0, kShareAll, 50), std::string(50, '1'));
}

TEST(ShareDraws, FiresOnItsShareOfTheRequests) {
    struct Case {
        std::uint64_t seed;
        std::uint32_t ppm;
        int fired;  // of kDraws, with this seed
    };
    constexpr int kDraws = 100000;
    const Case cases[] = {
        {1, 20000, 2050},    // 2 %
        {2, 10000, 1007},    // 1 %
        {3, 5000, 497},      // 0.5 %
        {4, 500000, 49825},  // 50 %
        {5, 100, 11},        // 0.01 %
    };
    for (const Case& c : cases) {
        ShareDraws d(c.seed, 0);
        int fired = 0;
        for (int i = 0; i < kDraws; ++i) fired += d.fires(c.ppm) ? 1 : 0;
        // Binomial: within four standard deviations of n p.
        const double p = c.ppm / 1e6;
        const double expected = kDraws * p;
        const double tolerance = 4 * std::sqrt(kDraws * p * (1 - p));
        EXPECT_NEAR(fired, expected, tolerance) << "seed " << c.seed << ", ppm " << c.ppm;
        EXPECT_EQ(fired, c.fired) << "seed " << c.seed << ", ppm " << c.ppm;
    }
}

TEST(ParseFaultRule, RefusesMalformedSpecs) {
    for (const char* text :
         {"", "nope", "delay", "status", "status:256", "noreply@0x100", "noreply@", "noreply/0",
          "noreply/x", "delay:abc", "delay:-1", "noreply@0x45/2/3", "noreply+", "noreply+x/1"}) {
        std::string error;
        EXPECT_FALSE(parse_fault_rule(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
}  // namespace tqrf_sim
