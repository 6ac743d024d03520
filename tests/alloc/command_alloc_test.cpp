// No command allocates memory: every export is run against a minimal responder on a
// pseudo-terminal, through the real POSIX backend, while the calling thread's heap calls are
// counted.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/alloc_count.h"
#include "tests/support/pty.h"
#include "tq_RWD_DLL.h"

namespace {

// The heap calls of this thread while `call` runs (the counter of tests/support/alloc_count.cpp);
// `result` receives what the call returned.
std::uint64_t heap_calls_of(const std::function<int()>& call, int* result) {
    const std::uint64_t before = tqrf::testing::allocations();
    tqrf::testing::count_allocations(true);
    *result = call();
    tqrf::testing::count_allocations(false);
    return tqrf::testing::allocations() - before;
}

// Answers every request (address byte, frame) with a status-only reply of status 0.
class Responder {
  public:
    Responder() {
        pty_.serve([this](int master, const std::uint8_t* bytes, std::size_t count) {
            in_.insert(in_.end(), bytes, bytes + count);
            // A request is 0x58, LEN (2 bytes), LEN payload bytes, XOR.
            while (in_.size() >= 3) {
                const std::size_t need = 1 + 2 + ((in_[1] << 8) | in_[2]) + 1;
                if (in_.size() < need) break;
                in_.erase(in_.begin(), in_.begin() + static_cast<long>(need));
                const std::uint8_t reply[] = {0x00, 0x01, 0x00, 0x01};
                (void)!write(master, reply, sizeof reply);
            }
        });
    }
    const std::string& slave() const { return pty_.path(); }

  private:
    std::vector<std::uint8_t> in_;  // before pty_: its thread is gone before this goes
    tqrf::testing::Pty pty_{true};
};

TEST(NoAllocation, EveryCommandRunsWithoutTouchingTheHeap) {
    Responder responder;
    ASSERT_EQ(tqrf_init_device(responder.slave().c_str()), 0);
    std::uint8_t buf[128] = {};
    std::uint32_t value = 0;
    char text[40] = {};
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"request", [&] { return tqrf_request(0, buf); }},
        {"anticoll", [&] { return tqrf_anticoll(0, buf); }},
        {"select", [&] { return tqrf_select(buf, buf + 8); }},
        {"halt", [&] { return tqrf_halt(); }},
        {"loadkey", [&] { return tqrf_loadkey(0, 1, buf); }},
        {"auth", [&] { return tqrf_authentication(0, 1); }},
        {"read", [&] { return tqrf_read(4, buf); }},
        {"write", [&] { return tqrf_write(4, buf); }},
        {"initval", [&] { return tqrf_initval(4, 1); }},
        {"readval", [&] { return tqrf_readval(4, &value); }},
        {"increment", [&] { return tqrf_increment(4, 1); }},
        {"transfer", [&] { return tqrf_transfer(4); }},
        {"version", [&] { return tqrf_ReadHardwareVersionNumber(buf); }},
        {"id", [&] { return tqrf_Read_RWD_ID(&value); }},
        {"e2", [&] { return tqrf_Read_RC500E2(0, buf); }},
        {"beep", [&] { return tqrf_BeepControl(1, 1); }},
        {"clock", [&] { return tqrf_UploadRTC(buf); }},
        {"card_asc", [&] { return tqrf_card_asc(0, 0, text, text + 4, text + 12); }},
        {"rd_asc", [&] { return tqrf_rd_asc(4, text); }},
        {"loadkey_asc", [&] { return tqrf_loadkey_asc(0, 1, "FFFFFFFFFFFF"); }},
        {"baud", [&] { return tqrf_BaudSetup("9600"); }},
    };
    for (const auto& [name, call] : calls) {
        int r = 0;
        const std::uint64_t allocations = heap_calls_of(call, &r);
        EXPECT_GE(r, 0) << name;
        EXPECT_EQ(allocations, 0u) << name;
    }
    EXPECT_EQ(tqrf_exit(), 0);
}

void TQRF_CALL count_trace(void* user, int32_t, int32_t, const uint8_t*, uint32_t, uint64_t) {
    ++*static_cast<int*>(user);
}

// The handle API, in both reply modes and with a trace hook: one allocation at open, none per
// command. The responder's status-only replies make the data commands fail their length
// check, which is a path of its own worth counting too.
TEST(NoAllocation, HandleCommandsRunWithoutTouchingTheHeap) {
    Responder responder;
    tqrf_reader* r = nullptr;
    ASSERT_EQ(tqrf_reader_open(responder.slave().c_str(), &r), 0);
    int traced = 0;
    ASSERT_EQ(tqrf_reader_set_trace(r, count_trace, &traced), 0);
    std::uint8_t buf[128] = {};
    std::uint32_t value = 0, length = 0;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"find", [&] { return tqrf_reader_find(r, 0, buf, buf + 2, buf + 6); }},
        {"halt", [&] { return tqrf_reader_halt(r); }},
        {"loadkey", [&] { return tqrf_reader_loadkey(r, 0, 1, buf); }},
        {"read", [&] { return tqrf_reader_read(r, 4, buf); }},
        {"write", [&] { return tqrf_reader_write(r, 4, buf); }},
        {"readval", [&] { return tqrf_reader_readval(r, 4, &value); }},
        {"version", [&] { return tqrf_reader_hardware_version(r, buf, 101, &length); }},
        {"e2 read", [&] { return tqrf_reader_e2_read(r, 0, buf, 101, &length); }},
        {"beep", [&] { return tqrf_reader_beep(r, 1, 1); }},
        {"bad argument", [&] { return tqrf_reader_read(r, 64, buf); }},
        {"baud", [&] { return tqrf_reader_set_baud(r, 9600); }},
        {"strerror", [&] { return tqrf_strerror(-86)[0] != '\0' ? 0 : -1; }},
        {"refusal text",
         [&] {
             char text[TQRF_REFUSAL_TEXT_MAX];
             return tqrf_refusal_text(TQRF_COMMAND_AUTHENTICATE, 0x12, text, sizeof text) > 0 ? 0
                                                                                              : -1;
         }},
        {"last refusal",
         [&] {
             char text[TQRF_REFUSAL_TEXT_MAX];
             return tqrf_reader_last_refusal(r, text, sizeof text);
         }},
    };
    for (int mode : {TQRF_REPLY_COMPLETE, TQRF_REPLY_FIXED}) {
        ASSERT_EQ(tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE, mode), 0);
        for (const auto& [name, call] : calls) {
            int result = 0;
            const std::uint64_t allocations = heap_calls_of(call, &result);
            EXPECT_EQ(allocations, 0u) << name << " in mode " << mode;
        }
    }
    EXPECT_GT(traced, 0);
    EXPECT_EQ(tqrf_reader_close(r), 0);
}

// Repeats after a lost reply: the responder's status-only replies are of the wrong length for
// the data commands, so each is repeated up to the attempts; a write is read back, a value
// change reads its value. None of it allocates.
TEST(NoAllocation, RepeatsAndReadBacksRunWithoutTouchingTheHeap) {
    Responder responder;
    tqrf_reader* r = nullptr;
    ASSERT_EQ(tqrf_reader_open(responder.slave().c_str(), &r), 0);
    ASSERT_EQ(tqrf_reader_set_option(r, TQRF_OPTION_ATTEMPTS, 3), 0);
    int traced = 0;
    ASSERT_EQ(tqrf_reader_set_trace(r, count_trace, &traced), 0);
    std::uint8_t buf[128] = {};
    std::uint32_t value = 0, after = 0, length = 0;
    tqrf_reader_stats stats{};
    stats.size = sizeof stats;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"find", [&] { return tqrf_reader_find(r, 0, buf, buf + 2, buf + 6); }},
        {"read", [&] { return tqrf_reader_read(r, 4, buf); }},
        {"e2 read", [&] { return tqrf_reader_e2_read(r, 0, buf, 101, &length); }},
        {"value apply", [&] { return tqrf_reader_value_apply(r, 4, -1, &value, &after); }},
        {"stats", [&] { return tqrf_reader_get_stats(r, &stats); }},
    };
    for (const auto& [name, call] : calls) {
        int result = 0;
        EXPECT_EQ(heap_calls_of(call, &result), 0u) << name;
    }
    EXPECT_GT(stats.retries, 0u);
    EXPECT_EQ(tqrf_reader_close(r), 0);
}

}  // namespace
