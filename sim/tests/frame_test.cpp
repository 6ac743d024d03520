#include "tqrf_sim/frame.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tqrf_sim/reader.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Feeds bytes; returns the payloads of the requests they completed.
std::vector<Bytes> feed(RequestParser& p, const Bytes& bytes) {
    std::vector<Bytes> out;
    for (std::uint8_t b : bytes) {
        if (p.feed(b)) out.emplace_back(p.payload().begin(), p.payload().end());
    }
    return out;
}

Bytes request(const Bytes& payload, std::uint8_t address = kReaderAddress) {
    Bytes r{address};
    const Bytes f = encode_frame(payload);
    r.insert(r.end(), f.begin(), f.end());
    return r;
}

TEST(FrameCodec, EncodesLengthPayloadXor) {
    EXPECT_EQ(encode_frame(Bytes{0xBB, 0x41, 0x26, 0x00}),
              (Bytes{0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}));
    EXPECT_EQ(encode_frame(Bytes{0x04, 0x00, 0x00}), (Bytes{0x00, 0x03, 0x04, 0x00, 0x00, 0x07}));
    const Bytes big(300, 0x01);
    const Bytes f = encode_frame(big);
    EXPECT_EQ(f[0], 0x01);
    EXPECT_EQ(f[1], 0x2C);
    EXPECT_EQ(xor_of(f), 0);
}

TEST(RequestParser, TakesARequestAfterTheAddressByte) {
    RequestParser p;
    const auto got = feed(p, request({0xBB, 0x45, 0x04, 0x00}));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0xBB, 0x45, 0x04, 0x00}));
    EXPECT_FALSE(p.mid_frame());
    // Back to back, no pause needed after a complete frame.
    Bytes two = request({0xBB, 0x77, 0x55, 0x00});
    const Bytes second = request({0xBB, 0x73, 0x00, 0x00});
    two.insert(two.end(), second.begin(), second.end());
    EXPECT_EQ(feed(p, two).size(), 2u);
}

TEST(RequestParser, DropsBadChecksumAndResumesAtTheNextRequest) {
    RequestParser p;
    Bytes bad = request({0xBB, 0x41, 0x26, 0x00});
    bad.back() ^= 1;
    EXPECT_TRUE(feed(p, bad).empty());
    EXPECT_EQ(p.counters().bad_checksum, 1u);
    EXPECT_EQ(feed(p, request({0xBB, 0x41, 0x26, 0x00})).size(), 1u);
}

TEST(RequestParser, SkipsAFrameForAnotherAddressUntilThePause) {
    RequestParser p;
    // The frame for address 0x57 contains 0x58 in its payload: still not taken.
    EXPECT_TRUE(
        feed(p, request({0xBB, 0x58, 0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D}, 0x57)).empty());
    EXPECT_TRUE(feed(p, request({0xBB, 0x77, 0x55, 0x00})).empty());  // no pause yet
    p.line_idle();
    EXPECT_EQ(feed(p, request({0xBB, 0x77, 0x55, 0x00})).size(), 1u);
    EXPECT_EQ(p.counters().foreign, 1u);
}

TEST(RequestParser, OversizedLengthIsSkipped) {
    RequestParser p;
    EXPECT_TRUE(feed(p, Bytes{0x58, 0x00, 102}).empty());
    EXPECT_TRUE(p.mid_frame());
    EXPECT_EQ(p.counters().oversized, 1u);
    p.line_idle();
    const Bytes longest(101, 0xBB);
    EXPECT_EQ(feed(p, request(longest)).size(), 1u);
}

TEST(RequestParser, UnfinishedFrameIsDroppedAtThePause) {
    RequestParser p;
    Bytes r = request({0xBB, 0x41, 0x26, 0x00});
    r.pop_back();
    EXPECT_TRUE(feed(p, r).empty());
    p.line_idle();
    EXPECT_EQ(p.counters().unfinished, 1u);
    EXPECT_EQ(feed(p, request({0xBB, 0x41, 0x26, 0x00})).size(), 1u);
}

TEST(RequestParser, EmptyPayloadIsARequestTheReaderRefuses) {
    RequestParser p;
    const auto got = feed(p, Bytes{0x58, 0x00, 0x00, 0x00});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].empty());
    Reader reader;
    EXPECT_EQ(reader.handle(got[0], Clock::now()).payload,
              (Bytes{to_byte(Status::UnknownCommand)}));
}

// Any byte stream: the parser and the reader stay within bounds and every reply is a frame
// the reader can send.
TEST(RequestParser, SurvivesRandomStreams) {
    std::mt19937 rng(12345);
    RequestParser p;
    Reader reader;
    reader.place(MifareClassic(Uid{1, 2, 3, 4}));
    const auto t0 = Clock::now();
    std::size_t requests = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes chunk;
        if (rng() % 2 == 0) {
            // A plausible request with random parameters.
            static constexpr std::uint8_t kCodes[] = {
                0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C,
                0x61, 0x62, 0x69, 0x6A, 0x6B, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77};
            const std::uint8_t code = kCodes[rng() % sizeof kCodes];
            Bytes payload{0xBB, code};
            const std::size_t len = command_length(code) - 2 + (rng() % 8 == 0 ? 1 : 0);
            for (std::size_t i = 0; i < len; ++i)
                payload.push_back(static_cast<std::uint8_t>(rng()));
            if (code == 0x41 || code == 0x62) payload[2] = rng() % 2 ? 0x26 : 0x52;
            if (code == 0x44 || code == 0x61) payload[2] = rng() % 2 ? 0x60 : 0x61;
            if (code == 0x44 || code == 0x61) payload[3] &= 0x0F;
            chunk = request(payload);
        } else {
            chunk.resize(rng() % 40);
            for (auto& b : chunk) b = static_cast<std::uint8_t>(rng());
        }
        for (std::uint8_t b : chunk) {
            if (p.feed(b)) {
                ++requests;
                const Reply r = reader.handle(p.payload(), t0 + std::chrono::seconds(round));
                ASSERT_FALSE(r.payload.empty());
                ASSERT_LE(encode_frame(r.payload).size(), kMaxReplyFrame);
                ASSERT_LE(r.hold, std::chrono::milliseconds(2400));
            }
        }
        if (rng() % 4 == 0) p.line_idle();
    }
    EXPECT_GT(requests, 1000u);
}

}  // namespace
}  // namespace tqrf_sim
