#include "tqrf_sim/reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr Uid kUid{0x12, 0x34, 0x56, 0x78};
constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kNoCard = to_byte(Status::NoCard);

// 2026-12-08 (a Tuesday) 16:18:32 UTC.
constexpr std::int64_t kStartUtc = 1796746712;

class ReaderTest : public ::testing::Test {
  protected:
    ReaderTest() : start_(Clock::time_point{} + 1000h), reader_(start_, kStartUtc) {
        reader_.place(MifareClassic(kUid));
    }

    Bytes run(Bytes payload, Clock::duration after = 0s) {
        const Reply r = reader_.handle(payload, start_ + after);
        last_hold_ = r.hold;
        return r.payload;
    }
    std::uint8_t status(Bytes payload) { return run(std::move(payload)).back(); }

    void select(const Uid& uid = kUid, std::uint8_t code = kRequestIdle) {
        ASSERT_EQ(status({0xBB, 0x41, code, 0x00}), kOk);
        ASSERT_EQ(status({0xBB, 0x43, uid[0], uid[1], uid[2], uid[3], 0x00}), kOk);
    }
    void authenticate(std::uint8_t sector, std::uint8_t type = kKeyTypeA,
                      const Key& key = kFactoryKey) {
        ASSERT_EQ(
            status({0xBB, 0x61, type, sector, key[0], key[1], key[2], key[3], key[4], key[5]}),
            kOk);
        ASSERT_EQ(status({0xBB, 0x44, type, sector}), kOk);
    }
    Bytes write_block(std::uint8_t block, const Block& data) {
        Bytes p{0xBB, 0x46, block};
        p.insert(p.end(), data.begin(), data.end());
        return run(p);
    }
    static Bytes value_cmd(std::uint8_t code, std::uint8_t block, std::uint32_t v) {
        return {0xBB,
                code,
                block,
                static_cast<std::uint8_t>(v),
                static_cast<std::uint8_t>(v >> 8),
                static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 24)};
    }

    Clock::time_point start_;
    Reader reader_;
    std::chrono::milliseconds last_hold_{0};
};

TEST_F(ReaderTest, RequestAnticollSelectHaltReplies) {
    EXPECT_EQ(run({0xBB, 0x41, 0x26, 0x00}), (Bytes{0x04, 0x00, kOk}));
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x00}), (Bytes{0x12, 0x34, 0x56, 0x78, kOk}));
    EXPECT_EQ(run({0xBB, 0x43, 0x12, 0x34, 0x56, 0x78, 0x00}), (Bytes{0x08, kOk}));
    EXPECT_EQ(reader_.selected(), kUid);
    EXPECT_EQ(run({0xBB, 0x71, 0x00, 0x00}), (Bytes{kOk}));
    EXPECT_EQ(reader_.card(kUid)->state(), CardState::Halt);
    EXPECT_EQ(run({0xBB, 0x71, 0x00, 0x00}), (Bytes{kNoCard}));          // nothing selected
    EXPECT_EQ(run({0xBB, 0x41, 0x26, 0x00}), (Bytes{kNoCard}));          // REQA: halted card silent
    EXPECT_EQ(run({0xBB, 0x41, 0x52, 0x00}), (Bytes{0x04, 0x00, kOk}));  // WUPA wakes it
}

TEST_F(ReaderTest, EmptyFieldAnswersNoCard) {
    reader_.remove_all();
    EXPECT_EQ(run({0xBB, 0x41, 0x52, 0x00}), (Bytes{kNoCard}));
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x00}), (Bytes{kNoCard}));
    EXPECT_EQ(run({0xBB, 0x62, 0x52, 0x00}), (Bytes{kNoCard}));
}

TEST_F(ReaderTest, SelectNeedsAReadyCardWithThatUid) {
    EXPECT_EQ(status({0xBB, 0x43, 0x12, 0x34, 0x56, 0x78, 0x00}), kNoCard);  // still idle
    ASSERT_EQ(status({0xBB, 0x41, 0x26, 0x00}), kOk);
    EXPECT_EQ(status({0xBB, 0x43, 0x12, 0x34, 0x56, 0x79, 0x00}), kNoCard);
}

TEST_F(ReaderTest, RequestAfterAnUnfinishedSequenceFindsTheCardAgain) {
    select();
    EXPECT_EQ(status({0xBB, 0x41, 0x26, 0x00}), kOk);
    EXPECT_FALSE(reader_.selected());
}

TEST_F(ReaderTest, AnticollisionArgumentCountsReadyCardsByUid) {
    const Uid low{0x01, 0x00, 0x00, 0x00}, high{0xF0, 0x00, 0x00, 0x00};
    reader_.place(MifareClassic(high));
    reader_.place(MifareClassic(low));
    EXPECT_FALSE(reader_.place(MifareClassic(low)));
    ASSERT_EQ(status({0xBB, 0x41, 0x26, 0x00}), kOk);
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x00}), (Bytes{0x01, 0x00, 0x00, 0x00, kOk}));
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x01}), (Bytes{0x12, 0x34, 0x56, 0x78, kOk}));
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x02}), (Bytes{0xF0, 0x00, 0x00, 0x00, kOk}));
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x03}), (Bytes{kNoCard}));
    // Selecting one sends the others back to idle.
    ASSERT_EQ(status({0xBB, 0x43, 0x12, 0x34, 0x56, 0x78, 0x00}), kOk);
    EXPECT_EQ(reader_.card(low)->state(), CardState::Idle);
    EXPECT_EQ(reader_.card(high)->state(), CardState::Idle);
    // Halting it leaves two cards for the next REQA.
    ASSERT_EQ(status({0xBB, 0x71, 0x00, 0x00}), kOk);
    ASSERT_EQ(status({0xBB, 0x41, 0x26, 0x00}), kOk);
    EXPECT_EQ(run({0xBB, 0x42, 0x00, 0x01}), (Bytes{0xF0, 0x00, 0x00, 0x00, kOk}));
}

TEST_F(ReaderTest, CardFindRepliesTypeSizeSerial) {
    EXPECT_EQ(run({0xBB, 0x62, 0x26, 0x00}),
              (Bytes{0x04, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78, kOk}));
    EXPECT_EQ(reader_.card(kUid)->state(), CardState::Active);
    ASSERT_EQ(status({0xBB, 0x71, 0x00, 0x00}), kOk);
    EXPECT_EQ(run({0xBB, 0x62, 0x26, 0x00}), (Bytes{kNoCard}));
    EXPECT_EQ(status({0xBB, 0x62, 0x52, 0x00}), kOk);
}

TEST_F(ReaderTest, KeysAreKeptPerTypeAndSector) {
    const Key k1{1, 1, 1, 1, 1, 1}, k2{2, 2, 2, 2, 2, 2};
    ASSERT_EQ(status({0xBB, 0x61, 0x60, 0x03, 1, 1, 1, 1, 1, 1}), kOk);
    ASSERT_EQ(status({0xBB, 0x61, 0x61, 0x03, 2, 2, 2, 2, 2, 2}), kOk);
    EXPECT_EQ(reader_.loaded_key(KeyType::A, 3), k1);
    EXPECT_EQ(reader_.loaded_key(KeyType::B, 3), k2);
    EXPECT_FALSE(reader_.loaded_key(KeyType::A, 4));
    EXPECT_EQ(status({0xBB, 0x61, 0x62, 0x03, 1, 1, 1, 1, 1, 1}), to_byte(Status::BadParameter));
    EXPECT_EQ(status({0xBB, 0x61, 0x60, 0x10, 1, 1, 1, 1, 1, 1}), to_byte(Status::BadParameter));
}

TEST_F(ReaderTest, AuthenticationOutcomes) {
    EXPECT_EQ(status({0xBB, 0x44, 0x60, 0x01}), kNoCard);
    select();
    EXPECT_EQ(status({0xBB, 0x44, 0x60, 0x01}), to_byte(Status::KeyNotLoaded));
    authenticate(1);
    EXPECT_EQ(reader_.authenticated()->sector, 1);
    // Key B of a factory card can be read, so it does not authenticate.
    ASSERT_EQ(status({0xBB, 0x61, 0x61, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), kOk);
    EXPECT_EQ(status({0xBB, 0x44, 0x61, 0x01}), to_byte(Status::AuthFailed));
    // A failed authentication drops the card out of the sequence: select again.
    EXPECT_FALSE(reader_.authenticated());
    EXPECT_FALSE(reader_.selected());
    EXPECT_EQ(status({0xBB, 0x45, 0x04, 0x00}), kNoCard);
    select();
    ASSERT_EQ(status({0xBB, 0x61, 0x60, 0x02, 0, 0, 0, 0, 0, 0}), kOk);
    EXPECT_EQ(status({0xBB, 0x44, 0x60, 0x02}), to_byte(Status::AuthFailed));
}

TEST_F(ReaderTest, BlocksNeedTheirSectorAuthenticated) {
    select();
    EXPECT_EQ(run({0xBB, 0x45, 0x04, 0x00}), (Bytes{to_byte(Status::NotAuthenticated)}));
    authenticate(1);
    EXPECT_EQ(status({0xBB, 0x45, 0x08, 0x00}), to_byte(Status::NotAuthenticated));
    Block data{};
    for (std::size_t i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    EXPECT_EQ(write_block(5, data), (Bytes{kOk}));
    Bytes expected(data.begin(), data.end());
    expected.push_back(kOk);
    EXPECT_EQ(run({0xBB, 0x45, 0x05, 0x00}), expected);
    // Halt ends the authentication.
    ASSERT_EQ(status({0xBB, 0x71, 0x00, 0x00}), kOk);
    EXPECT_EQ(status({0xBB, 0x45, 0x05, 0x00}), kNoCard);
}

TEST_F(ReaderTest, Block0WriteIsRefused) {
    select();
    authenticate(0);
    EXPECT_EQ(write_block(0, Block{}), (Bytes{to_byte(Status::AccessDenied)}));
    const Bytes b0 = run({0xBB, 0x45, 0x00, 0x00});
    ASSERT_EQ(b0.size(), 17u);
    EXPECT_EQ(b0[0], 0x12);
}

TEST_F(ReaderTest, ValueOperations) {
    select();
    authenticate(1);
    EXPECT_EQ(status(value_cmd(0x47, 4, 100)), kOk);
    EXPECT_EQ(run({0xBB, 0x48, 0x04, 0x00}), (Bytes{100, 0, 0, 0, kOk}));
    EXPECT_EQ(status({0xBB, 0x4C, 0x05, 0x00}), to_byte(Status::NoTransferValue));
    EXPECT_EQ(status(value_cmd(0x49, 4, 300)), kOk);
    EXPECT_EQ(run({0xBB, 0x48, 0x04, 0x00}), (Bytes{100, 0, 0, 0, kOk}));  // not yet transferred
    EXPECT_EQ(status({0xBB, 0x4C, 0x04, 0x00}), kOk);
    EXPECT_EQ(run({0xBB, 0x48, 0x04, 0x00}), (Bytes{0x90, 0x01, 0, 0, kOk}));  // 400
    EXPECT_EQ(status({0xBB, 0x4C, 0x04, 0x00}), to_byte(Status::NoTransferValue));
    EXPECT_EQ(status(value_cmd(0x4A, 4, 401)), kOk);  // modulo 2^32
    EXPECT_EQ(status({0xBB, 0x4C, 0x04, 0x00}), kOk);
    EXPECT_EQ(run({0xBB, 0x48, 0x04, 0x00}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, kOk}));
    // Restore then transfer copies a value block, address byte included.
    EXPECT_EQ(status({0xBB, 0x4B, 0x04, 0x00}), kOk);
    EXPECT_EQ(status({0xBB, 0x4C, 0x06, 0x00}), kOk);
    const Bytes b6 = run({0xBB, 0x45, 0x06, 0x00});
    const Block expected = make_value_block(0xFFFFFFFF, 4);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), b6.begin()));
    // Not a value block; outside the sector; trailer; block byte beyond the card.
    EXPECT_EQ(status({0xBB, 0x48, 0x05, 0x00}), to_byte(Status::ValueFormat));
    EXPECT_EQ(status(value_cmd(0x49, 5, 1)), to_byte(Status::ValueFormat));
    EXPECT_EQ(status(value_cmd(0x49, 8, 1)), to_byte(Status::NotAuthenticated));
    EXPECT_EQ(status(value_cmd(0x47, 7, 1)), to_byte(Status::AccessDenied));
    EXPECT_EQ(status(value_cmd(0x47, 0x44, 1)), to_byte(Status::BadParameter));
}

TEST_F(ReaderTest, TransferBufferEndsWithTheAuthentication) {
    select();
    authenticate(1);
    ASSERT_EQ(status(value_cmd(0x47, 4, 1)), kOk);
    ASSERT_EQ(status({0xBB, 0x4B, 0x04, 0x00}), kOk);
    EXPECT_TRUE(reader_.transfer_buffer());
    authenticate(1);
    EXPECT_FALSE(reader_.transfer_buffer());
    EXPECT_EQ(status({0xBB, 0x4C, 0x05, 0x00}), to_byte(Status::NoTransferValue));
}

TEST_F(ReaderTest, MalformedRequests) {
    struct Case {
        Bytes payload;
        Status expected;
    };
    const Case cases[] = {
        {{}, Status::UnknownCommand},
        {{0xBB}, Status::UnknownCommand},
        {{0xBC, 0x41, 0x26, 0x00}, Status::UnknownCommand},
        {{0xBB, 0x40, 0x00, 0x00}, Status::UnknownCommand},
        {{0xBB, 0x41, 0x26}, Status::BadParameter},
        {{0xBB, 0x41, 0x26, 0x00, 0x00}, Status::BadParameter},
        {{0xBB, 0x41, 0x27, 0x00}, Status::BadParameter},
        {{0xBB, 0x72, 0x54, 0x00}, Status::BadParameter},
        {{0xBB, 0x77, 0x00, 0x00}, Status::BadParameter},
        {{0xBB, 0x44, 0x62, 0x00}, Status::BadParameter},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.payload), (Bytes{to_byte(c.expected)}))
            << ::testing::PrintToString(c.payload);
    }
    EXPECT_EQ(run({0xBB, 0x77, 0x55, 0x00}), (Bytes{kOk}));
}

TEST_F(ReaderTest, IdentityAndVersion) {
    EXPECT_EQ(run({0xBB, 0x76, 0x00, 0x00}), (Bytes{0x78, 0x56, 0x34, 0x12, kOk}));
    reader_.set_identity(0xA1B2C3D4);
    EXPECT_EQ(run({0xBB, 0x76, 0x00, 0x00}), (Bytes{0xD4, 0xC3, 0xB2, 0xA1, kOk}));
    const Bytes v = run({0xBB, 0x73, 0x00, 0x00});
    EXPECT_EQ(std::string(v.begin(), v.end() - 1), kHardwareVersionText);
    EXPECT_EQ(v.back(), kOk);
}

TEST_F(ReaderTest, E2promByteAddresses) {
    Bytes write{0xBB, 0x74, 0x55, 0x20};
    for (std::uint8_t i = 0; i < 16; ++i) write.push_back(static_cast<std::uint8_t>(0x30 + i));
    ASSERT_EQ(status(write), kOk);
    Bytes expected(write.begin() + 4, write.end());
    expected.push_back(kOk);
    EXPECT_EQ(run({0xBB, 0x75, 0x20, 0x00}), expected);
    // A read at 0x28 starts half-way into what was written.
    EXPECT_EQ(run({0xBB, 0x75, 0x28, 0x00})[0], 0x38);
    // Product information: identity first, read-only.
    EXPECT_EQ(run({0xBB, 0x75, 0x00, 0x00})[0], 0x78);
    write[3] = 0x0F;
    EXPECT_EQ(status(write), to_byte(Status::E2promProtected));
    write[3] = 0x80;
    EXPECT_EQ(status(write), to_byte(Status::BadParameter));
    write[2] = 0x54;
    write[3] = 0x40;
    EXPECT_EQ(status(write), to_byte(Status::BadParameter));
    // Reads wrap at the end of the 256 bytes.
    const Bytes wrap = run({0xBB, 0x75, 0xF8, 0x00});
    ASSERT_EQ(wrap.size(), 17u);
    EXPECT_EQ(wrap[8], 0x78);
}

TEST_F(ReaderTest, ClockStartsAtTheHostTimeAndAdvances) {
    // Tuesday 2026-12-08 16:18:32: seconds, minutes, hours, day, month, weekday, year, in BCD.
    EXPECT_EQ(run({0xBB, 0x6B, 0x00, 0x00}),
              (Bytes{0x32, 0x18, 0x16, 0x08, 0x12, 0x02, 0x26, kOk}));
    EXPECT_EQ(run({0xBB, 0x6B, 0x00, 0x00}, 90s),
              (Bytes{0x02, 0x20, 0x16, 0x08, 0x12, 0x02, 0x26, kOk}));
}

TEST_F(ReaderTest, ClockSetThenReadAdvancesFromTheSetTime) {
    // 2099-12-31 23:59:58, weekday 4 as the host says; 3 s later it is 2000-01-01, weekday 5.
    ASSERT_EQ(status({0xBB, 0x6A, 0x58, 0x59, 0x23, 0x31, 0x12, 0x04, 0x99}), kOk);
    EXPECT_EQ(run({0xBB, 0x6B, 0x00, 0x00}),
              (Bytes{0x58, 0x59, 0x23, 0x31, 0x12, 0x04, 0x99, kOk}));
    EXPECT_EQ(run({0xBB, 0x6B, 0x00, 0x00}, 3s),
              (Bytes{0x01, 0x00, 0x00, 0x01, 0x01, 0x05, 0x00, kOk}));
    // Set again later: time counts from the new setting.
    ASSERT_EQ(run({0xBB, 0x6A, 0x00, 0x00, 0x12, 0x29, 0x02, 0x07, 0x24}, 10s), (Bytes{kOk}));
    EXPECT_EQ(run({0xBB, 0x6B, 0x00, 0x00}, 10s + 86400s),
              (Bytes{0x00, 0x00, 0x12, 0x01, 0x03, 0x01, 0x24, kOk}));
}

TEST_F(ReaderTest, ClockRefusesInvalidFields) {
    const Bytes good{0xBB, 0x6A, 0x00, 0x00, 0x00, 0x01, 0x01, 0x01, 0x24};
    struct Case {
        std::size_t index;
        std::uint8_t value;
    };
    const Case bad[] = {{2, 0x60}, {2, 0x0A}, {3, 0x60}, {4, 0x24}, {5, 0x00}, {5, 0x32},
                        {6, 0x00}, {6, 0x13}, {7, 0x00}, {7, 0x08}, {8, 0xA0}};
    for (const Case& c : bad) {
        Bytes p = good;
        p[c.index] = c.value;
        EXPECT_EQ(status(p), to_byte(Status::BadParameter)) << c.index << " " << int(c.value);
    }
    Bytes feb29 = good;
    feb29[5] = 0x29;
    feb29[6] = 0x02;
    EXPECT_EQ(status(feb29), kOk);  // 2024 is a leap year
    feb29[8] = 0x23;
    EXPECT_EQ(status(feb29), to_byte(Status::BadParameter));
}

TEST_F(ReaderTest, BeepModeZeroHoldsTheReplyForTheBeep) {
    struct Case {
        std::uint8_t mode, duration;
        std::chrono::milliseconds hold;
    };
    const Case cases[] = {
        {0, 10, 100ms}, {0, 0, 0ms}, {0, 250, 2400ms}, {1, 100, 0ms}, {7, 10, 0ms}};
    for (const Case& c : cases) {
        EXPECT_EQ(run({0xBB, 0x69, c.mode, c.duration}), (Bytes{kOk}));
        EXPECT_EQ(last_hold_, c.hold) << int(c.mode) << " " << int(c.duration);
    }
    EXPECT_EQ(reader_.beeps(), 5u);
}

TEST_F(ReaderTest, ResetCommandResetsTheFieldButKeepsKeys) {
    select();
    authenticate(1);
    ASSERT_EQ(status({0xBB, 0x71, 0x00, 0x00}), kOk);
    ASSERT_EQ(status({0xBB, 0x72, 0x55, 0x00}), kOk);
    EXPECT_EQ(reader_.card(kUid)->state(), CardState::Idle);
    select();  // REQA finds the formerly halted card
    EXPECT_EQ(status({0xBB, 0x44, 0x60, 0x01}), kOk);
}

TEST_F(ReaderTest, RemovingTheSelectedCardEndsTheSession) {
    select();
    authenticate(1);
    EXPECT_TRUE(reader_.remove(kUid));
    EXPECT_FALSE(reader_.selected());
    EXPECT_EQ(status({0xBB, 0x45, 0x04, 0x00}), kNoCard);
    EXPECT_FALSE(reader_.remove(kUid));
}

}  // namespace
}  // namespace tqrf_sim
