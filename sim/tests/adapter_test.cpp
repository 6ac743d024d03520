// The adapters between the simulated reader and the host: their names, when an FTDI chip hands
// the bytes over, and what the host gets back through each on a real pseudo-terminal.
#include "tqrf_sim/adapter.h"

#include <gtest/gtest.h>

#include "pty_host.h"
#include "tqrf_sim/frame.h"
#include "tqrf_sim/reader.h"
#include "tqrf_sim/simulator.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

TEST(Adapter, ParsesItsNames) {
    struct Case {
        const char* text;
        std::optional<AdapterKind> kind;
        int timer_ms;
    };
    const Case cases[] = {
        {"direct", AdapterKind::Direct, 16},
        {"ftdi", AdapterKind::Ftdi, 16},
        {"ftdi:1", AdapterKind::Ftdi, 1},
        {"ftdi:255", AdapterKind::Ftdi, 255},
        {"echo", AdapterKind::Echo, 16},
        {"noise", AdapterKind::Noise, 16},
        {"ftdi:0", std::nullopt, 0},
        {"ftdi:256", std::nullopt, 0},
        {"ftdi:", std::nullopt, 0},
        {"ftdi:1x", std::nullopt, 0},
        {"ftdi:-1", std::nullopt, 0},
        {"FTDI", std::nullopt, 0},
        {"", std::nullopt, 0},
        {"loopback", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto a = parse_adapter(c.text, &error);
        ASSERT_EQ(a.has_value(), c.kind.has_value()) << c.text;
        if (!a) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(a->kind, *c.kind) << c.text;
        EXPECT_EQ(a->latency_timer, std::chrono::milliseconds(c.timer_ms)) << c.text;
        EXPECT_EQ(parse_adapter(adapter_name(*a)).value().kind, a->kind) << c.text;
    }
}

TEST(Adapter, NoiseIsNoFrameAndNoRequest) {
    const auto noise = noise_reply();
    ASSERT_GE(noise.size(), 2u);
    // The length it announces is beyond any reply a host reads.
    EXPECT_GT((std::size_t(noise[0]) << 8 | noise[1]) + 3, kMaxReplyFrame);
    EXPECT_NE(noise[0], kReaderAddress);
}

// When the held bytes reach the host: at the first firing of the free-running latency timer at
// or after a byte came, or at once when the 62nd byte waits.
TEST(Adapter, FtdiHandsOverAtTheTimerOrAFullPacket) {
    const Clock::time_point epoch{};
    auto at = [&](std::chrono::microseconds us) { return epoch + us; };
    struct Case {
        const char* name;
        std::vector<Clock::time_point> arrived;
        std::chrono::milliseconds timer;
        std::vector<Delivery> expected;
    };
    std::vector<Clock::time_point> burst100(100, at(1000us));
    std::vector<Clock::time_point> paced20;
    for (std::size_t i = 0; i < 20; ++i) paced20.push_back(paced_byte_done(at(3000us), i));
    const std::vector<Case> cases = {
        {"nothing", {}, 16ms, {}},
        {"one byte waits for the next firing", {at(1000us)}, 16ms, {{at(16000us), 1}}},
        {"a byte on a firing goes at once", {at(32000us)}, 16ms, {{at(32000us), 1}}},
        {"bytes before and after a firing",
         {at(15000us), at(15500us), at(16500us)},
         16ms,
         {{at(16000us), 2}, {at(32000us), 1}}},
        // A 20-byte paced reply from 3 ms on ends at 14.46 ms: all of it at 16 ms.
        {"a paced reply within one period", paced20, 16ms, {{at(16000us), 20}}},
        // With the 1 ms timer it comes in pieces, the last one within 1 ms of the last byte.
        {"the same reply with a 1 ms timer",
         paced20,
         1ms,
         {{at(4000us), 1},
          {at(5000us), 2},
          {at(6000us), 2},
          {at(7000us), 1},
          {at(8000us), 2},
          {at(9000us), 2},
          {at(10000us), 2},
          {at(11000us), 1},
          {at(12000us), 2},
          {at(13000us), 2},
          {at(14000us), 2},
          {at(15000us), 1}}},
        {"62 waiting go at once, the rest at the firing",
         burst100,
         16ms,
         {{at(1000us), 62}, {at(16000us), 38}}},
    };
    for (const auto& c : cases) {
        const auto got = ftdi_deliveries(c.arrived, epoch, c.timer);
        ASSERT_EQ(got.size(), c.expected.size()) << c.name;
        std::size_t total = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].at, c.expected[i].at) << c.name << " #" << i;
            EXPECT_EQ(got[i].count, c.expected[i].count) << c.name << " #" << i;
            total += got[i].count;
        }
        EXPECT_EQ(total, c.arrived.size()) << c.name;
    }
}

using testing::Host;

// Through each adapter, what a link test (0x77, 0x55) brings back.
TEST(Adapter, WhatTheHostGetsBack) {
    const Bytes link_test = {0xBB, 0x77, 0x55, 0x00};
    Bytes echoed = {kReaderAddress};
    for (auto b : encode_frame(link_test)) echoed.push_back(b);
    const auto noise = noise_reply();
    struct Case {
        const char* adapter;
        bool pace;
        Bytes expected;
        std::uint64_t journaled;
    };
    const Case cases[] = {
        {"direct", false, {0x00, 0x01, 0x00, 0x01}, 1},
        {"ftdi", false, {0x00, 0x01, 0x00, 0x01}, 1},
        {"ftdi:1", true, {0x00, 0x01, 0x00, 0x01}, 1},
        {"echo", false, echoed, 0},
        {"noise", false, Bytes(noise.begin(), noise.end()), 1},
    };
    for (const auto& c : cases) {
        SimulatorOptions options;
        options.adapter = parse_adapter(c.adapter).value();
        options.pacing = c.pace;
        Simulator sim(options);
        sim.start();
        Host host(sim.slave_path());
        ASSERT_TRUE(host.ok()) << c.adapter;
        EXPECT_EQ(host.exchange(link_test, c.expected.size(), 2000ms), c.expected) << c.adapter;
        // Nothing more follows.
        EXPECT_TRUE(host.receive(50ms, 1).empty()) << c.adapter;
        if (c.journaled > 0) {
            ASSERT_TRUE(sim.wait_for_exchanges(c.journaled, 2s)) << c.adapter;
        }
        EXPECT_EQ(sim.exchanges(), c.journaled) << c.adapter;
    }
}

// An FTDI chip's reply is held until the timer fires: the last byte cannot reach the host before
// the reply was due, and the journal's reply is the whole frame.
TEST(Adapter, FtdiReplyIsWholeAndNotEarly) {
    SimulatorOptions options;
    options.adapter = parse_adapter("ftdi:20").value();
    options.latency = 0us;
    Simulator sim(options);
    sim.start();
    Host host(sim.slave_path());
    const Bytes version = host.exchange({0xBB, 0x73, 0x00, 0x00},
                                        std::string_view(kHardwareVersionText).size() + 4, 2000ms);
    ASSERT_TRUE(sim.wait_for_exchanges(1, 2s));
    const auto ex = sim.journal().at(0);
    EXPECT_EQ(version, ex.reply);
    EXPECT_EQ(xor_of(version), 0);
    EXPECT_GE(ex.answered, ex.replying);
}

}  // namespace
}  // namespace tqrf_sim
