// Repeats after a lost reply on a handle, on the recording double: which requests go out again
// (exact frames), after what (a purge, a re-selection, a read-back), what never goes out twice,
// the trace and the counters; and the legacy exports, which repeat nothing.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

constexpr const char* kPath = "/dev/retry-a";
const Bytes kSerial = {0x12, 0x34, 0x56, 0x78};

struct Event {
    std::int32_t event;
    std::int32_t result;
    Bytes bytes;
};

void TQRF_CALL collect(void* user, int32_t event, int32_t result, const uint8_t* bytes,
                       uint32_t count, uint64_t) {
    static_cast<std::vector<Event>*>(user)->push_back({event, result, Bytes(bytes, bytes + count)});
}

Bytes request(Bytes payload) {
    return reply_frame(payload);  // a request frame has the same layout: LEN, payload, XOR
}

const Bytes kReadBlock4 = request({0xBB, 0x45, 0x04, 0x00});
const Bytes kAuthA1 = request({0xBB, 0x44, 0x60, 0x01});
const Bytes kWakeAll = request({0xBB, 0x41, 0x52, 0x00});
const Bytes kSelect = request({0xBB, 0x43, 0x12, 0x34, 0x56, 0x78, 0x00});
const Bytes kReadValue5 = request({0xBB, 0x48, 0x05, 0x00});
const Bytes kDecrement5By1 = request({0xBB, 0x4A, 0x05, 0x01, 0x00, 0x00, 0x00});
const Bytes kTransfer5 = request({0xBB, 0x4C, 0x05, 0x00});

Bytes counting(std::uint8_t first) {
    Bytes b(16);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

Bytes with_status(Bytes data, std::uint8_t status = 0x00) {
    data.push_back(status);
    return data;
}

Bytes le(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

class Retries : public OwnReader {
  protected:
    Retries() : OwnReader(kPath) {}
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(OwnReader::SetUp());
        ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_ATTEMPTS, 3), 0);
        ASSERT_EQ(tqrf_reader_set_trace(r_, collect, &events_), 0);
    }

  public:
    void reply(const Bytes& payload) { rec().script_reply(reply_frame(payload), 5); }
    void lose() { rec().script_reply({}, 0); }  // the request goes out, nothing comes back
    void garble(const Bytes& payload) {
        Bytes f = reply_frame(payload);
        f.back() ^= 0xFF;
        rec().script_reply(f, 5);
    }

  protected:
    // The reader selected kSerial and authenticated sector 1 with key A.
    void selected_and_logged_in() {
        std::uint8_t size = 0;
        reply({0x08, 0x00});
        ASSERT_EQ(tqrf_reader_select(r_, kSerial.data(), &size), 0);
        reply({0x00});
        ASSERT_EQ(tqrf_reader_authenticate(r_, TQRF_KEY_A, 1), 0);
        events_.clear();
        rec().clear_log();
    }
    std::vector<Bytes> frames() const {
        std::vector<Bytes> out;
        for (const Event& e : events_) {
            if (e.event == TQRF_TRACE_FRAME) out.push_back(e.bytes);
        }
        return out;
    }
    std::vector<Event> retries() const {
        std::vector<Event> out;
        for (const Event& e : events_) {
            if (e.event == TQRF_TRACE_RETRY) out.push_back(e);
        }
        return out;
    }
    tqrf_reader_stats stats() {
        tqrf_reader_stats s{};
        s.size = sizeof s;
        EXPECT_EQ(tqrf_reader_get_stats(r_, &s), 0);
        return s;
    }

    std::vector<Event> events_;
};

// ---- Reads and selections: sent again after the line is purged --------------------------------

TEST_F(Retries, ALostReplyIsFollowedByTheSameRequestAfterThePurge) {
    const Bytes block = counting(0x40);
    const std::vector<std::pair<const char*, std::function<void(Retries&)>>> failures = {
        {"lost", [](Retries& t) { t.lose(); }},
        {"garbled", [&](Retries& t) { t.garble(with_status(block)); }},
        {"wrong length",
         [](Retries& t) {
             t.reply({0x01, 0x02, 0x00});
         }},
    };
    const int causes[] = {ERR_REPLY_FRAME, ERR_REPLY_CHECKSUM, ERR_REPLY_LENGTH};
    for (std::size_t i = 0; i < failures.size(); ++i) {
        SCOPED_TRACE(failures[i].first);
        events_.clear();
        rec().clear_log();
        failures[i].second(*this);
        reply(with_status(block));
        std::uint8_t out[16] = {};
        EXPECT_EQ(tqrf_reader_read(r_, 4, out), 0);
        EXPECT_TRUE(std::equal(block.begin(), block.end(), out));
        EXPECT_EQ(frames(), (std::vector<Bytes>{kReadBlock4, kReadBlock4}));
        ASSERT_EQ(retries().size(), 1u);
        EXPECT_EQ(retries()[0].result, causes[i]);
        EXPECT_EQ(retries()[0].bytes, (Bytes{0x45, 2, TQRF_RETRY_REPEATED}));
        // Between the two requests the line settles, then both queues are purged.
        const auto& ev = rec().events;
        const auto second =
            std::find(std::find(ev.begin(), ev.end(), "write 58") + 1, ev.end(), "write 58");
        ASSERT_NE(second, ev.end());
        EXPECT_NE(std::find(ev.begin(), second, "purge in"), second);
    }
    const tqrf_reader_stats s = stats();
    EXPECT_EQ(s.requests, 3u);
    EXPECT_EQ(s.retries, 3u);
    EXPECT_EQ(s.recoveries, 3u);
    EXPECT_EQ(s.failures, 0u);
}

TEST_F(Retries, TheAttemptsBoundTheRepeatsAndOneAttemptRepeatsNothing) {
    for (int attempts : {1, 2, 3}) {
        SCOPED_TRACE(attempts);
        ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_ATTEMPTS, attempts), 0);
        events_.clear();
        for (int i = 0; i < 5; ++i) lose();
        std::uint8_t out[16];
        EXPECT_EQ(tqrf_reader_read(r_, 4, out), ERR_REPLY_FRAME);
        EXPECT_EQ(frames().size(), static_cast<std::size_t>(attempts));
        rec().scripted.clear();
    }
    std::int32_t v = 0;
    EXPECT_EQ(tqrf_reader_get_option(r_, TQRF_OPTION_ATTEMPTS, &v), 0);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_ATTEMPTS, 0), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_ATTEMPTS, 11), ERR_BAD_ARGUMENT);
    EXPECT_EQ(stats().failures, 3u);

    // A handle opens with one attempt: what version 1.2 did.
    tqrf_reader* fresh = nullptr;
    recorder("/dev/retry-b");
    ASSERT_EQ(tqrf_reader_open("/dev/retry-b", &fresh), 0);
    EXPECT_EQ(tqrf_reader_get_option(fresh, TQRF_OPTION_ATTEMPTS, &v), 0);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(tqrf_reader_close(fresh), 0);
}

TEST_F(Retries, AReaderStatusIsNeverRepeated) {
    reply({0x13});
    std::uint8_t out[16];
    EXPECT_EQ(tqrf_reader_read(r_, 4, out), 0x13);
    reply({0x12});
    EXPECT_EQ(tqrf_reader_authenticate(r_, TQRF_KEY_A, 1), 0x12);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kReadBlock4, kAuthA1}));
    EXPECT_TRUE(retries().empty());
    EXPECT_EQ(stats().retries, 0u);
}

TEST_F(Retries, CommandsThatMayHaveActedAreNeverRepeated) {
    struct Case {
        const char* name;
        std::function<int(tqrf_reader*)> call;
    };
    const std::vector<Case> cases = {
        {"halt", [](tqrf_reader* r) { return tqrf_reader_halt(r); }},
        {"reset", [](tqrf_reader* r) { return tqrf_reader_reset(r); }},
        {"beep", [](tqrf_reader* r) { return tqrf_reader_beep(r, 1, 10); }},
        {"increment", [](tqrf_reader* r) { return tqrf_reader_increment(r, 5, 1); }},
        {"decrement", [](tqrf_reader* r) { return tqrf_reader_decrement(r, 5, 1); }},
        {"restore", [](tqrf_reader* r) { return tqrf_reader_restore(r, 5); }},
        {"transfer", [](tqrf_reader* r) { return tqrf_reader_transfer(r, 5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events_.clear();
        lose();
        reply({0x00});  // would answer a repeat
        EXPECT_EQ(c.call(r_), ERR_REPLY_FRAME);
        EXPECT_EQ(frames().size(), 1u);
        EXPECT_TRUE(retries().empty());
        rec().scripted.clear();
    }
}

// ---- Authentication: after selecting the card again -------------------------------------------

TEST_F(Retries, AnAuthenticationIsRepeatedAfterTheCardIsSelectedAgain) {
    selected_and_logged_in();
    lose();
    reply({0x04, 0x00, 0x00});  // the wake-up request
    reply({0x08, 0x00});        // the select of the serial number selected before
    reply({0x00});              // the authentication
    EXPECT_EQ(tqrf_reader_authenticate(r_, TQRF_KEY_A, 1), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kAuthA1, kWakeAll, kSelect, kAuthA1}));
    ASSERT_EQ(retries().size(), 1u);
    EXPECT_EQ(retries()[0].bytes, (Bytes{0x44, 2, TQRF_RETRY_RESELECTED}));

    // The serial number a find found is the one selected again.
    events_.clear();
    reply({0x04, 0x00, 0x08, 0xA1, 0xB2, 0xC3, 0xD4, 0x00});
    std::uint8_t type[2], serial[4], size;
    ASSERT_EQ(tqrf_reader_find(r_, 0, type, serial, &size), 0);
    lose();
    reply({0x04, 0x00, 0x00});
    reply({0x08, 0x00});
    reply({0x00});
    EXPECT_EQ(tqrf_reader_authenticate(r_, TQRF_KEY_B, 2), 0);
    const auto f = frames();
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[3], request({0xBB, 0x43, 0xA1, 0xB2, 0xC3, 0xD4, 0x00}));
    EXPECT_EQ(f[4], request({0xBB, 0x44, 0x61, 0x02}));
}

TEST_F(Retries, AnAuthenticationIsNotRepeatedWithoutACardToSelect) {
    lose();
    reply({0x00});
    EXPECT_EQ(tqrf_reader_authenticate(r_, TQRF_KEY_A, 1), ERR_REPLY_FRAME);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kAuthA1}));
}

// ---- Writes: read back first ------------------------------------------------------------------

TEST_F(Retries, ABlockWriteWhoseReplyWasLostIsReadBackAndWrittenOnlyWhenNotThere) {
    const Bytes data = counting(0x20);
    Bytes write4 = {0xBB, 0x46, 0x04};
    write4.insert(write4.end(), data.begin(), data.end());
    write4 = request(write4);

    // The card took it: read back, not written again.
    lose();
    reply(with_status(data));
    EXPECT_EQ(tqrf_reader_write(r_, 4, data.data()), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{write4, kReadBlock4}));
    ASSERT_EQ(retries().size(), 1u);
    EXPECT_EQ(retries()[0].bytes, (Bytes{0x46, 1, TQRF_RETRY_SETTLED}));

    // It did not: written again, once.
    events_.clear();
    lose();
    reply(with_status(counting(0x00)));
    reply({0x00});
    EXPECT_EQ(tqrf_reader_write(r_, 4, data.data()), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{write4, kReadBlock4, write4}));
    EXPECT_EQ(retries()[0].bytes, (Bytes{0x46, 2, TQRF_RETRY_NOT_THERE}));

    // Never there: not applied after the last attempt, and said so.
    events_.clear();
    for (int i = 0; i < 3; ++i) {
        lose();
        reply(with_status(counting(0x00)));
    }
    EXPECT_EQ(tqrf_reader_write(r_, 4, data.data()), TQRF_ERR_NOT_APPLIED);
    EXPECT_EQ(frames().size(), 6u);

    // A read-back that fails leaves the lost reply's code: not known whether it was written.
    events_.clear();
    lose();
    reply({0x13});
    EXPECT_EQ(tqrf_reader_write(r_, 4, data.data()), ERR_REPLY_FRAME);
    EXPECT_EQ(frames(), (std::vector<Bytes>{write4, kReadBlock4}));

    // A trailer does not read back its keys: not repeated.
    events_.clear();
    lose();
    EXPECT_EQ(tqrf_reader_write(r_, 7, data.data()), ERR_REPLY_FRAME);
    EXPECT_EQ(frames().size(), 1u);

    const tqrf_reader_stats s = stats();
    EXPECT_EQ(s.requests, 5u);
    EXPECT_EQ(s.recoveries, 2u);
    EXPECT_EQ(s.failures, 3u);
}

TEST_F(Retries, E2promWritesAndClockSettingsAreReadBack) {
    const Bytes data = counting(0x80);
    lose();
    reply(with_status(data));  // 16 bytes from 0x20: there
    EXPECT_EQ(tqrf_reader_e2_write(r_, 0x20, data.data()), 0);
    auto f = frames();
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[1], request({0xBB, 0x75, 0x20, 0x00}));

    // The clock: the seconds may have run on by the time of the read-back, nothing else.
    const Bytes set = {0x58, 0x59, 0x23, 0x31, 0x12, 0x04, 0x26};
    struct Case {
        const char* name;
        Bytes read;
        std::size_t frames;  // set, read, and a second set when not there
    };
    const std::vector<Case> cases = {
        {"as set", set, 2},
        {"a second later", {0x59, 0x59, 0x23, 0x31, 0x12, 0x04, 0x26}, 2},
        {"seconds behind", {0x57, 0x59, 0x23, 0x31, 0x12, 0x04, 0x26}, 3},
        {"far ahead", {0x30, 0x59, 0x23, 0x31, 0x12, 0x04, 0x26}, 3},
        {"another day", {0x58, 0x59, 0x23, 0x30, 0x12, 0x04, 0x26}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events_.clear();
        lose();
        reply(with_status(c.read));
        reply({0x00});
        EXPECT_EQ(tqrf_reader_clock_set(r_, set.data()), 0);
        f = frames();
        ASSERT_EQ(f.size(), c.frames);
        EXPECT_EQ(f[1], request({0xBB, 0x6B, 0x00, 0x00}));
        rec().scripted.clear();
    }
}

// ---- Value changes: the pair settled by reading the value back --------------------------------

TEST_F(Retries, ALostTransferIsSettledByReadingTheValueBack) {
    selected_and_logged_in();
    std::uint32_t before = 0xEEEEEEEE, after = 0xEEEEEEEE;

    // Applied: the value read back is the one expected.
    reply(with_status(le(100)));
    reply({0x00});
    lose();
    reply(with_status(le(99)));
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, -1, &before, &after), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kReadValue5, kDecrement5By1, kTransfer5, kReadValue5}));
    EXPECT_EQ(before, 100u);
    EXPECT_EQ(after, 99u);
    ASSERT_EQ(retries().size(), 1u);
    EXPECT_EQ(retries()[0].bytes, (Bytes{0x4C, 1, TQRF_RETRY_SETTLED}));

    // Not applied: the value before; made again from the start, after a fresh login.
    events_.clear();
    reply(with_status(le(99)));
    reply({0x00});
    lose();
    reply(with_status(le(99)));  // the read-back: unchanged
    reply({0x04, 0x00, 0x00});   // wake-up
    reply({0x08, 0x00});         // select
    reply({0x00});               // authenticate
    reply(with_status(le(99)));
    reply({0x00});
    reply({0x00});
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, -1, &before, &after), 0);
    EXPECT_EQ(frames(),
              (std::vector<Bytes>{kReadValue5, kDecrement5By1, kTransfer5, kReadValue5, kWakeAll,
                                  kSelect, kAuthA1, kReadValue5, kDecrement5By1, kTransfer5}));
    EXPECT_EQ(after, 98u);
    EXPECT_EQ(retries()[0].bytes, (Bytes{0x4C, 2, TQRF_RETRY_UNCHANGED}));

    // Neither: a conflict, both values out.
    events_.clear();
    reply(with_status(le(98)));
    reply({0x00});
    lose();
    reply(with_status(le(50)));
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, -1, &before, &after), TQRF_ERR_VALUE_CONFLICT);
    EXPECT_EQ(before, 98u);
    EXPECT_EQ(after, 50u);
    EXPECT_EQ(frames().size(), 4u);  // nothing more sent

    // Unknown: the read-back fails too; the lost reply's code, outputs as they were.
    events_.clear();
    before = after = 7;
    reply(with_status(le(50)));
    reply({0x00});
    lose();
    for (int i = 0; i < 3; ++i) lose();
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, -1, &before, &after), ERR_REPLY_FRAME);
    EXPECT_EQ(before, 7u);
    EXPECT_EQ(after, 7u);
    const auto f = frames();
    EXPECT_EQ(std::count(f.begin(), f.end(), kTransfer5), 1);
}

TEST_F(Retries, ALostIncrementOrDecrementIsMadeAgainAndNeverTransferredTwice) {
    selected_and_logged_in();
    std::uint32_t before = 0, after = 0;
    reply(with_status(le(10)));
    lose();                     // the increment's reply
    reply({0x04, 0x00, 0x00});  // wake-up, select, authenticate
    reply({0x08, 0x00});
    reply({0x00});
    reply(with_status(le(10)));
    reply({0x00});
    reply({0x00});
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, 5, &before, &after), 0);
    const auto f = frames();
    EXPECT_EQ(std::count(f.begin(), f.end(), kTransfer5), 1);
    EXPECT_EQ(f[1], request({0xBB, 0x49, 0x05, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(retries()[0].bytes, (Bytes{0x49, 2, TQRF_RETRY_UNCHANGED}));
    EXPECT_EQ(after, 15u);

    // Lost on every attempt: not applied.
    events_.clear();
    ASSERT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_ATTEMPTS, 1), 0);
    reply(with_status(le(15)));
    lose();
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, 5, &before, &after), TQRF_ERR_NOT_APPLIED);
    EXPECT_EQ(frames().size(), 2u);

    // Arguments are checked first; nothing is sent.
    events_.clear();
    EXPECT_EQ(tqrf_reader_value_apply(r_, 64, 1, &before, &after), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_reader_value_apply(r_, 5, 1, nullptr, &after), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_reader_value_apply(nullptr, 5, 1, &before, &after), ERR_BAD_ARGUMENT);
    EXPECT_TRUE(frames().empty());
}

// ---- Counters ------------------------------------------------------------------------------

TEST_F(Retries, TheCountersFillWhatTheCallersStructureHolds) {
    lose();
    reply({0x00});
    EXPECT_EQ(tqrf_reader_link_test(r_), 0);

    struct Bigger {
        tqrf_reader_stats s;
        std::uint64_t later;
    } big;
    std::memset(&big, 0xEE, sizeof big);
    big.s.size = sizeof big;
    EXPECT_EQ(tqrf_reader_get_stats(r_, &big.s), 0);
    EXPECT_EQ(big.s.size, sizeof big);  // as the caller set it
    EXPECT_EQ(big.s.requests, 1u);
    EXPECT_EQ(big.s.retries, 1u);
    EXPECT_EQ(big.s.recoveries, 1u);
    EXPECT_EQ(big.later, 0xEEEEEEEEEEEEEEEEu);  // never past what the library knows

    tqrf_reader_stats small;
    std::memset(&small, 0xEE, sizeof small);
    small.size = 16;  // size, reserved, requests
    EXPECT_EQ(tqrf_reader_get_stats(r_, &small), 0);
    EXPECT_EQ(small.requests, 1u);
    EXPECT_EQ(small.retries, 0xEEEEEEEEEEEEEEEEu);

    small.size = 15;
    EXPECT_EQ(tqrf_reader_get_stats(r_, &small), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_reader_get_stats(r_, nullptr), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_reader_get_stats(nullptr, &small), ERR_BAD_ARGUMENT);
}

// ---- The legacy exports: nothing repeated -----------------------------------------------------

TEST_F(PortOpen, TheLegacyExportsNeverRepeatALostReply) {
    struct Case {
        const char* name;
        std::function<int()> call;
    };
    static std::uint8_t out[101];
    static const std::uint8_t data[16] = {};
    const std::vector<Case> cases = {
        {"read", [] { return tqrf_read(4, out); }},
        {"write", [] { return tqrf_write(4, data); }},
        {"authentication", [] { return tqrf_authentication(0, 1); }},
        {"request", [] { return tqrf_request(0, out); }},
        {"transfer", [] { return tqrf_transfer(5); }},
        {"E2PROM write", [] { return tqrf_Write_RC500E2(0x20, data); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rec().clear_log();
        rec().scripted.clear();
        rec().script_reply({}, 0);
        rec().script_reply(reply_frame({0x00}), 5);  // would answer a repeat
        EXPECT_EQ(c.call(), ERR_REPLY_FRAME);
        // One request and the fixed pause; nothing is sent after it.
        EXPECT_EQ(std::count(rec().events.begin(), rec().events.end(), "write 58"), 1);
        const auto pause = std::find(rec().events.begin(), rec().events.end(), "pause 40");
        ASSERT_NE(pause, rec().events.end());
        EXPECT_TRUE(std::none_of(pause, rec().events.end(),
                                 [](const std::string& e) { return e.rfind("write", 0) == 0; }));
        EXPECT_EQ(rec().scripted.size(), 1u);  // the second reply was never asked for
    }
}

}  // namespace
}  // namespace tqrf::testing
