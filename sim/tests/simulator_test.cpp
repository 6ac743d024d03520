// The simulator on a real pseudo-terminal, driven by a minimal host written here.
#include "tqrf_sim/simulator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "tqrf_sim/frame.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class Host {
  public:
    explicit Host(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~Host() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void send(const Bytes& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    void send_request(const Bytes& payload, std::uint8_t address = kReaderAddress) {
        ::tcflush(fd_, TCIFLUSH);
        send({address});
        std::this_thread::sleep_for(1ms);
        send(encode_frame(payload));
    }
    // Everything that arrives within `window`.
    Bytes receive(std::chrono::milliseconds window) {
        Bytes out;
        const auto end = Clock::now() + window;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left <= 0ms) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    Bytes exchange(const Bytes& payload, std::chrono::milliseconds window = 40ms) {
        send_request(payload);
        return receive(window);
    }

  private:
    int fd_ = -1;
};

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
