#include "tqrf_sim/card.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tqrf_sim {
namespace {

constexpr Uid kUid{0x11, 0x22, 0x33, 0x44};

Block block_of(const MifareClassic& c, std::size_t block) {
    Block b{};
    std::copy_n(c.memory().begin() + static_cast<std::ptrdiff_t>(block * 16), 16, b.begin());
    return b;
}

// Every status byte has a name of its own; a byte that is no status has none.
TEST(Status, Names) {
    EXPECT_STREQ(status_name(Status::Ok), "ok");
    EXPECT_STREQ(status_name(Status::NoCard), "no card");
    EXPECT_STREQ(status_name(Status::ValueFormat), "value format error");
    EXPECT_STREQ(status_name(Status::BadAccessBits), "contradictory access bits");
    std::set<std::string> names;
    for (int b = 0; b <= 0xFF; ++b) {
        const std::string name = status_name(static_cast<Status>(b));
        const bool is_status = b == 0 || (b >= 0x11 && b <= 0x1B);
        EXPECT_EQ(name != "?", is_status) << b;
        if (is_status) names.insert(name);
    }
    EXPECT_EQ(names.size(), 12u);
}

// A trailer with the factory keys and the given access conditions.
Block trailer(const AccessConditions& c, const Key& a = kFactoryKey, const Key& b = kFactoryKey) {
    Block t{};
    std::copy(a.begin(), a.end(), t.begin());
    const auto bytes = encode_access(c);
    std::copy(bytes.begin(), bytes.end(), t.begin() + 6);
    t[9] = 0x69;
    std::copy(b.begin(), b.end(), t.begin() + 10);
    return t;
}

// Sets sector 1's trailer through the transport configuration (key A may write everything).
MifareClassic card_with_sector1(const AccessConditions& c, const Key& key_b = kFactoryKey) {
    MifareClassic card(kUid);
    EXPECT_EQ(card.write(7, KeyType::A, trailer(c, kFactoryKey, key_b)), Status::Ok);
    return card;
}

TEST(AccessBits, FactoryBytesMeanTransportConfiguration) {
    const std::array<std::uint8_t, 3> bytes{0xFF, 0x07, 0x80};
    const auto c = decode_access(bytes);
    ASSERT_TRUE(c);
    EXPECT_EQ(*c, (AccessConditions{0, 0, 0, 1}));
    EXPECT_EQ(encode_access(*c), bytes);
}

TEST(AccessBits, EveryConditionRoundTripsAndAnyFlippedBitIsContradictory) {
    for (unsigned n = 0; n < 4096; ++n) {
        const AccessConditions c{
            static_cast<std::uint8_t>(n & 7), static_cast<std::uint8_t>(n >> 3 & 7),
            static_cast<std::uint8_t>(n >> 6 & 7), static_cast<std::uint8_t>(n >> 9 & 7)};
        const auto bytes = encode_access(c);
        ASSERT_EQ(decode_access(bytes), c);
        for (unsigned bit = 0; bit < 24; ++bit) {
            auto bad = bytes;
            bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            ASSERT_FALSE(decode_access(bad)) << n << " bit " << bit;
        }
    }
}

TEST(ValueBlock, StandardLayout) {
    const Block b = make_value_block(0x12345678, 5);
    const Block expected{0x78, 0x56, 0x34, 0x12, 0x87, 0xA9, 0xCB, 0xED,
                         0x78, 0x56, 0x34, 0x12, 0x05, 0xFA, 0x05, 0xFA};
    EXPECT_EQ(b, expected);
    EXPECT_EQ(parse_value_block(b), 0x12345678u);
}

TEST(ValueBlock, AnyInconsistentByteIsRejected) {
    for (std::size_t i = 0; i < 16; ++i) {
        Block b = make_value_block(100, 4);
        b[i] ^= 0x01;
        EXPECT_FALSE(parse_value_block(b)) << "byte " << i;
    }
    EXPECT_FALSE(parse_value_block(Block{}));
}

TEST(FactoryCard, ManufacturerBlockAndTrailers) {
    const MifareClassic card(kUid);
    const Block b0 = block_of(card, 0);
    EXPECT_EQ(b0[0], 0x11);
    EXPECT_EQ(b0[3], 0x44);
    EXPECT_EQ(b0[4], 0x11 ^ 0x22 ^ 0x33 ^ 0x44);  // BCC
    EXPECT_EQ(b0[5], 0x08);                       // SAK
    EXPECT_EQ(b0[6], 0x04);                       // ATQA
    EXPECT_EQ(b0[7], 0x00);
    for (std::size_t s = 0; s < kSectorCount; ++s) {
        const Block t = block_of(card, trailer_of(s));
        EXPECT_EQ(t, trailer({0, 0, 0, 1})) << "sector " << s;
        EXPECT_EQ(block_of(card, s * 4 + 1), Block{});
    }
    EXPECT_EQ(card.uid(), kUid);
    EXPECT_EQ(card.state(), CardState::Idle);
}

TEST(FactoryCard, TrailerReadsKeyAAsZerosAndKeyBWhereReadable) {
    const MifareClassic card(kUid);
    Block out{};
    ASSERT_EQ(card.read(3, KeyType::A, out), Status::Ok);
    const Block expected{0,    0,    0,    0,    0,    0,    0xFF, 0x07,
                         0x80, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(out, expected);
    const CardImage as_read = card.image_as_read();
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), as_read.begin() + 48));
}

TEST(FactoryCard, Block0IsReadOnlyWhateverTheAccessBits) {
    MifareClassic card(kUid);
    Block out{};
    EXPECT_EQ(card.read(0, KeyType::A, out), Status::Ok);
    EXPECT_EQ(card.write(0, KeyType::A, Block{}), Status::AccessDenied);
    EXPECT_EQ(card.init_value(0, KeyType::A, 1), Status::AccessDenied);
    EXPECT_EQ(card.transfer(0, KeyType::A, make_value_block(1, 0)), Status::AccessDenied);
    EXPECT_EQ(block_of(card, 0)[0], 0x11);
}

// Data block rights per condition, from the card's public documentation. A = key A, B = key
// B, "AB" both, "-" never. Columns: read, write, increment, decrement/transfer/restore.
struct DataRow {
    std::uint8_t condition;
    const char* rights[4];
};
constexpr DataRow kDataTable[] = {
    {0b000, {"AB", "AB", "AB", "AB"}}, {0b010, {"AB", "-", "-", "-"}},
    {0b100, {"AB", "B", "-", "-"}},    {0b110, {"AB", "B", "B", "AB"}},
    {0b001, {"AB", "-", "-", "AB"}},   {0b011, {"B", "B", "-", "-"}},
    {0b101, {"B", "-", "-", "-"}},     {0b111, {"-", "-", "-", "-"}},
};

TEST(AccessConditions, DataBlockRightsFollowTheTable) {
    for (const DataRow& row : kDataTable) {
        // Trailer condition 011: key B not readable, so it authenticates.
        const MifareClassic card = card_with_sector1({row.condition, 0, 0, 0b011});
        for (int right = 0; right < 4; ++right) {
            const std::string who = row.rights[right];
            EXPECT_EQ(card.allows(4, KeyType::A, static_cast<Access>(right)),
                      who.find('A') != std::string::npos)
                << "condition " << int(row.condition) << " right " << right;
            EXPECT_EQ(card.allows(4, KeyType::B, static_cast<Access>(right)),
                      who.find('B') != std::string::npos)
                << "condition " << int(row.condition) << " right " << right;
        }
    }
}

TEST(AccessConditions, OperationsAreRefusedWhereTheRightIsMissing) {
    MifareClassic card = card_with_sector1({0b001, 0b010, 0b111, 0b011});
    ASSERT_EQ(card.transfer(4, KeyType::A, make_value_block(7, 4)), Status::Ok);
    Block b{};
    // Block 4 (001): value block that can only be decremented.
    EXPECT_EQ(card.load_value(4, KeyType::A, Access::Increment, b), Status::AccessDenied);
    EXPECT_EQ(card.load_value(4, KeyType::A, Access::DecrementTransferRestore, b), Status::Ok);
    EXPECT_EQ(card.write(4, KeyType::A, Block{}), Status::AccessDenied);
    // Block 5 (010): read only.
    EXPECT_EQ(card.read(5, KeyType::B, b), Status::Ok);
    EXPECT_EQ(card.write(5, KeyType::B, Block{}), Status::AccessDenied);
    EXPECT_EQ(card.init_value(5, KeyType::A, 1), Status::AccessDenied);
    // Block 6 (111): nothing.
    EXPECT_EQ(card.read(6, KeyType::A, b), Status::AccessDenied);
    std::uint32_t v = 0;
    EXPECT_EQ(card.read_value(6, KeyType::B, v), Status::AccessDenied);
}

TEST(AccessConditions, ValueCommandsCheckTheFormat) {
    MifareClassic card(kUid);
    Block b{};
    std::uint32_t v = 0;
    EXPECT_EQ(card.read_value(4, KeyType::A, v), Status::ValueFormat);
    EXPECT_EQ(card.load_value(4, KeyType::A, Access::Increment, b), Status::ValueFormat);
    ASSERT_EQ(card.init_value(4, KeyType::A, 42), Status::Ok);
    EXPECT_EQ(card.read_value(4, KeyType::A, v), Status::Ok);
    EXPECT_EQ(v, 42u);
    EXPECT_EQ(block_of(card, 4), make_value_block(42, 4));
}

TEST(Trailer, KeyBAuthenticatesOnlyWhereItCannotBeRead) {
    const Key key_b{1, 2, 3, 4, 5, 6};
    for (std::uint8_t c = 0; c < 8; ++c) {
        const MifareClassic card = card_with_sector1({0, 0, 0, c}, key_b);
        const bool readable = c == 0b000 || c == 0b010 || c == 0b001;
        EXPECT_EQ(card.key_b_readable(1), readable) << int(c);
        EXPECT_EQ(card.authenticate(KeyType::B, 1, key_b),
                  readable ? Status::AuthFailed : Status::Ok)
            << int(c);
        EXPECT_EQ(card.authenticate(KeyType::A, 1, kFactoryKey), Status::Ok);
        EXPECT_EQ(card.authenticate(KeyType::A, 1, key_b), Status::AuthFailed);
    }
}

TEST(Trailer, WritesOnlyTheFieldsTheConditionAllows) {
    // Condition 011: key B writes key A, the access bits and key B; key A writes nothing.
    const Key key_b{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5};
    MifareClassic card = card_with_sector1({0, 0, 0, 0b011}, key_b);
    const Block before = block_of(card, 7);
    EXPECT_EQ(card.write(7, KeyType::A, trailer({0, 0, 0, 0b001})), Status::AccessDenied);
    EXPECT_EQ(block_of(card, 7), before);

    const Key new_a{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    ASSERT_EQ(card.write(7, KeyType::B, trailer({0, 0, 0, 0b100}, new_a, key_b)), Status::Ok);
    // Condition 100: key B writes the keys but not the access bits.
    ASSERT_EQ(card.write(7, KeyType::B, trailer({0, 0, 0, 0b001}, kFactoryKey, key_b)), Status::Ok);
    const Block t = block_of(card, 7);
    EXPECT_TRUE(std::equal(kFactoryKey.begin(), kFactoryKey.end(), t.begin()));
    const auto c = decode_access(std::span<const std::uint8_t, 3>(t.data() + 6, 3));
    ASSERT_TRUE(c);
    EXPECT_EQ((*c)[3], 0b100);
}

TEST(Trailer, ReadUnderKeyBHidesKeyBAndRefusesWhereOnlyKeyAReads) {
    const Key key_b{9, 9, 9, 9, 9, 9};
    const MifareClassic card = card_with_sector1({0, 0, 0, 0b011}, key_b);
    Block out{};
    ASSERT_EQ(card.read(7, KeyType::B, out), Status::Ok);
    EXPECT_EQ(out[10], 0);  // key B not readable under 011
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[9], 0x69);
    const MifareClassic factory(kUid);
    EXPECT_EQ(factory.read(7, KeyType::B, out), Status::AccessDenied);  // 001: access bits A only
}

TEST(Trailer, ContradictoryAccessBitsAreRefused) {
    MifareClassic card(kUid);
    Block t = trailer({0, 0, 0, 1});
    t[7] ^= 0x10;
    EXPECT_EQ(card.write(7, KeyType::A, t), Status::BadAccessBits);
    EXPECT_EQ(block_of(card, 7), trailer({0, 0, 0, 1}));
}

TEST(Trailer, ImageWithContradictoryBitsLocksTheSector) {
    CardImage image = MifareClassic(kUid).memory();
    image[7 * 16 + 6] = 0x00;
    MifareClassic card(image);
    Block out{};
    EXPECT_EQ(card.read(4, KeyType::A, out), Status::AccessDenied);
    EXPECT_EQ(card.read(7, KeyType::A, out), Status::AccessDenied);
    EXPECT_EQ(card.read(8, KeyType::A, out), Status::Ok);
}

TEST(States, RequestWakeUpSelectHalt) {
    MifareClassic card(kUid);
    EXPECT_FALSE(card.on_select(kUid));  // idle: not ready
    EXPECT_TRUE(card.on_request(false));
    EXPECT_EQ(card.state(), CardState::Ready);
    EXPECT_FALSE(card.on_select(Uid{1, 2, 3, 4}));
    EXPECT_TRUE(card.on_select(kUid));
    EXPECT_EQ(card.state(), CardState::Active);
    card.halt();
    EXPECT_FALSE(card.on_request(false));  // REQA does not reach a halted card
    EXPECT_EQ(card.state(), CardState::Halt);
    EXPECT_TRUE(card.on_request(true));  // WUPA does
    card.to_rest();                      // woken from halt: back to halt
    EXPECT_EQ(card.state(), CardState::Halt);
    card.power_cycle();
    EXPECT_TRUE(card.on_request(false));
    card.to_rest();
    EXPECT_EQ(card.state(), CardState::Idle);
}

}  // namespace
}  // namespace tqrf_sim
