// A session of a program on the legacy exports, traced to the file TQRF_TRACE names, replayed by
// the simulator: the same calls give the same results and outputs from the recorded replies, and
// a call that sends another request ends the replay at the line of the recorded one.
#include "tqrf_sim/replay.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tq_RWD_DLL.h"
#include "tqrf_sim/simulator.h"

namespace {

using namespace std::chrono_literals;

// What a session's calls gave: each result and output bytes, as text.
std::string session(const std::string& device, int block) {
    std::ostringstream out;
    auto bytes = [&](const std::uint8_t* b, int n) {
        for (int i = 0; i < n; ++i) out << ' ' << static_cast<int>(b[i]);
    };
    std::uint8_t type[2] = {}, serial[4] = {}, size = 0, data[16] = {};
    const std::uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    out << "init " << tqrf_init_device(device.c_str());
    out << "\nrequest " << tqrf_request(0, type);
    bytes(type, 2);
    out << "\nanticoll " << tqrf_anticoll(0, serial);
    bytes(serial, 4);
    out << "\nselect " << tqrf_select(serial, &size) << ' ' << static_cast<int>(size);
    out << "\nloadkey " << tqrf_loadkey(0, 1, key);
    out << "\nauth " << tqrf_authentication(0, 1);
    out << "\nread " << tqrf_read(block, data);
    bytes(data, 16);
    out << "\nread " << tqrf_read(0, data);  // another sector: refused by the reader
    bytes(data, 16);
    out << "\nexit " << tqrf_exit() << '\n';
    return out.str();
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class LegacyTraceReplay : public ::testing::Test {
  protected:
    void TearDown() override {
        unsetenv("TQRF_TRACE");
        std::remove(trace_.c_str());
    }
    // Records a session against a simulator holding a card of its own.
    std::string record() {
        tqrf_sim::Simulator sim(tqrf_sim::SimulatorOptions{.default_card = false});
        tqrf_sim::CardImage image{};
        image.fill(0x5C);
        const std::uint8_t head[8] = {0x01, 0x02, 0x03, 0x04, 0x04, 0x08, 0x04, 0x00};
        std::copy(std::begin(head), std::end(head), image.begin());
        for (std::size_t s = 0; s < 16; ++s) {
            const std::uint8_t trailer[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x07,
                                              0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
            std::copy(std::begin(trailer), std::end(trailer), image.begin() + (s * 4 + 3) * 16);
        }
        EXPECT_TRUE(sim.place_card(image));
        sim.start();
        std::remove(trace_.c_str());
        setenv("TQRF_TRACE", trace_.c_str(), 1);
        const std::string out = session(sim.slave_path(), 4);
        unsetenv("TQRF_TRACE");
        return out;
    }

    std::string trace_ = "/tmp/tqrf-replay-trace-" + std::to_string(getpid());
};

TEST_F(LegacyTraceReplay, TheSameSessionGetsTheRecordedReplies) {
    const std::string recorded = record();
    ASSERT_NE(recorded.find("anticoll 0 1 2 3 4"), std::string::npos) << recorded;
    const std::string text = read_file(trace_);
    ASSERT_NE(text.find(" frame 00 0A BB 61 60 01 ** ** ** ** ** ** **\n"), std::string::npos)
        << text;
    std::string error;
    auto parsed = tqrf_sim::parse_trace(text, &error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(parsed->exchanges.size(), 7u);

    struct Case {
        const char* what;
        int block;
        std::size_t answered;
        std::size_t mismatch_line;  // 0: none
    };
    const Case cases[] = {
        {"the recorded session", 4, 7, 0},
        {"another block read", 5, 5, 22},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tqrf_sim::Simulator sim;  // the default card: the replies can only come from the trace
        sim.set_replay(*parsed);
        sim.start();
        const std::string replayed = session(sim.slave_path(), c.block);
        ASSERT_TRUE(sim.wait_until_idle(2s));
        const auto progress = sim.replay_progress();
        ASSERT_TRUE(progress);
        EXPECT_EQ(progress->answered, c.answered);
        if (c.mismatch_line == 0) {
            EXPECT_EQ(replayed, recorded);
            EXPECT_FALSE(progress->mismatch);
        } else {
            EXPECT_NE(replayed, recorded);
            ASSERT_TRUE(progress->mismatch);
            EXPECT_EQ(progress->mismatch->line, c.mismatch_line);
            EXPECT_NE(text.find(" frame " + progress->mismatch->recorded + "\n"),
                      std::string::npos);
            EXPECT_EQ(progress->mismatch->received, "00 04 BB 45 05 00 FF");
            // Every request after the one that differed goes unanswered.
            EXPECT_NE(replayed.find("read -86"), std::string::npos) << replayed;
        }
        const auto journal = sim.journal();
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.front().trace_line, 2u);
    }
}

}  // namespace
