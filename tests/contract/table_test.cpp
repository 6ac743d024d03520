// One execution path: for every command of the table, the legacy export on the default reader
// and the handle export put the same bytes on the wire, with the same parities and pauses, and
// both take a full reply. A new row fails here until scripts/gen-lists.py has written its pair of
// calls (table_exports.g.h).
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "link/commands.h"
#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

constexpr const char* kPath = "/dev/handle-table";

const std::uint8_t kSerial[4] = {0x12, 0x34, 0x56, 0x78};
const std::uint8_t kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const std::uint8_t kSixteen[16] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                   0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
const std::uint8_t kClock[7] = {0x56, 0x34, 0x12, 0x09, 0x12, 0x03, 0x26};

std::uint8_t g_bytes[128];
char g_text[3][40];
std::uint32_t g_word;
std::uint32_t g_length;

struct PairCase {
    const char* legacy;
    const char* handle;
    std::function<int()> legacy_call;
    std::function<int(tqrf_reader*)> handle_call;
};

// The numbers a pair of calls hands over, in range, the same for both exports: number(op, i) is
// the i-th numeric field of the row (a flag, block, sector, address, duration or value).
std::uint32_t number(Op op, std::size_t i) {
    struct Chosen {
        Op op;
        std::uint32_t numbers[2];
    };
    // Rows whose numbers differ from the field's usual value below.
    static const Chosen kChosen[] = {
        {Op::ANTICOLL, {0x93}},
        {Op::LOAD_KEY, {1, 14}},
        {Op::AUTHENTICATE, {0, 15}},
        {Op::WRITE_BLOCK, {62}},
        {Op::READ_VALUE, {61}},
        {Op::INCREMENT, {5, 0x01020304u}},
        {Op::DECREMENT, {6, 0xFFFFFFFFu}},
        {Op::RESTORE, {0}},
        {Op::TRANSFER, {33}},
        {Op::READ_E2, {255}},
    };
    for (const Chosen& c : kChosen) {
        if (c.op == op) return c.numbers[i];
    }
    // The usual number of each numeric field; the other fields carry none (a fixed byte, a zero,
    // the input buffer).
    static const std::pair<Param, std::uint32_t> kUsual[] = {
        {Param::REQUEST_MODE, 1}, {Param::KEY_TYPE, 1},
        {Param::BYTE, 0},  // the beeper's mode 0 waits for the beep
        {Param::BLOCK, 63},       {Param::VALUE_BLOCK, 61},
        {Param::SECTOR, 15},      {Param::E2_ADDRESS, 127},
        {Param::DURATION, 240},   {Param::VALUE, 0x80000001u},
    };
    std::size_t seen = 0;
    for (Param p : row(op).params) {
        for (const auto& [field, usual] : kUsual) {
            if (field == p && seen++ == i) return usual;
        }
    }
    return 0;
}

// Every row's pair of calls, written from the header and the table by scripts/gen-lists.py.
const PairCase kPairs[] = {
#include "tests/contract/table_exports.g.h"
};

class OnePath : public PortOpen {
  protected:
    void SetUp() override {
        PortOpen::SetUp();
        forget_recorders();
        recorder(kPath);
        ASSERT_EQ(tqrf_reader_open(kPath, &handle_), 0);
        ASSERT_EQ(tqrf_reader_set_option(handle_, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_FIXED), 0);
        recorder(kPath).clear_log();
    }
    void TearDown() override {
        if (handle_ != nullptr) tqrf_reader_close(handle_);
        forget_recorders();
        PortOpen::TearDown();
    }
    tqrf_reader* handle_ = nullptr;
};

TEST_F(OnePath, EveryCommandOfTheTableHasItsPairOfCalls) {
    for (const CommandRow& row : COMMANDS) {
        bool found = false;
        for (const PairCase& c : kPairs) {
            found = found || (std::string(c.legacy) == row.legacy_export &&
                              std::string(c.handle) == row.handle_export);
        }
        EXPECT_TRUE(found) << row.legacy_export << " / " << row.handle_export
                           << ": run python3 scripts/gen-lists.py --write";
    }
}

TEST_F(OnePath, LegacyAndHandleExportsSendTheSameRequestAndWaitAlike) {
    for (const PairCase& c : kPairs) {
        SCOPED_TRACE(c.legacy);
        // A status-0 reply with as many data bytes as the handle API accepts at least (seven for
        // a find, which the text form takes too).
        std::size_t data = 0;
        for (const CommandRow& row : COMMANDS) {
            if (std::string(c.handle) == row.handle_export) data = row.reply.min;
        }
        Bytes payload(data, 0x21);
        payload.push_back(0x00);

        rec().clear_log();
        recorder(kPath).clear_log();
        reply(payload);
        recorder(kPath).script_reply(reply_frame(payload));
        EXPECT_EQ(c.legacy_call(), 0);
        EXPECT_EQ(c.handle_call(handle_), 0);

        EXPECT_EQ(rec().wire, recorder(kPath).wire);
        EXPECT_EQ(rec().pauses, recorder(kPath).pauses);
        EXPECT_FALSE(rec().wire.empty());
    }
}

// ---- What a command costs ----------------------------------------------------------------------
//
// The recording double runs the serial layer's own waits (os/line_wait.h) on its virtual clock
// and counts what the POSIX backend spends on them: system calls and wake-ups. The reader
// answers 5 ms after the request, a byte every 0.573 ms as on a 19200-baud line.

struct Cost {
    std::uint32_t calls;
    std::uint32_t wakeups;
};

// The most a command may cost: complete mode waits for the first byte, then sleeps for the
// line time of what is still to come; fixed mode sleeps twice (1 ms, then the reply's pause).
constexpr Cost kCompleteBudget{20, 5};
constexpr Cost kFixedBudget{16, 2};

class Costs : public OnePath {
  protected:
    // A status-0 reply with the data a handle accepts for the command.
    static Bytes payload_for(const PairCase& c) {
        std::size_t data = 0;
        for (const CommandRow& row : COMMANDS) {
            if (std::string(c.handle) == row.handle_export) data = row.reply.min;
        }
        Bytes payload(data, 0x21);
        payload.push_back(0x00);
        return payload;
    }
    Cost run_handle(const PairCase& c, std::int32_t mode) {
        Recorder& r = recorder(kPath);
        EXPECT_EQ(tqrf_reader_set_option(handle_, TQRF_OPTION_REPLY_MODE, mode), 0);
        r.reply_byte_us = 573;
        r.script_reply(reply_frame(payload_for(c)));
        r.clear_log();
        EXPECT_EQ(c.handle_call(handle_), 0);
        return {r.calls, r.wakeups};
    }
};

TEST_F(Costs, EveryCommandStaysWithinItsBudgetOfCallsAndWakeUps) {
    for (const PairCase& c : kPairs) {
        SCOPED_TRACE(c.handle);
        const Cost complete = run_handle(c, TQRF_REPLY_COMPLETE);
        EXPECT_LE(complete.calls, kCompleteBudget.calls);
        EXPECT_LE(complete.wakeups, kCompleteBudget.wakeups);
        const Cost fixed = run_handle(c, TQRF_REPLY_FIXED);
        EXPECT_LE(fixed.calls, kFixedBudget.calls);
        EXPECT_EQ(fixed.wakeups, kFixedBudget.wakeups);

        // The legacy export: the same exchange as ever, at the fixed mode's cost.
        rec().reply_byte_us = 573;
        reply(payload_for(c));
        rec().clear_log();
        EXPECT_EQ(c.legacy_call(), 0);
        EXPECT_LE(rec().calls, kFixedBudget.calls);
        EXPECT_EQ(rec().wakeups, kFixedBudget.wakeups);
        std::printf("  %-32s complete %2u calls %u wake-ups | fixed %2u calls %u wake-ups\n",
                    c.handle, complete.calls, complete.wakeups, fixed.calls, fixed.wakeups);
    }
}

// A UART that takes its real time to send: the parity changes only after the last bit of what
// went out before it, and the drain of a frame sleeps for its line time instead of polling.
TEST_F(Costs, TheParityChangesAfterTheLastBitOnAUartThatTakesItsTime) {
    struct Case {
        std::uint32_t rate;  // how fast the modelled transmitter sends
        std::int32_t mode;
    };
    // At 2400 baud an address byte takes 4.6 ms, longer than the 1 ms pause behind it: only the
    // drain keeps the frame's parity off it.
    const Case cases[] = {{19200, TQRF_REPLY_COMPLETE},
                          {19200, TQRF_REPLY_FIXED},
                          {2400, TQRF_REPLY_COMPLETE},
                          {2400, TQRF_REPLY_FIXED}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.rate) +
                     (k.mode == TQRF_REPLY_FIXED ? " fixed" : " complete"));
        Recorder& r = recorder(kPath);
        ASSERT_EQ(tqrf_reader_set_option(handle_, TQRF_OPTION_REPLY_MODE, k.mode), 0);
        ASSERT_EQ(tqrf_reader_set_option(handle_, TQRF_OPTION_REPLY_SLACK_MS, 100), 0);
        r.uart_rate = k.rate;
        r.reply_byte_us = 0;
        r.clear_log();
        // Two requests, the second with the longest frame of the table (20 payload bytes).
        r.script_reply(reply_frame(Bytes(17, 0x00)), 20);
        r.script_reply(reply_frame({0x00}), 20);
        EXPECT_EQ(tqrf_reader_read(handle_, 4, g_bytes), 0);
        EXPECT_EQ(tqrf_reader_e2_write(handle_, 0x10, kSixteen), 0);
        ASSERT_EQ(r.wire.size(), 1u + 7u + 1u + 23u);
        ASSERT_EQ(r.modes.size(), r.mode_at_us.size());

        // Every mode change comes after the last bit of every byte written before it.
        std::size_t written = 0;
        std::size_t change = 0;
        for (const std::string& e : r.events) {
            if (e.starts_with("write ")) written += (e.size() - 5) / 3;
            if (!e.starts_with("mode ")) continue;
            if (written > 0) {
                EXPECT_GE(r.mode_at_us[change], r.wire_done_us[written - 1]) << e;
            }
            ++change;
        }
        EXPECT_EQ(change, 4u);
        // The address byte went out with mark parity, the frames with space parity.
        EXPECT_EQ(r.wire[0], (WireByte{0x58, 'M'}));
        EXPECT_EQ(r.wire[8], (WireByte{0x58, 'M'}));
        // One sleep for each write's line time; a 23-byte frame too.
        ASSERT_EQ(r.drain_wakeups.size(), 4u);
        for (std::uint32_t w : r.drain_wakeups) EXPECT_LE(w, 3u);
        EXPECT_EQ(r.drain_wakeups[3], 1u);
        r.uart_rate = 0;
    }
}

TEST_F(OnePath, EveryRefusalOfAHandleCallIsToldInItsCommandsWords) {
    for (const CommandRow& row : COMMANDS) {
        SCOPED_TRACE(row.handle_export);
        const PairCase* pair = nullptr;
        for (const PairCase& c : kPairs) {
            if (std::string(c.handle) == row.handle_export) pair = &c;
        }
        ASSERT_NE(pair, nullptr);
        const std::uint8_t status = static_cast<std::uint8_t>(0x11 + row.code % 0x20);
        recorder(kPath).script_reply(reply_frame({status}));
        EXPECT_EQ(pair->handle_call(handle_), status);
        char text[TQRF_REFUSAL_TEXT_MAX];
        const int n = tqrf_reader_last_refusal(handle_, text, sizeof text);
        char expected[TQRF_REFUSAL_TEXT_MAX];
        ASSERT_EQ(tqrf_refusal_text(row.code, status, expected, sizeof expected), n);
        EXPECT_STREQ(text, expected);

        // A command the reader carries out leaves no refusal behind.
        Bytes done(row.reply.min, 0x21);
        done.push_back(0x00);
        recorder(kPath).script_reply(reply_frame(done));
        EXPECT_EQ(pair->handle_call(handle_), 0);
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(tqrf_reader_last_refusal(handle_, text, sizeof text), 0);
        EXPECT_STREQ(text, "");
    }
}

}  // namespace
}  // namespace tqrf::testing
