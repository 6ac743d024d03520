// Reply timing on the virtual clock: complete mode returns when the announced frame is
// complete, the slack option moves the deadline, a failed exchange lets a late reply land and
// drops it before the next request, and TQRF_REPLY switches the legacy exports.
#include <cstdlib>
#include <functional>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

constexpr const char* kPath = "/dev/timing";

class Timing : public ::testing::Test {
  protected:
    void SetUp() override {
        tqrf_exit();
        recorder().reset();
        forget_recorders();
        rec();
        ASSERT_EQ(tqrf_reader_open(kPath, &r_), 0);
        rec().clear_log();
    }
    void TearDown() override {
        tqrf_reader_close(r_);
        forget_recorders();
    }
    Recorder& rec() { return recorder(kPath); }

    // Runs `call` and gives its result and the virtual time it took, in microseconds.
    std::pair<int, std::uint64_t> timed(const std::function<int()>& call) {
        const std::uint64_t start = rec().now_us;
        const int result = call();
        return {result, rec().now_us - start};
    }
    int read4(std::uint8_t* block) { return tqrf_reader_read(r_, 4, block); }
    // A fresh reader on a quiet line, as after open: nothing left over from an earlier case.
    void reopen() {
        tqrf_reader_close(r_);
        rec().in_flight.clear();
        rec().input.clear();
        rec().scripted.clear();
        ASSERT_EQ(tqrf_reader_open(kPath, &r_), 0);
        rec().clear_log();
    }
    // Sum of the counts of the reads the library made.
    std::uint32_t bytes_read() const {
        std::uint32_t n = 0;
        for (const std::string& e : recorder(kPath).events) {
            if (e.starts_with("read ")) n += static_cast<std::uint32_t>(std::stoul(e.substr(5)));
        }
        return n;
    }

    tqrf_reader* r_ = nullptr;
};

const Bytes kBlockReply = reply_frame(Bytes(17, 0x00));  // 16 data bytes, status 0

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST_F(Timing, CompleteModeReturnsWhenTheAnnouncedFrameIsComplete) {
    struct Case {
        const char* name;
        std::vector<Recorder::Piece> pieces;
        int result;
        std::uint64_t elapsed_us;  // from the start of the call: 1 ms of address pause first
    };
    const Bytes& f = kBlockReply;
    const Case cases[] = {
        {"one piece at 5 ms", {{f, 5}}, 0, 6000},
        {"one piece at 40 ms", {{f, 40}}, 0, 41000},
        {"LEN first, the rest later", {{slice(f, 0, 2), 3}, {slice(f, 2, 20), 9}}, 0, 10000},
        {"one byte, then the rest", {{slice(f, 0, 1), 2}, {slice(f, 1, 20), 4}}, 0, 5000},
        {"three pieces",
         {{slice(f, 0, 5), 2}, {slice(f, 5, 12), 6}, {slice(f, 12, 20), 30}},
         0,
         31000},
        {"too late", {{f, 41}}, ERR_REPLY_FRAME, 41000},
        {"announced longer than what comes", {{slice(f, 0, 19), 5}}, ERR_REPLY_FRAME, 41000},
        {"nothing", {}, ERR_REPLY_FRAME, 41000},
        {"LEN 0xFFFF: no frame is that long", {{{0xFF, 0xFF, 1, 2, 3}, 5}}, ERR_REPLY_FRAME, 6000},
        {"LEN 0: a frame needs a status byte", {{{0x00, 0x00, 0x00}, 5}}, ERR_REPLY_FRAME, 6000},
        {"complete but bad XOR",
         {{{0x00, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 0}, 5}},
         ERR_REPLY_CHECKSUM,
         6000},
    };
    for (const Case& c : cases) {
        reopen();
        if (!c.pieces.empty()) rec().script_pieces(c.pieces);
        std::uint8_t block[16];
        const auto [result, elapsed] = timed([&] { return read4(block); });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(elapsed, c.elapsed_us) << c.name;
        EXPECT_EQ(std::count(rec().events.begin(), rec().events.end(), "pause 40"), 0) << c.name;
    }
}

TEST_F(Timing, BytesAfterACompleteFrameAreNeverTakenIntoIt) {
    Bytes with_tail = kBlockReply;
    with_tail.push_back(0x00);
    with_tail.push_back(0x03);  // the start of something else
    rec().script_reply(with_tail, 5);
    std::uint8_t block[16];
    EXPECT_EQ(read4(block), 0);
    EXPECT_EQ(bytes_read(), 20u);
    EXPECT_EQ(rec().input, (Bytes{0x00, 0x03}));  // still in the queue for the purge
}

TEST_F(Timing, TheBeepDeadlineIsTheBeepTimePlus40ms) {
    struct Case {
        int mode, duration;
        std::uint32_t reply_at;
        int result;
        std::uint64_t elapsed_us;
    };
    const Case cases[] = {
        {0, 10, 130, 0, 131000},
        {0, 10, 140, 0, 141000},
        {0, 10, 141, ERR_REPLY_FRAME, 141000},
        {0, 0, 30, 0, 31000},
        {0, 240, 2400, 0, 2401000},
        {1, 100, 41, ERR_REPLY_FRAME, 41000},  // only mode 0 waits for the beep
    };
    for (const Case& c : cases) {
        reopen();
        rec().script_reply(reply_frame({0x00}), c.reply_at);
        const auto [result, elapsed] =
            timed([&] { return tqrf_reader_beep(r_, c.mode, c.duration); });
        EXPECT_EQ(result, c.result) << c.mode << " " << c.duration << " " << c.reply_at;
        EXPECT_EQ(elapsed, c.elapsed_us) << c.mode << " " << c.duration << " " << c.reply_at;
    }
}

TEST_F(Timing, TheSlackOptionMovesTheDeadline) {
    struct Case {
        int slack;
        std::uint32_t reply_at;
        int result;
        std::uint64_t elapsed_us;
    };
    const Case cases[] = {
        {0, 50, ERR_REPLY_FRAME, 41000},  {20, 50, 0, 51000},       {20, 60, 0, 61000},
        {20, 61, ERR_REPLY_FRAME, 61000}, {1000, 1000, 0, 1001000},
    };
    for (const Case& c : cases) {
        reopen();
        ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_SLACK_MS, c.slack), 0);
        rec().script_reply(reply_frame({0x00}), c.reply_at);
        const auto [result, elapsed] = timed([&] { return tqrf_reader_halt(r_); });
        EXPECT_EQ(result, c.result) << c.slack << " " << c.reply_at;
        EXPECT_EQ(elapsed, c.elapsed_us) << c.slack << " " << c.reply_at;
    }
}

TEST_F(Timing, FixedModeOnAHandlePausesAndReadsOnce) {
    ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_FIXED), 0);
    ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_SLACK_MS, 500), 0);  // no effect
    rec().script_reply(reply_frame({0x00}), 5);
    const auto [result, elapsed] = timed([&] { return tqrf_reader_halt(r_); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(elapsed, 41000u);
    EXPECT_EQ(rec().events, exchange_events("00 04 BB 71 00 00 CE", 40, 4));
}

// A reader that answers 45 ms after each request, past the 40 ms the library gives it.
TEST_F(Timing, ALateReplyIsDroppedBeforeTheNextRequest) {
    for (int mode : {TQRF_REPLY_FIXED, TQRF_REPLY_COMPLETE}) {
        reopen();
        ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_MODE, mode), 0);
        // The read's reply comes late; the halt after it is answered at once.
        rec().script_reply(kBlockReply, 45);
        rec().script_reply(reply_frame({0x00}), 2);
        std::uint8_t block[16];
        EXPECT_EQ(read4(block), ERR_REPLY_FRAME) << mode;
        rec().clear_log();
        const auto [result, elapsed] = timed([&] { return tqrf_reader_halt(r_); });
        // Without the settle, the halt would take the read's reply (status 0 with 16 data
        // bytes: refused as -87 at best). With it: the late reply lands 45 ms after the read's
        // frame, i.e. 5 ms into the settle, and is dropped; 20 quiet ms later the halt goes
        // out and gets its own answer.
        EXPECT_EQ(result, 0) << mode;
        EXPECT_EQ(elapsed, (5 + 20 + 1 + 2) * 1000u + (mode == TQRF_REPLY_FIXED ? 38000u : 0u))
            << mode;
        EXPECT_EQ(rec().events.front().rfind("wait", 0), 0u) << mode;  // the settle came first
    }
}

TEST_F(Timing, TheSettleIsBoundedByTheCommandsDeadline) {
    // No reply, then noise that never stops: the settle gives up at the deadline and the
    // request goes out.
    std::uint8_t block[16];
    EXPECT_EQ(read4(block), ERR_REPLY_FRAME);
    for (std::uint32_t t = 0; t < 200; t += 5) rec().arrive_later({0x55}, t);
    const auto [result, elapsed] = timed([&] { return tqrf_reader_halt(r_); });
    EXPECT_EQ(result, ERR_REPLY_FRAME);  // the noise corrupts its reply window too
    EXPECT_LE(elapsed, 2 * 41000u);      // settle at most 40 ms, then the exchange
    EXPECT_GE(elapsed, 40000u);
}

TEST_F(Timing, AReplyOfTheWrongLengthAlsoSettlesTheLine) {
    // A status-0 reply without the 16 data bytes: perhaps another request's reply; this read's
    // own may still come.
    rec().script_reply(reply_frame({0x00}), 5);
    std::uint8_t block[16];
    EXPECT_EQ(read4(block), ERR_REPLY_LENGTH);
    rec().arrive_later(kBlockReply, 10);  // the read's own reply, late
    rec().script_reply(reply_frame({0x00}), 2);
    rec().clear_log();
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    EXPECT_EQ(rec().events.front().rfind("wait", 0), 0u);
}

TEST_F(Timing, SuccessDoesNotSettle) {
    rec().script_reply(reply_frame({0x00}), 5);
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    rec().clear_log();
    rec().script_reply(reply_frame({0x00}), 5);
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    EXPECT_EQ(rec().events.front(), "purge in");
}

// ---- The legacy exports --------------------------------------------------------------------

class LegacyTiming : public PortClosed {
  protected:
    void TearDown() override {
        unsetenv("TQRF_REPLY");
        PortClosed::TearDown();
    }
    std::uint64_t halt_time(std::uint32_t reply_at, int* result) {
        rec().script_reply(reply_frame({0x00}), reply_at);
        const std::uint64_t start = rec().now_us;
        *result = tqrf_halt();
        return rec().now_us - start;
    }
};

TEST_F(LegacyTiming, TheEnvironmentSwitchesTheDefaultReaderAtOpen) {
    struct Case {
        const char* setting;  // null: not set
        std::uint32_t reply_at;
        int result;
        std::uint64_t elapsed_us;
    };
    const Case cases[] = {
        {nullptr, 5, 0, 41000},
        {"fixed", 5, 0, 41000},
        {"complete", 5, 0, 6000},
        {"complete", 50, ERR_REPLY_FRAME, 41000},
        {"complete:20", 50, 0, 51000},
        {"complete:1001", 5, 0, 41000},  // not a setting: the legacy pause stays
        {"complete:", 5, 0, 41000},
        {"Complete", 5, 0, 41000},
        {"complete:x", 5, 0, 41000},
    };
    for (const Case& c : cases) {
        if (c.setting != nullptr) {
            setenv("TQRF_REPLY", c.setting, 1);
        } else {
            unsetenv("TQRF_REPLY");
        }
        ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
        unsetenv("TQRF_REPLY");  // read at open only
        int result = 0;
        rec().in_flight.clear();
        const std::uint64_t elapsed = halt_time(c.reply_at, &result);
        EXPECT_EQ(result, c.result) << (c.setting ? c.setting : "unset") << " " << c.reply_at;
        EXPECT_EQ(elapsed, c.elapsed_us) << (c.setting ? c.setting : "unset") << " " << c.reply_at;
        tqrf_exit();
    }
}

TEST_F(LegacyTiming, FixedLegacyExportsTakeALateReplyAsTheyAlwaysDid) {
    // No settle in the legacy fixed mode: byte for byte as before. The late reply of the first
    // request arrives during the second one's pause and is taken for its reply.
    ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
    rec().script_reply(reply_frame({0x04, 0x00, 0x00}), 45);
    std::uint8_t type[2];
    EXPECT_EQ(tqrf_request(0, type), ERR_REPLY_FRAME);
    EXPECT_EQ(tqrf_halt(), 0);
}

}  // namespace
}  // namespace tqrf::testing
