// Reader handles against simulated readers on pseudo-terminals: a card session, several readers
// driven from several threads, a device that goes away, late replies, and the environment's
// trace file for a legacy session. Only the public header of the library is used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tq_RWD_DLL.h"
#include "tqrf_sim/simulator.h"

namespace {

using namespace std::chrono_literals;
using tqrf_sim::Status;
using tqrf_sim::to_byte;

constexpr std::uint8_t kKeyFF[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// A simulator and a reader handle on it.
struct Station {
    tqrf_sim::Simulator sim;
    tqrf_reader* reader = nullptr;

    explicit Station(tqrf_sim::SimulatorOptions options = {}) : sim(options) {}
    ~Station() {
        if (reader != nullptr) tqrf_reader_close(reader);
        sim.stop();
    }
    void open() {
        sim.start();
        ASSERT_EQ(tqrf_reader_open(sim.slave_path().c_str(), &reader), 0);
    }
    void login(int sector) {
        std::uint8_t type[2], serial[4], size = 0;
        ASSERT_EQ(tqrf_reader_find(reader, TQRF_REQUEST_ALL, type, serial, &size), 0);
        ASSERT_EQ(tqrf_reader_loadkey(reader, TQRF_KEY_A, sector, kKeyFF), 0);
        ASSERT_EQ(tqrf_reader_authenticate(reader, TQRF_KEY_A, sector), 0);
    }
};

TEST(HandleE2E, ACardSession) {
    Station s;
    s.open();
    std::uint8_t type[2] = {}, serial[4] = {}, size = 0;
    ASSERT_EQ(tqrf_reader_find(s.reader, TQRF_REQUEST_IDLE, type, serial, &size), 0);
    EXPECT_EQ(type[0], 0x04);
    EXPECT_EQ(size, 0x08);
    EXPECT_EQ(0, std::memcmp(serial, tqrf_sim::kDefaultUid.data(), 4));

    ASSERT_EQ(tqrf_reader_loadkey(s.reader, TQRF_KEY_A, 1, kKeyFF), 0);
    ASSERT_EQ(tqrf_reader_authenticate(s.reader, TQRF_KEY_A, 1), 0);
    std::uint8_t data[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    ASSERT_EQ(tqrf_reader_write(s.reader, 4, data), 0);
    std::uint8_t back[16] = {};
    ASSERT_EQ(tqrf_reader_read(s.reader, 4, back), 0);
    EXPECT_EQ(0, std::memcmp(data, back, 16));
    const auto image = s.sim.card_image(tqrf_sim::kDefaultUid);
    ASSERT_TRUE(image);
    EXPECT_EQ(0, std::memcmp(image->data() + 4 * 16, data, 16));

    // A purse in block 5.
    std::uint32_t value = 0;
    ASSERT_EQ(tqrf_reader_initval(s.reader, 5, 100), 0);
    ASSERT_EQ(tqrf_reader_increment(s.reader, 5, 25), 0);
    ASSERT_EQ(tqrf_reader_transfer(s.reader, 5), 0);
    ASSERT_EQ(tqrf_reader_decrement(s.reader, 5, 5), 0);
    ASSERT_EQ(tqrf_reader_transfer(s.reader, 5), 0);
    ASSERT_EQ(tqrf_reader_readval(s.reader, 5, &value), 0);
    EXPECT_EQ(value, 120u);

    // Reader commands.
    std::uint8_t version[64];
    std::uint32_t length = 0;
    ASSERT_EQ(tqrf_reader_hardware_version(s.reader, version, sizeof version, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(version), length),
              tqrf_sim::kHardwareVersionText);
    EXPECT_EQ(tqrf_reader_hardware_version(s.reader, version, 4, &length), ERR_BUFFER_TOO_SMALL);
    std::uint32_t id = 0;
    ASSERT_EQ(tqrf_reader_id(s.reader, &id), 0);
    EXPECT_EQ(id, tqrf_sim::kDefaultIdentity);
    EXPECT_EQ(tqrf_reader_link_test(s.reader), 0);

    // The reader's refusals come through as its status bytes, outputs untouched.
    std::uint8_t guard[16];
    std::memset(guard, 0xEE, sizeof guard);
    EXPECT_EQ(tqrf_reader_read(s.reader, 8, guard), to_byte(Status::NotAuthenticated));
    EXPECT_EQ(guard[0], 0xEE);
    EXPECT_EQ(tqrf_reader_halt(s.reader), 0);
    EXPECT_EQ(tqrf_reader_request(s.reader, TQRF_REQUEST_IDLE, type), to_byte(Status::NoCard));
}

// Two readers on two simulators, four threads: two per reader, each with its own kind of
// request whose answer it can recognise. Frames of one reader never interleave, and each
// thread gets the answers to its own requests.
TEST(HandleE2E, FourThreadsOnTwoReaders) {
    Station a, b;
    a.open();
    b.open();
    // The point here is that frames never mix, not how fast replies come: a generous deadline
    // keeps a busy machine from failing an exchange.
    for (Station* s : {&a, &b}) {
        ASSERT_EQ(tqrf_reader_set_option(s->reader, TQRF_OPTION_REPLY_SLACK_MS, 1000), 0);
    }
    a.sim.set_identity(0xA1A2A3A4);
    b.sim.set_identity(0xB1B2B3B4);
    a.login(1);
    b.login(1);
    std::uint8_t content_a[16], content_b[16];
    for (int i = 0; i < 16; ++i) {
        content_a[i] = static_cast<std::uint8_t>(0x10 + i);
        content_b[i] = static_cast<std::uint8_t>(0x80 + i);
    }
    ASSERT_EQ(tqrf_reader_write(a.reader, 4, content_a), 0);
    ASSERT_EQ(tqrf_reader_write(b.reader, 4, content_b), 0);
    a.sim.clear_journal();
    b.sim.clear_journal();

    constexpr int kRounds = 40;
    std::atomic<int> wrong{0};
    auto block_reader = [&](tqrf_reader* r, const std::uint8_t* expected) {
        for (int i = 0; i < kRounds; ++i) {
            std::uint8_t block[16] = {};
            if (tqrf_reader_read(r, 4, block) != 0 || std::memcmp(block, expected, 16) != 0) {
                ++wrong;
            }
        }
    };
    auto id_reader = [&](tqrf_reader* r, std::uint32_t expected) {
        for (int i = 0; i < kRounds; ++i) {
            std::uint32_t id = 0;
            std::uint8_t version[64];
            std::uint32_t length = 0;
            if (tqrf_reader_id(r, &id) != 0 || id != expected) ++wrong;
            if (tqrf_reader_hardware_version(r, version, sizeof version, &length) != 0 ||
                length != std::strlen(tqrf_sim::kHardwareVersionText)) {
                ++wrong;
            }
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(block_reader, a.reader, content_a);
    threads.emplace_back(id_reader, a.reader, 0xA1A2A3A4u);
    threads.emplace_back(block_reader, b.reader, content_b);
    threads.emplace_back(id_reader, b.reader, 0xB1B2B3B4u);
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);

    // Every request reached each simulator whole: 40 reads, 40 identities, 40 versions.
    for (Station* s : {&a, &b}) {
        const auto journal = s->sim.journal();
        ASSERT_EQ(journal.size(), 3u * kRounds);
        for (const auto& e : journal) {
            EXPECT_EQ(e.request.size(), 4u);
            EXPECT_FALSE(e.fault.has_value());
            EXPECT_TRUE(e.command() == 0x45 || e.command() == 0x76 || e.command() == 0x73)
                << int(e.command());
        }
    }
}

TEST(HandleE2E, ADeviceThatGoesAwayIsLostUntilClosedAndReopened) {
    Station s;
    s.open();
    ASSERT_EQ(tqrf_reader_link_test(s.reader), 0);
    const std::string path = s.sim.slave_path();
    s.sim.stop();  // the pty's master side closes: the device is gone
    EXPECT_EQ(tqrf_reader_link_test(s.reader), ERR_DEVICE_LOST);
    EXPECT_NE(tqrf_reader_os_error(s.reader), 0);
    std::uint8_t block[16];
    EXPECT_EQ(tqrf_reader_read(s.reader, 4, block), ERR_DEVICE_LOST);
    EXPECT_EQ(tqrf_reader_close(s.reader), 0);
    s.reader = nullptr;

    s.sim.start();  // a new pty
    ASSERT_EQ(tqrf_reader_open(s.sim.slave_path().c_str(), &s.reader), 0);
    EXPECT_EQ(tqrf_reader_link_test(s.reader), 0);
}

TEST(HandleE2E, OpenFailuresSayWhy) {
    tqrf_reader* r = nullptr;
    EXPECT_EQ(tqrf_reader_open("/dev/no-such-reader", &r), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(tqrf_reader_os_error(nullptr), ENOENT);
    EXPECT_EQ(tqrf_reader_open("/dev/null", &r), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(tqrf_reader_os_error(nullptr), ENOTTY);

    Station s;
    s.open();
    EXPECT_EQ(tqrf_reader_open(s.sim.slave_path().c_str(), &r), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(tqrf_reader_os_error(nullptr), EBUSY);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(tqrf_init_device(s.sim.slave_path().c_str()), ERR_PORT_OPEN_FAILED);
}

// Mixed commands against a reader that answers 45 ms late, 5 ms past the fixed pause.
struct MixedSession {
    tqrf_reader* r;
    int successes = 0;
    int wrong_data = 0;

    void run(int commands) {
        std::uint8_t type[2], serial[4], size, block[16];
        std::uint32_t id;
        for (int i = 0; i < commands; ++i) {
            switch (i % 8) {
                case 0:
                    if (tqrf_reader_request(r, TQRF_REQUEST_ALL, type) == 0) {
                        ++successes;
                        if (type[0] != 0x04 || type[1] != 0x00) ++wrong_data;
                    }
                    break;
                case 1:
                    if (tqrf_reader_anticoll(r, 0, serial) == 0) {
                        ++successes;
                        if (std::memcmp(serial, tqrf_sim::kDefaultUid.data(), 4) != 0) ++wrong_data;
                    }
                    break;
                case 2:
                    if (tqrf_reader_select(r, tqrf_sim::kDefaultUid.data(), &size) == 0) {
                        ++successes;
                        if (size != 0x08) ++wrong_data;
                    }
                    break;
                case 3:
                    if (tqrf_reader_loadkey(r, TQRF_KEY_A, 0, kKeyFF) == 0) ++successes;
                    break;
                case 4:
                    if (tqrf_reader_authenticate(r, TQRF_KEY_A, 0) == 0) ++successes;
                    break;
                case 5:
                    if (tqrf_reader_read(r, 0, block) == 0) {
                        ++successes;
                        if (std::memcmp(block, tqrf_sim::kDefaultUid.data(), 4) != 0) {
                            ++wrong_data;
                        }
                    }
                    break;
                case 6:
                    if (tqrf_reader_id(r, &id) == 0) {
                        ++successes;
                        if (id != tqrf_sim::kDefaultIdentity) ++wrong_data;
                    }
                    break;
                default:
                    if (tqrf_reader_link_test(r) == 0) ++successes;
                    break;
            }
        }
    }
};

TEST(HandleE2E, LateRepliesNeverAnswerTheNextRequest) {
    tqrf_sim::SimulatorOptions late;
    late.latency = 45ms;
    {
        // Fixed mode: every reply misses its pause, and none may be taken for a later request.
        Station s(late);
        s.open();
        ASSERT_EQ(tqrf_reader_set_option(s.reader, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_FIXED), 0);
        MixedSession session{s.reader};
        session.run(40);
        EXPECT_EQ(session.successes, 0);
        EXPECT_EQ(session.wrong_data, 0);
    }
    {
        // Complete mode with slack enough for a loaded machine (the reply is due 5 ms past the
        // pause): every command gets its own reply.
        Station s(late);
        s.open();
        ASSERT_EQ(tqrf_reader_set_option(s.reader, TQRF_OPTION_REPLY_SLACK_MS, 200), 0);
        MixedSession session{s.reader};
        session.run(40);
        EXPECT_EQ(session.successes, 40);
        EXPECT_EQ(session.wrong_data, 0);
    }
}

// ---- The legacy exports under the environment's settings --------------------------------------

class LegacyEnvironment : public ::testing::Test {
  protected:
    void TearDown() override {
        tqrf_exit();
        unsetenv("TQRF_REPLY");
        unsetenv("TQRF_TRACE");
        unsetenv("TQRF_TRACE_KEYS");
        if (!trace_path_.empty()) std::remove(trace_path_.c_str());
        if (sim_) sim_->stop();
    }
    const char* start_sim(tqrf_sim::SimulatorOptions options = {}) {
        sim_ = std::make_unique<tqrf_sim::Simulator>(options);
        sim_->start();
        return sim_->slave_path().c_str();
    }
    std::string make_trace_path() {
        char name[] = "/tmp/tqrf-trace-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        std::remove(name);  // the library creates it
        trace_path_ = name;
        return trace_path_;
    }
    std::unique_ptr<tqrf_sim::Simulator> sim_;
    std::string trace_path_;
};

TEST_F(LegacyEnvironment, TqrfTraceWritesAPrivateTraceFileThatHidesKeys) {
    // The key bytes of a load-key frame and its XOR byte (which would give the key away) are
    // hidden unless TQRF_TRACE_KEYS is exactly "1".
    struct Case {
        const char* keys;  // TQRF_TRACE_KEYS, null: unset
        const char* load_key_frame;
    };
    const Case cases[] = {
        {nullptr, "frame 00 0A BB 61 60 01 ** ** ** ** ** ** **"},
        {"0", "frame 00 0A BB 61 60 01 ** ** ** ** ** ** **"},
        {"yes", "frame 00 0A BB 61 60 01 ** ** ** ** ** ** **"},
        {"1", "frame 00 0A BB 61 60 01 FF FF FF FF FF FF B1"},
    };
    const char* device = start_sim();
    for (const Case& c : cases) {
        const std::string path = make_trace_path();
        setenv("TQRF_TRACE", path.c_str(), 1);
        if (c.keys != nullptr) {
            setenv("TQRF_TRACE_KEYS", c.keys, 1);
        } else {
            unsetenv("TQRF_TRACE_KEYS");
        }
        ASSERT_EQ(tqrf_init_device(device), 0);
        std::uint8_t type[2];
        ASSERT_EQ(tqrf_request(0, type), 0);
        ASSERT_EQ(tqrf_loadkey(0, 1, kKeyFF), 0);
        ASSERT_EQ(tqrf_exit(), 0);

        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);  // it may show keys
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            // "SECONDS.MICROS EVENT ...": drop the time.
            const auto space = line.find(' ');
            ASSERT_NE(space, std::string::npos) << line;
            EXPECT_NE(line.find('.'), std::string::npos) << line;
            lines.push_back(line.substr(space + 1));
        }
        const std::vector<std::string> expected = {
            "address 58",
            "frame 00 04 BB 41 26 00 D8",
            "reply 00 03 04 00 00 07",
            "result 0 done",
            "address 58",
            c.load_key_frame,
            "reply 00 01 00 01",
            "result 0 done",
        };
        EXPECT_EQ(lines, expected) << (c.keys != nullptr ? c.keys : "unset");
        std::remove(path.c_str());
    }
}

TEST_F(LegacyEnvironment, TqrfReplyCompleteLetsALegacySessionWaitForALateReader) {
    // Late enough that a fixed pause which a busy machine stretches still misses the reply.
    tqrf_sim::SimulatorOptions late;
    late.latency = 120ms;
    const std::string path = start_sim(late);
    ASSERT_EQ(tqrf_init_device(path.c_str()), 0);
    EXPECT_EQ(tqrf_Link_PCandRWD(), ERR_REPLY_FRAME);  // the fixed pause misses it
    ASSERT_EQ(tqrf_exit(), 0);
    ASSERT_TRUE(sim_->wait_until_idle(2s));

    setenv("TQRF_REPLY", "complete:200", 1);  // slack enough for a loaded machine
    ASSERT_EQ(tqrf_init_device(path.c_str()), 0);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(tqrf_Link_PCandRWD(), 0) << i;
    std::uint8_t type[2];
    EXPECT_EQ(tqrf_request(1, type), 0);
}

TEST_F(LegacyEnvironment, TheDefaultReaderSerialisesCallsFromSeveralThreads) {
    ASSERT_EQ(tqrf_init_device(start_sim()), 0);
    std::atomic<int> wrong{0};
    auto ids = [&] {
        for (int i = 0; i < 30; ++i) {
            std::uint32_t id = 0;
            if (tqrf_Read_RWD_ID(&id) != 0 || id != tqrf_sim::kDefaultIdentity) ++wrong;
        }
    };
    auto versions = [&] {
        for (int i = 0; i < 30; ++i) {
            std::uint8_t version[101] = {};
            if (tqrf_ReadHardwareVersionNumber(version) != 0 ||
                std::strcmp(reinterpret_cast<char*>(version), tqrf_sim::kHardwareVersionText) !=
                    0) {
                ++wrong;
            }
        }
    };
    std::thread a(ids), b(versions);
    a.join();
    b.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sim_->journal().size(), 60u);
}

}  // namespace
