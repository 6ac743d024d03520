// The simulator on a real pseudo-terminal, driven by a minimal host written here.
#include "tqrf_sim/simulator.h"

#include <gtest/gtest.h>

#include <thread>

#include "pty_host.h"
#include "tqrf_sim/frame.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

using testing::Host;

TEST(Simulator, AnswersRequestsWithOneFrameEach) {
    Simulator sim;
    sim.start();
    ASSERT_FALSE(sim.slave_path().empty());
    Host host(sim.slave_path());
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.exchange({0xBB, 0x41, 0x26, 0x00}), (Bytes{0x00, 0x03, 0x04, 0x00, 0x00, 0x07}));
    EXPECT_EQ(host.exchange({0xBB, 0x42, 0x00, 0x00}),
              encode_frame(Bytes{0x3A, 0x7C, 0x91, 0xE5, 0x00}));
    EXPECT_EQ(sim.exchanges(), 2u);
    EXPECT_EQ(sim.card_state(kDefaultUid), CardState::Ready);
}

TEST(Simulator, IgnoresBadChecksumAndForeignAddress) {
    Simulator sim;
    sim.start();
    Host host(sim.slave_path());
    Bytes frame = encode_frame(Bytes{0xBB, 0x77, 0x55, 0x00});
    frame.back() ^= 0xFF;
    host.send({kReaderAddress});
    host.send(frame);
    EXPECT_TRUE(host.receive(60ms).empty());
    host.send_request({0xBB, 0x77, 0x55, 0x00}, 0x57);
    EXPECT_TRUE(host.receive(60ms).empty());
    EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(sim.exchanges(), 1u);
}

TEST(Simulator, SilencesEndSkippedFramesButNotTheWaitForAFrame) {
    Simulator sim;
    sim.start();
    Host host(sim.slave_path());
    // A late frame after the address byte is still taken.
    host.send({kReaderAddress});
    std::this_thread::sleep_for(60ms);
    host.send(encode_frame(Bytes{0xBB, 0x77, 0x55, 0x00}));
    EXPECT_EQ(host.receive(40ms), (Bytes{0x00, 0x01, 0x00, 0x01}));
    // Half a frame, then silence: dropped, and the next request is served.
    host.send({kReaderAddress, 0x00, 0x04, 0xBB});
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(sim.exchanges(), 2u);
}

TEST(Simulator, KeepsServingWhileHostsComeAndGo) {
    Simulator sim;
    sim.start();
    for (int round = 0; round < 3; ++round) {
        Host host(sim.slave_path());
        ASSERT_TRUE(host.ok());
        EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}))
            << round;
    }
    // A request nobody reads the reply of does not block the simulator.
    {
        Host host(sim.slave_path());
        host.send_request({0xBB, 0x73, 0x00, 0x00});
    }
    ASSERT_TRUE(sim.wait_for_exchanges(4, 2s));
    Host host(sim.slave_path());
    EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}));
}

TEST(Simulator, FaultsApplyToTheirCommandAndCount) {
    Simulator sim;
    sim.start();
    Host host(sim.slave_path());
    sim.add_fault({{FaultKind::NoReply, 0}, 0x77, 1});
    sim.add_fault({{FaultKind::ForceStatus, 0x33}, 0x73, -1});
    EXPECT_TRUE(host.exchange({0xBB, 0x77, 0x55, 0x00}).empty());
    EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}));
    for (int i = 0; i < 2; ++i) {
        const Bytes r = host.exchange({0xBB, 0x73, 0x00, 0x00});
        ASSERT_GE(r.size(), 4u);
        EXPECT_EQ(r[r.size() - 2], 0x33);
    }
    EXPECT_EQ(sim.faults().size(), 1u);
    const auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_TRUE(journal[0].fault);
    EXPECT_TRUE(journal[0].reply.empty());
    EXPECT_FALSE(journal[1].fault);
    sim.clear_faults();
    EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}));
}

TEST(Simulator, DelayedReplyArrivesLate) {
    Simulator sim;
    sim.start();
    Host host(sim.slave_path());
    sim.add_fault({{FaultKind::Delay, 80}, std::nullopt, 1});
    host.send_request({0xBB, 0x77, 0x55, 0x00});
    EXPECT_TRUE(host.receive(40ms).empty());
    EXPECT_EQ(host.receive(500ms), (Bytes{0x00, 0x01, 0x00, 0x01}));
}

TEST(Simulator, PacedReplyIsComplete) {
    SimulatorOptions options;
    options.pacing = true;
    Simulator sim(options);
    sim.start();
    Host host(sim.slave_path());
    const Bytes r = host.exchange({0xBB, 0x73, 0x00, 0x00}, 200ms);
    ASSERT_EQ(r.size(), std::string_view(kHardwareVersionText).size() + 4);
    EXPECT_EQ(xor_of(r), 0);
    const auto ex = sim.journal().at(0);
    // 23 bytes at 0.573 ms each cannot go out faster than 13 ms.
    EXPECT_GE(ex.answered - ex.received, kByteTime * 23);
}

// A request's bytes reach the paced reader at the line's rate, so it starts on a request no
// earlier than a byte time per frame byte after the frame was written.
TEST(Simulator, PacedRequestTakesItsWireTimeBeforeTheReaderStarts) {
    Simulator sim(SimulatorOptions{.latency = 0us, .pacing = true});
    sim.start();
    Host host(sim.slave_path());
    Bytes e2_write = {0xBB, 0x74, 0x55, 0x20};
    e2_write.resize(20, 0x5A);
    const Bytes frame = encode_frame(e2_write);
    ASSERT_EQ(frame.size(), 23u);
    host.send({kReaderAddress});
    std::this_thread::sleep_for(1ms);
    const auto written = Clock::now();
    host.send(frame);
    const auto reply = host.receive_timed(2000ms, 4);
    ASSERT_EQ(reply.size(), 4u);
    ASSERT_TRUE(sim.wait_for_exchanges(1, 2s));  // journaled after the last byte went out
    const auto ex = sim.journal().at(0);
    EXPECT_EQ(ex.request, e2_write);
    EXPECT_GE(ex.received, written + kByteTime * 23);
    EXPECT_EQ(ex.replying, ex.received);  // no latency, no working time
    // The reply's first byte needs a byte time of its own.
    EXPECT_GE(reply.front().second, written + kByteTime * 24);
}

// The journal's times are the simulator's schedule: a request taken, the reader's working
// time, then the reply. They add up exactly whatever the machine's load.
TEST(Simulator, TimingProfileSchedulesEachReply) {
    Simulator sim(SimulatorOptions{.latency = 500us});
    sim.start();
    sim.set_timing(TimingProfile::Mf1k);
    Host host(sim.slave_path());
    const std::vector<Bytes> session = {
        {0xBB, 0x41, 0x26, 0x00},
        {0xBB, 0x42, 0x00, 0x00},
        {0xBB, 0x43, 0x3A, 0x7C, 0x91, 0xE5, 0x00},
        {0xBB, 0x61, 0x60, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        {0xBB, 0x44, 0x60, 0x01},
        {0xBB, 0x45, 0x04, 0x00},
        {0xBB, 0x45, 0x08, 0x00},  // not in the authenticated sector
        {0xBB, 0x69, 0x00, 0x02},  // a 20 ms beep answered when it is over
    };
    for (const Bytes& request : session) ASSERT_FALSE(host.exchange(request, 60ms).empty());
    sim.add_fault({{FaultKind::Delay, 5}, std::nullopt, 1});
    ASSERT_FALSE(host.exchange({0xBB, 0x77, 0x55, 0x00}, 60ms).empty());
    ASSERT_TRUE(sim.wait_for_exchanges(session.size() + 1, 2s));
    const auto journal = sim.journal();
    ASSERT_EQ(journal.size(), session.size() + 1);
    for (std::size_t i = 0; i < journal.size(); ++i) {
        const Exchange& ex = journal[i];
        const std::uint8_t status = ex.reply.at(ex.reply.size() - 2);
        EXPECT_EQ(ex.processing, processing_time(TimingProfile::Mf1k, ex.request, status)) << i;
        Clock::duration extra{};
        if (ex.command() == 0x69) extra = 20ms;
        if (ex.fault) extra = 5ms;
        EXPECT_EQ(ex.replying, ex.received + 500us + ex.processing + extra) << i;
        EXPECT_GE(ex.answered, ex.replying) << i;
        if (i > 0) {
            EXPECT_GE(ex.received, journal[i - 1].answered) << i;
        }
    }
    EXPECT_EQ(journal[6].reply.at(2), to_byte(Status::NotAuthenticated));
    EXPECT_LT(journal[6].processing, journal[5].processing);
}

// A paced reply goes out a byte at a time: the last byte cannot come before its deadline, and
// the first one comes long before the last (measured loosely: 110 bytes take 63 ms).
TEST(Simulator, PacedReplyIsSpreadOverItsWireTime) {
    Simulator sim(SimulatorOptions{.latency = 0us, .pacing = true});
    sim.start();
    Host host(sim.slave_path());
    sim.add_fault({{FaultKind::Oversize, 110}, std::nullopt, 1});
    host.send_request({0xBB, 0x77, 0x55, 0x00});
    const auto reply = host.receive_timed(5000ms, 110);
    ASSERT_EQ(reply.size(), 110u);
    ASSERT_TRUE(sim.wait_for_exchanges(1, 2s));
    const auto ex = sim.journal().at(0);
    EXPECT_GE(reply.front().second, ex.replying + kByteTime);
    EXPECT_GE(reply.back().second, ex.replying + kByteTime * 110);
    EXPECT_LT(reply.front().second, ex.replying + kByteTime * 55);
    EXPECT_GE(ex.answered - ex.replying, kByteTime * 110);
}

TEST(Simulator, StopsPromptlyWhileAReplyIsHeld) {
    Simulator sim;
    sim.start();
    Host host(sim.slave_path());
    sim.add_fault({{FaultKind::Delay, 60000}, std::nullopt, -1});
    host.send_request({0xBB, 0x77, 0x55, 0x00});
    std::this_thread::sleep_for(20ms);
    const auto t0 = Clock::now();
    sim.stop();
    EXPECT_LT(Clock::now() - t0, 5s);
    EXPECT_FALSE(sim.running());
}

TEST(Simulator, CardsComeAndGoWhileRunning) {
    Simulator sim(SimulatorOptions{.default_card = false});
    sim.start();
    Host host(sim.slave_path());
    EXPECT_EQ(host.exchange({0xBB, 0x41, 0x52, 0x00}),
              encode_frame(Bytes{to_byte(Status::NoCard)}));
    CardImage image = MifareClassic(Uid{9, 8, 7, 6}).memory();
    image[16] = 0x5A;  // block 1, byte 0
    EXPECT_FALSE(sim.place_card(std::span<const std::uint8_t>(image.data(), 1000)));
    ASSERT_TRUE(sim.place_card(image));
    EXPECT_FALSE(sim.place_card(Uid{9, 8, 7, 6}));
    EXPECT_EQ(host.exchange({0xBB, 0x62, 0x52, 0x00}),
              encode_frame(Bytes{0x04, 0x00, 0x08, 9, 8, 7, 6, 0x00}));
    EXPECT_EQ(sim.card_image(Uid{9, 8, 7, 6}), image);
    const auto as_read = sim.card_image(Uid{9, 8, 7, 6}, ImageView::AsRead);
    ASSERT_TRUE(as_read);
    EXPECT_EQ((*as_read)[48], 0x00);  // key A of sector 0
    EXPECT_TRUE(sim.remove_card(Uid{9, 8, 7, 6}));
    EXPECT_TRUE(sim.cards().empty());
    EXPECT_EQ(host.exchange({0xBB, 0x41, 0x52, 0x00}),
              encode_frame(Bytes{to_byte(Status::NoCard)}));
}

TEST(Simulator, StartTwiceIsRefused) {
    Simulator sim;
    sim.start();
    EXPECT_THROW(sim.start(), std::logic_error);
    sim.stop();
    sim.start();  // and it can start again on a new pty
    Host host(sim.slave_path());
    EXPECT_EQ(host.exchange({0xBB, 0x77, 0x55, 0x00}), (Bytes{0x00, 0x01, 0x00, 0x01}));
}

}  // namespace
}  // namespace tqrf_sim
