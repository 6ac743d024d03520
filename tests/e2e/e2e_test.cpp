// The shared library against the simulated reader on a pseudo-terminal: real serial stack,
// real 40 ms waits. Only the public header of the library is used.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tq_RWD_DLL.h"
#include "tqrf_sim/simulator.h"

namespace {

using namespace std::chrono_literals;
using tqrf_sim::Status;
using tqrf_sim::to_byte;
using Block = std::array<std::uint8_t, 16>;

constexpr std::uint8_t kKeyFF[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr int kNoCard = to_byte(Status::NoCard);
constexpr int kAuthFailed = to_byte(Status::AuthFailed);
constexpr int kNotAuthenticated = to_byte(Status::NotAuthenticated);
constexpr int kAccessDenied = to_byte(Status::AccessDenied);

class E2E : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_.start();
        ASSERT_EQ(tqrf_init_device(sim_.slave_path().c_str()), 0);
    }
    void TearDown() override {
        tqrf_exit();
        sim_.stop();
    }

    // Request, anticollision and select of the default card.
    void select_card(int mode = 0) {
        std::uint8_t type[2], serial[4], size = 0;
        ASSERT_EQ(tqrf_request(mode, type), 0);
        ASSERT_EQ(tqrf_anticoll(0, serial), 0);
        ASSERT_EQ(tqrf_select(serial, &size), 0);
    }
    void authenticate(int sector, int key_type = 0, const std::uint8_t* key = kKeyFF) {
        ASSERT_EQ(tqrf_loadkey(key_type, sector, key), 0);
        ASSERT_EQ(tqrf_authentication(key_type, sector), 0);
    }
    Block card_block(int block) {
        const auto image = sim_.card_image(tqrf_sim::kDefaultUid);
        Block b{};
        if (image) std::copy_n(image->begin() + block * 16, 16, b.begin());
        return b;
    }
    // Lets any reply still on its way land, so that the next command starts clean.
    void settle() { ASSERT_TRUE(sim_.wait_until_idle(2s)); }

    tqrf_sim::Simulator sim_;
};

TEST_F(E2E, RequestAnticollSelectHalt) {
    std::uint8_t type[2] = {0xEE, 0xEE}, serial[4] = {}, size = 0xEE;
    EXPECT_EQ(tqrf_request(0, type), 0);
    EXPECT_EQ(type[0], 0x04);
    EXPECT_EQ(type[1], 0x00);
    EXPECT_EQ(tqrf_anticoll(0, serial), 0);
    EXPECT_EQ(0, std::memcmp(serial, tqrf_sim::kDefaultUid.data(), 4));
    EXPECT_EQ(tqrf_select(serial, &size), 0);
    EXPECT_EQ(size, 0x08);
    EXPECT_EQ(sim_.card_state(tqrf_sim::kDefaultUid), tqrf_sim::CardState::Active);
    EXPECT_EQ(tqrf_halt(), 0);
    EXPECT_EQ(sim_.card_state(tqrf_sim::kDefaultUid), tqrf_sim::CardState::Halt);

    // After halt REQA finds nothing; the card type then takes the status-only reply's
    // positions 2 and 3: the status byte and the XOR byte.
    EXPECT_EQ(tqrf_request(0, type), kNoCard);
    EXPECT_EQ(type[0], kNoCard);
    EXPECT_EQ(type[1], 0x00 ^ 0x01 ^ kNoCard);
    EXPECT_EQ(tqrf_request_2(0, type), kNoCard);
    // WUPA wakes the halted card.
    EXPECT_EQ(tqrf_request_2(1, type), 0);
    EXPECT_EQ(type[0], 0x04);
    EXPECT_EQ(tqrf_anticoll(0, serial), 0);
    EXPECT_EQ(tqrf_select(serial, &size), 0);
}

TEST_F(E2E, AnticollisionSinglesOutCardsByUid) {
    const tqrf_sim::Uid low{0x01, 0x02, 0x03, 0x04};
    ASSERT_TRUE(sim_.place_card(low));
    std::uint8_t type[2], serial[4], size = 0;
    ASSERT_EQ(tqrf_request(0, type), 0);
    ASSERT_EQ(tqrf_anticoll(0, serial), 0);
    EXPECT_EQ(0, std::memcmp(serial, low.data(), 4));
    ASSERT_EQ(tqrf_anticoll(1, serial), 0);
    EXPECT_EQ(0, std::memcmp(serial, tqrf_sim::kDefaultUid.data(), 4));
    std::uint8_t none[4];
    EXPECT_EQ(tqrf_anticoll(2, none), kNoCard);
    EXPECT_EQ(tqrf_select(serial, &size), 0);
    EXPECT_EQ(sim_.card_state(low), tqrf_sim::CardState::Idle);
}

TEST_F(E2E, LoadKeyAndAuthenticate) {
    select_card();
    authenticate(1);
    // Wrong key: refused, and the card has to be selected again.
    const std::uint8_t wrong[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(tqrf_loadkey(0, 2, wrong), 0);
    EXPECT_EQ(tqrf_authentication(0, 2), kAuthFailed);
    EXPECT_EQ(tqrf_authentication(0, 1), kNoCard);
    select_card();
    // Key B of a factory card can be read, so it does not authenticate.
    ASSERT_EQ(tqrf_loadkey(1, 1, kKeyFF), 0);
    EXPECT_EQ(tqrf_authentication(1, 1), kAuthFailed);

    // Give sector 1 a key B that cannot be read (trailer condition 011), written with key A.
    select_card();
    authenticate(1);
    const std::uint8_t key_b[6] = {0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
    std::uint8_t trailer[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto access = tqrf_sim::encode_access({0, 0, 0, 0b011});
    std::memcpy(trailer + 6, access.data(), 3);
    trailer[9] = 0x69;
    std::memcpy(trailer + 10, key_b, 6);
    ASSERT_EQ(tqrf_write(7, trailer), 0);
    ASSERT_EQ(tqrf_loadkey(1, 1, key_b), 0);
    EXPECT_EQ(tqrf_authentication(1, 1), 0);
    EXPECT_EQ(tqrf_authentication_2(1, 1, 7), 0);
    std::uint8_t data[16];
    EXPECT_EQ(tqrf_read(4, data), 0);

    // The trailer check of tqrf_authentication_2 sends nothing.
    const auto before = sim_.exchanges();
    EXPECT_EQ(tqrf_authentication_2(1, 1, 4), ERR_NOT_SECTOR_TRAILER);
    EXPECT_EQ(sim_.exchanges(), before);
}

TEST_F(E2E, WriteThenReadBack) {
    select_card();
    authenticate(1);
    std::uint8_t data[16], back[16];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0xC0 + i);
    ASSERT_EQ(tqrf_write(5, data), 0);
    ASSERT_EQ(tqrf_read(5, back), 0);
    EXPECT_EQ(0, std::memcmp(data, back, 16));
    EXPECT_EQ(0, std::memcmp(card_block(5).data(), data, 16));
    // Block 69 folds to block 5.
    std::memset(back, 0, 16);
    ASSERT_EQ(tqrf_read(69, back), 0);
    EXPECT_EQ(0, std::memcmp(data, back, 16));
    // Outside the authenticated sector: refused, the buffer keeps what it held.
    EXPECT_EQ(tqrf_read(8, back), kNotAuthenticated);
    EXPECT_EQ(0, std::memcmp(data, back, 16));
}

TEST_F(E2E, AccessConditionsRefuseAWrite) {
    select_card();
    authenticate(2);
    // Block 8 read-only (010), the rest of the sector as shipped.
    std::uint8_t trailer[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,
                                0,    0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto access = tqrf_sim::encode_access({0b010, 0, 0, 0b001});
    std::memcpy(trailer + 6, access.data(), 3);
    ASSERT_EQ(tqrf_write(11, trailer), 0);
    const std::uint8_t data[16] = {1, 2, 3};
    EXPECT_EQ(tqrf_write(8, data), kAccessDenied);
    EXPECT_EQ(card_block(8), Block{});
    EXPECT_EQ(tqrf_write(9, data), 0);
    // Block 0 is read-only.
    authenticate(0);
    EXPECT_EQ(tqrf_write(0, data), kAccessDenied);
    // Key A reads back as zeros.
    std::uint8_t t[16];
    ASSERT_EQ(tqrf_read(3, t), 0);
    const std::uint8_t expected[16] = {0,    0,    0,    0,    0,    0,    0xFF, 0x07,
                                       0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(t, expected, 16));
}

TEST_F(E2E, ValueBlockOperations) {
    select_card();
    authenticate(1);
    std::uint32_t value = 0;
    ASSERT_EQ(tqrf_initval(4, 100), 0);
    ASSERT_EQ(tqrf_readval(4, &value), 0);
    EXPECT_EQ(value, 100u);
    EXPECT_EQ(card_block(4), tqrf_sim::make_value_block(100, 4));
    ASSERT_EQ(tqrf_increment(4, 300), 0);
    ASSERT_EQ(tqrf_transfer(4), 0);
    ASSERT_EQ(tqrf_readval(4, &value), 0);
    EXPECT_EQ(value, 400u);
    ASSERT_EQ(tqrf_decrement(4, 1), 0);
    ASSERT_EQ(tqrf_transfer(5), 0);
    ASSERT_EQ(tqrf_readval(5, &value), 0);
    EXPECT_EQ(value, 399u);
    ASSERT_EQ(tqrf_restore(4), 0);
    ASSERT_EQ(tqrf_transfer(6), 0);
    ASSERT_EQ(tqrf_readval(6, &value), 0);
    EXPECT_EQ(value, 400u);
    // Transfer without a value waiting; a block that is no value block: the output stays.
    EXPECT_EQ(tqrf_transfer(6), to_byte(Status::NoTransferValue));
    value = 7;
    const std::uint8_t plain[16] = {};
    ASSERT_EQ(tqrf_write(6, plain), 0);
    EXPECT_EQ(tqrf_readval(6, &value), to_byte(Status::ValueFormat));
    EXPECT_EQ(value, 7u);
    // Signed amounts travel as their bits.
    ASSERT_EQ(tqrf_increment(4, 0xFFFFFFFFu), 0);
    ASSERT_EQ(tqrf_transfer(4), 0);
    ASSERT_EQ(tqrf_readval(4, &value), 0);
    EXPECT_EQ(value, 399u);
}

TEST_F(E2E, CardAscForms) {
    char type[6] = "xxxxx", serial[10] = "xxxxxxxxx", size[4] = "xxx";
    EXPECT_EQ(tqrf_card_asc(0, 0, type, serial, size), 0);
    EXPECT_STREQ(type, "0400x");
    EXPECT_STREQ(serial, "3A7C91E5x");
    EXPECT_STREQ(size, "08x");
    EXPECT_EQ(sim_.card_state(tqrf_sim::kDefaultUid), tqrf_sim::CardState::Active);
    ASSERT_EQ(tqrf_halt(), 0);

    std::strcpy(type, "xxxxx");
    std::strcpy(serial, "xxxxxxxxx");
    std::strcpy(size, "xxx");
    EXPECT_EQ(tqrf_card_asc_1(1, 0, type, serial, size), 0);
    EXPECT_STREQ(type, "0400x");
    EXPECT_STREQ(serial, "3A7C91E5x");
    EXPECT_STREQ(size, "08x");

    // Nothing answers: tqrf_card_asc_1 stars all three texts over half their width.
    sim_.remove_all_cards();
    std::strcpy(type, "xxxxx");
    std::strcpy(serial, "xxxxxxxxx");
    std::strcpy(size, "xxx");
    EXPECT_EQ(tqrf_card_asc_1(1, 0, type, serial, size), kNoCard);
    EXPECT_STREQ(type, "**xxx");
    EXPECT_STREQ(serial, "****xxxxx");
    EXPECT_STREQ(size, "*xx");
    EXPECT_EQ(tqrf_card_asc(1, 0, type, serial, size), kNoCard);
}

TEST_F(E2E, BlockTextForms) {
    select_card();
    authenticate(1);
    ASSERT_EQ(tqrf_wr_asc(5, "00112233445566778899aabbccddeeff"), 0);
    char text[34];
    std::memset(text, 'x', sizeof text);
    text[33] = '\0';
    ASSERT_EQ(tqrf_rd_asc(5, text), 0);
    EXPECT_STREQ(text, "00112233445566778899AABBCCDDEEFFx");
    const Block expected{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                         0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(card_block(5), expected);
    // A failed read stars the first 16 characters only.
    EXPECT_EQ(tqrf_rd_asc(8, text), kNotAuthenticated);
    EXPECT_STREQ(text, "****************8899AABBCCDDEEFFx");
    ASSERT_EQ(tqrf_loadkey_asc(0, 2, "ffffffffffff"), 0);
    ASSERT_EQ(tqrf_authentication(0, 2), 0);
    EXPECT_EQ(tqrf_rd_asc(8, text), 0);
}

TEST_F(E2E, ReaderIdentityVersionLinkReset) {
    std::uint32_t id = 0;
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), 0);
    EXPECT_EQ(id, tqrf_sim::kDefaultIdentity);
    sim_.set_identity(0xCAFE0042);
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), 0);
    EXPECT_EQ(id, 0xCAFE0042u);

    std::uint8_t version[101];
    std::memset(version, 0, sizeof version);
    EXPECT_EQ(tqrf_ReadHardwareVersionNumber(version), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(version), tqrf_sim::kHardwareVersionText);

    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);
    select_card();
    ASSERT_EQ(tqrf_halt(), 0);
    EXPECT_EQ(tqrf_reset(0xAB), 0);
    // The reset woke the halted card up again.
    std::uint8_t type[2];
    EXPECT_EQ(tqrf_request(0, type), 0);
}

TEST_F(E2E, E2promWriteThenRead) {
    std::uint8_t data[16], back[101];
    for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0x80 + i);
    ASSERT_EQ(tqrf_Write_RC500E2(0x30, data), 0);
    std::memset(back, 0xEE, sizeof back);
    ASSERT_EQ(tqrf_Read_RC500E2(0x30, back), 0);
    EXPECT_EQ(0, std::memcmp(back, data, 16));
    EXPECT_EQ(back[16], 0xEE);  // 16 data bytes and no more
    // The write address travels AND 0x7F: 0xB0 writes at 0x30.
    data[0] = 0x5A;
    ASSERT_EQ(tqrf_Write_RC500E2(0xB0, data), 0);
    ASSERT_EQ(tqrf_Read_RC500E2(0x30, back), 0);
    EXPECT_EQ(back[0], 0x5A);
    EXPECT_EQ(tqrf_Write_RC500E2(0x04, data), to_byte(Status::E2promProtected));
}

TEST_F(E2E, ClockSetThenRead) {
    // 2027-03-14 15:09:26, a Sunday (7).
    const std::uint8_t set[7] = {0x26, 0x09, 0x15, 0x14, 0x03, 0x07, 0x27};
    ASSERT_EQ(tqrf_DownloadRTC(set), 0);
    std::uint8_t clock[101];
    std::memset(clock, 0xEE, sizeof clock);
    ASSERT_EQ(tqrf_UploadRTC(clock), 0);
    EXPECT_TRUE(clock[0] == 0x26 || clock[0] == 0x27) << int(clock[0]);
    EXPECT_EQ(0, std::memcmp(clock + 1, set + 1, 6));
    EXPECT_EQ(clock[7], 0xEE);
    const std::uint8_t bad[7] = {0x61, 0x09, 0x15, 0x14, 0x03, 0x07, 0x27};
    EXPECT_EQ(tqrf_DownloadRTC(bad), to_byte(Status::BadParameter));
}

TEST_F(E2E, BeepModeZeroAnswersAfterTheBeep) {
    sim_.clear_journal();
    EXPECT_EQ(tqrf_BeepControl(0, 10), 0);
    EXPECT_EQ(tqrf_BeepControl(1, 100), 0);
    const auto journal = sim_.journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_GE(journal[0].answered - journal[0].received, 100ms);
    EXPECT_LT(journal[1].answered - journal[1].received, 100ms);
    // The longest beep still answers inside the library's wait.
    EXPECT_EQ(tqrf_BeepControl(0, 250), 0);
}

// Each fault on the reply to a block read, and what the caller gets.
TEST_F(E2E, FaultsGiveTheDocumentedResults) {
    select_card();
    authenticate(0);
    const Block block1 = card_block(1);
    struct Case {
        const char* fault;
        int result;
        bool buffer_written;
    };
    const Case cases[] = {
        {"noreply", ERR_REPLY_FRAME, false},
        {"corrupt-xor", ERR_REPLY_CHECKSUM, false},
        {"truncate", ERR_REPLY_FRAME, false},
        {"truncate:3", ERR_REPLY_FRAME, false},
        {"noise-before", ERR_REPLY_FRAME, false},
        {"noise-after", ERR_REPLY_FRAME, false},
        {"oversize", ERR_REPLY_FRAME, false},
        {"extra-data:4", 0, true},
        {"status:0x42", 0x42, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        auto rule = tqrf_sim::parse_fault_rule(c.fault);
        ASSERT_TRUE(rule);
        rule->command = 0x45;
        rule->count = 1;
        sim_.add_fault(*rule);
        std::uint8_t buffer[32];
        std::memset(buffer, 0xCC, sizeof buffer);
        EXPECT_EQ(tqrf_read(1, buffer), c.result);
        settle();
        if (c.buffer_written) {
            EXPECT_EQ(0, std::memcmp(buffer, block1.data(), 16));
        } else {
            EXPECT_EQ(buffer[0], 0xCC);
            EXPECT_EQ(buffer[15], 0xCC);
        }
        EXPECT_EQ(buffer[16], 0xCC);  // never more than 16 bytes
        // The next command is not disturbed.
        std::uint8_t again[16];
        EXPECT_EQ(tqrf_read(1, again), 0);
    }
}

TEST_F(E2E, FaultsOnTextAndValueCommands) {
    select_card();
    authenticate(1);
    ASSERT_EQ(tqrf_initval(4, 1234), 0);
    std::uint32_t value = 0;
    sim_.add_fault({{tqrf_sim::FaultKind::ExtraData, 4}, 0x48, 1});
    EXPECT_EQ(tqrf_readval(4, &value), 0);
    EXPECT_EQ(value, 1234u);
    value = 5;
    sim_.add_fault({{tqrf_sim::FaultKind::CorruptXor, 0}, 0x48, 1});
    EXPECT_EQ(tqrf_readval(4, &value), ERR_REPLY_CHECKSUM);
    EXPECT_EQ(value, 5u);

    char type[6] = "xxxxx", serial[10] = "xxxxxxxxx", size[4] = "xxx";
    sim_.add_fault({{tqrf_sim::FaultKind::NoReply, 0}, 0x62, 1});
    EXPECT_EQ(tqrf_card_asc(0, 0, type, serial, size), ERR_REPLY_FRAME);
    EXPECT_STREQ(type, "**xxx");
    EXPECT_STREQ(serial, "****xxxxx");
    EXPECT_STREQ(size, "*xx");
    // A forced status: the texts still come from the reply's data.
    sim_.add_fault({{tqrf_sim::FaultKind::ForceStatus, 0x21}, 0x62, 1});
    EXPECT_EQ(tqrf_card_asc(1, 0, type, serial, size), 0x21);
    EXPECT_STREQ(type, "0400x");
    EXPECT_STREQ(serial, "3A7C91E5x");
    EXPECT_STREQ(size, "08x");
}

TEST_F(E2E, LateReplyIsAFrameErrorAndTheNextCommandWorks) {
    sim_.add_fault({{tqrf_sim::FaultKind::Delay, 60}, std::nullopt, 1});
    std::uint32_t id = 0xEEEEEEEE;
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), ERR_REPLY_FRAME);
    EXPECT_EQ(id, 0xEEEEEEEEu);
    settle();  // the late reply lands in the input queue; the next send discards it
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), 0);
    EXPECT_EQ(id, tqrf_sim::kDefaultIdentity);
}

TEST_F(E2E, PacedRepliesStillFitTheWait) {
    sim_.set_pacing(true);
    select_card();
    authenticate(1);
    std::uint8_t data[16];
    EXPECT_EQ(tqrf_read(4, data), 0);
    std::uint8_t version[101];
    EXPECT_EQ(tqrf_ReadHardwareVersionNumber(version), 0);
}

TEST_F(E2E, PortOpensOnceAndAgainAfterExit) {
    EXPECT_EQ(tqrf_init_device(sim_.slave_path().c_str()), ERR_PORT_IN_USE);
    // Another program cannot open the port while this one holds it.
    const std::string command = std::string(TQRF_E2E_OPEN_PROBE) + " " + sim_.slave_path();
    FILE* probe = ::popen(command.c_str(), "r");
    ASSERT_NE(probe, nullptr);
    int result = 0;
    ASSERT_EQ(std::fscanf(probe, "%d", &result), 1);
    ::pclose(probe);
    EXPECT_EQ(result, ERR_PORT_OPEN_FAILED);
    // The simulator serves across close and open.
    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);
    ASSERT_EQ(tqrf_exit(), 0);
    EXPECT_EQ(tqrf_exit(), ERR_FAILED);
    ASSERT_EQ(tqrf_init_device(sim_.slave_path().c_str()), 0);
    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);
    EXPECT_EQ(tqrf_BaudSetup("9600"), 0);
    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);  // every command sets 19200 again
}

TEST_F(E2E, ComNameReachesTheSimulatorThroughTtySLink) {
    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);
    ASSERT_EQ(tqrf_exit(), 0);
    std::string link;
    int number = 0;
    for (int n = 100; n <= 255 && link.empty(); ++n) {
        const std::string candidate = "/dev/ttyS" + std::to_string(n - 1);
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) == 0 || errno != ENOENT) continue;
        if (::symlink(sim_.slave_path().c_str(), candidate.c_str()) != 0) {
            if (errno == EEXIST) continue;  // another test run took the name first
            break;
        }
        link = candidate;
        number = n;
    }
    if (link.empty()) GTEST_SKIP() << "cannot make a /dev/ttyS* link here";
    char name[16];
    std::snprintf(name, sizeof name, "COM%d", number);
    const int opened = tqrf_init(name);
    const int linked = opened == 0 ? tqrf_Link_PCandRWD() : -999;
    ::unlink(link.c_str());
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(linked, 0);
    EXPECT_EQ(std::string(name), std::to_string(number));
}

// Opening the port again straight after closing it, with no command in between.
TEST_F(E2E, ReopenStraightAfterOpen) {
    ASSERT_EQ(tqrf_exit(), 0);
    EXPECT_EQ(tqrf_init_device(sim_.slave_path().c_str()), 0);
    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);
}

}  // namespace
