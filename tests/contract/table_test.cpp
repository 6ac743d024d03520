// One execution path: for every command of the table, the legacy export on the default reader
// and the handle export put the same bytes on the wire, with the same parities and pauses, and
// both take a full reply. A new row fails here until it has its pair of calls below.
#include <cstring>
#include <functional>
#include <string>

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

// In-range arguments, the same for both exports of a pair.
const PairCase kPairs[] = {
    {"tqrf_request", "tqrf_reader_request", [] { return tqrf_request(1, g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_request(r, 1, g_bytes); }},
    {"tqrf_anticoll", "tqrf_reader_anticoll", [] { return tqrf_anticoll(0x93, g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_anticoll(r, 0x93, g_bytes); }},
    {"tqrf_select", "tqrf_reader_select", [] { return tqrf_select(kSerial, g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_select(r, kSerial, g_bytes); }},
    {"tqrf_halt", "tqrf_reader_halt", [] { return tqrf_halt(); },
     [](tqrf_reader* r) { return tqrf_reader_halt(r); }},
    {"tqrf_card_asc", "tqrf_reader_find",
     [] { return tqrf_card_asc(1, 0, g_text[0], g_text[1], g_text[2]); },
     [](tqrf_reader* r) { return tqrf_reader_find(r, 1, g_bytes, g_bytes + 8, g_bytes + 16); }},
    {"tqrf_loadkey", "tqrf_reader_loadkey", [] { return tqrf_loadkey(1, 14, kKey); },
     [](tqrf_reader* r) { return tqrf_reader_loadkey(r, 1, 14, kKey); }},
    {"tqrf_authentication", "tqrf_reader_authenticate", [] { return tqrf_authentication(0, 15); },
     [](tqrf_reader* r) { return tqrf_reader_authenticate(r, 0, 15); }},
    {"tqrf_read", "tqrf_reader_read", [] { return tqrf_read(63, g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_read(r, 63, g_bytes); }},
    {"tqrf_write", "tqrf_reader_write", [] { return tqrf_write(62, kSixteen); },
     [](tqrf_reader* r) { return tqrf_reader_write(r, 62, kSixteen); }},
    {"tqrf_initval", "tqrf_reader_initval", [] { return tqrf_initval(61, 0x80000001u); },
     [](tqrf_reader* r) { return tqrf_reader_initval(r, 61, 0x80000001u); }},
    {"tqrf_readval", "tqrf_reader_readval", [] { return tqrf_readval(61, &g_word); },
     [](tqrf_reader* r) { return tqrf_reader_readval(r, 61, &g_word); }},
    {"tqrf_increment", "tqrf_reader_increment", [] { return tqrf_increment(5, 0x01020304u); },
     [](tqrf_reader* r) { return tqrf_reader_increment(r, 5, 0x01020304u); }},
    {"tqrf_decrement", "tqrf_reader_decrement", [] { return tqrf_decrement(6, 0xFFFFFFFFu); },
     [](tqrf_reader* r) { return tqrf_reader_decrement(r, 6, 0xFFFFFFFFu); }},
    {"tqrf_restore", "tqrf_reader_restore", [] { return tqrf_restore(0); },
     [](tqrf_reader* r) { return tqrf_reader_restore(r, 0); }},
    {"tqrf_transfer", "tqrf_reader_transfer", [] { return tqrf_transfer(33); },
     [](tqrf_reader* r) { return tqrf_reader_transfer(r, 33); }},
    {"tqrf_reset", "tqrf_reader_reset", [] { return tqrf_reset(0); },
     [](tqrf_reader* r) { return tqrf_reader_reset(r); }},
    {"tqrf_ReadHardwareVersionNumber", "tqrf_reader_hardware_version",
     [] { return tqrf_ReadHardwareVersionNumber(g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_hardware_version(r, g_bytes, 101, &g_length); }},
    {"tqrf_Read_RWD_ID", "tqrf_reader_id", [] { return tqrf_Read_RWD_ID(&g_word); },
     [](tqrf_reader* r) { return tqrf_reader_id(r, &g_word); }},
    {"tqrf_Read_RC500E2", "tqrf_reader_e2_read", [] { return tqrf_Read_RC500E2(255, g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_e2_read(r, 255, g_bytes, 101, &g_length); }},
    {"tqrf_Write_RC500E2", "tqrf_reader_e2_write", [] { return tqrf_Write_RC500E2(127, kSixteen); },
     [](tqrf_reader* r) { return tqrf_reader_e2_write(r, 127, kSixteen); }},
    {"tqrf_Link_PCandRWD", "tqrf_reader_link_test", [] { return tqrf_Link_PCandRWD(); },
     [](tqrf_reader* r) { return tqrf_reader_link_test(r); }},
    {"tqrf_BeepControl", "tqrf_reader_beep", [] { return tqrf_BeepControl(0, 240); },
     [](tqrf_reader* r) { return tqrf_reader_beep(r, 0, 240); }},
    {"tqrf_UploadRTC", "tqrf_reader_clock_read", [] { return tqrf_UploadRTC(g_bytes); },
     [](tqrf_reader* r) { return tqrf_reader_clock_read(r, g_bytes, 101, &g_length); }},
    {"tqrf_DownloadRTC", "tqrf_reader_clock_set", [] { return tqrf_DownloadRTC(kClock); },
     [](tqrf_reader* r) { return tqrf_reader_clock_set(r, kClock); }},
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
                           << ": add the pair to kPairs";
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

}  // namespace
}  // namespace tqrf::testing
