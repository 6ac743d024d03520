// Pure helpers: typed byte values and hex, trailer access bits, value blocks.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "tq_RWD_DLL_mifare.hpp"

namespace {

using tqrf::Block;
using tqrf::Key;
using tqrf::mifare::AccessConditions;
using tqrf::mifare::Keys;
using tqrf::mifare::ValueBlock;

Block block_of(std::initializer_list<int> bytes) {
    Block b;
    std::size_t i = 0;
    for (int v : bytes) b[i++] = static_cast<std::uint8_t>(v);
    return b;
}

// ---- hex ----------------------------------------------------------------------------------------

TEST(BytesHex, EncodesUpperCaseByteZeroFirst) {
    Key k{{0x00, 0x0F, 0xF0, 0xAB, 0x12, 0xff}};
    EXPECT_EQ(k.hex(), "000FF0AB12FF");
}

TEST(BytesHex, ParsesAcceptedForms) {
    const Key expected{{0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};
    for (const char* text : {"A1B2C3D4E5F6", "a1b2c3d4e5f6", "A1 B2 C3 D4 E5 F6",
                             "a1:b2:c3:d4:e5:f6", "A1-B2-C3-D4-E5-F6"}) {
        auto k = Key::from_hex(text);
        ASSERT_TRUE(k.has_value()) << text;
        EXPECT_EQ(*k, expected) << text;
    }
}

TEST(BytesHex, RefusesMalformedText) {
    for (const char* text : {"", "A1B2C3D4E5", "A1B2C3D4E5F6A7", "A1B2C3D4E5F", "G1B2C3D4E5F6",
                             "0xA1B2C3D4E5", "A 1B2C3D4E5F6", "A1B2C3D4E5F6\n"}) {
        EXPECT_FALSE(Key::from_hex(text).has_value()) << '"' << text << '"';
    }
}

TEST(BytesHex, BlockRoundTrip) {
    Block b;
    for (std::size_t i = 0; i < 16; ++i) b[i] = static_cast<std::uint8_t>(i * 17);
    auto back = Block::from_hex(b.hex());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, b);
    EXPECT_EQ(b.hex().substr(20, 2), "AA");
}

// ---- access bits --------------------------------------------------------------------------------

struct AccessCase {
    std::array<std::uint8_t, 3> bytes;
    std::array<std::uint8_t, 4> conditions;  // blocks 0, 1, 2, trailer
    const char* what;
};

// Encodings seen on real cards and in card documentation.
const AccessCase kAccessCases[] = {
    {{0xFF, 0x07, 0x80}, {0, 0, 0, 1}, "factory default / transport configuration"},
    {{0x7F, 0x07, 0x88}, {0, 0, 0, 3}, "data free, keys and bits writable with key B"},
    {{0x78, 0x77, 0x88}, {4, 4, 4, 3}, "data read AB write B"},
    {{0x08, 0x77, 0x8F}, {6, 6, 6, 3}, "value blocks recharged with key B"},
    {{0xFF, 0x0F, 0x00}, {0, 0, 0, 0}, "all 000"},
    {{0x00, 0xF0, 0xFF}, {7, 7, 7, 7}, "all 111"},
    {{0x87, 0x87, 0x87}, {2, 2, 2, 5}, "data read-only, bits writable with key B"},
};

TEST(AccessBits, DecodesKnownEncodings) {
    for (const auto& c : kAccessCases) {
        auto ac = AccessConditions::decode(c.bytes[0], c.bytes[1], c.bytes[2]);
        ASSERT_TRUE(ac.has_value()) << c.what;
        for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(ac->block[i], c.conditions[i]) << c.what;
    }
}

TEST(AccessBits, EncodesKnownEncodings) {
    for (const auto& c : kAccessCases) {
        AccessConditions ac{{c.conditions[0], c.conditions[1], c.conditions[2], c.conditions[3]}};
        EXPECT_EQ(ac.encode(), c.bytes) << c.what;
    }
}

TEST(AccessBits, TransportIsFactoryDefault) {
    EXPECT_EQ(AccessConditions::transport().encode(),
              (std::array<std::uint8_t, 3>{0xFF, 0x07, 0x80}));
    const Block trailer = tqrf::mifare::make_trailer(
        tqrf::kDefaultKey, AccessConditions::transport(), tqrf::kDefaultKey);
    EXPECT_EQ(trailer.hex(), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
    auto ac = AccessConditions::from_trailer(trailer);
    ASSERT_TRUE(ac);
    EXPECT_EQ(*ac, AccessConditions::transport());
    // In the transport configuration key A does everything and key B is readable data.
    for (int b = 0; b < 3; ++b) {
        const auto d = ac->data(b);
        EXPECT_EQ(d.read, Keys::AB);
        EXPECT_EQ(d.write, Keys::AB);
        EXPECT_EQ(d.increment, Keys::AB);
        EXPECT_EQ(d.decrement, Keys::AB);
    }
    const auto t = ac->trailer();
    EXPECT_EQ(t.key_a_read, Keys::Never);
    EXPECT_EQ(t.key_a_write, Keys::A);
    EXPECT_EQ(t.access_read, Keys::A);
    EXPECT_EQ(t.access_write, Keys::A);
    EXPECT_EQ(t.key_b_read, Keys::A);
    EXPECT_EQ(t.key_b_write, Keys::A);
    EXPECT_TRUE(tqrf::mifare::key_b_readable(ac->block[3]));
    EXPECT_FALSE(tqrf::mifare::access_bits_frozen(ac->block[3]));
}

TEST(AccessBits, EveryConditionSetRoundTrips) {
    for (unsigned n = 0; n < 8 * 8 * 8 * 8; ++n) {
        AccessConditions ac{
            {static_cast<std::uint8_t>(n & 7), static_cast<std::uint8_t>((n >> 3) & 7),
             static_cast<std::uint8_t>((n >> 6) & 7), static_cast<std::uint8_t>((n >> 9) & 7)}};
        const auto bytes = ac.encode();
        auto back = AccessConditions::decode(bytes[0], bytes[1], bytes[2]);
        ASSERT_TRUE(back) << n;
        ASSERT_EQ(*back, ac) << n;
    }
}

TEST(AccessBits, AnySingleBitFlipIsRefused) {
    for (const auto& c : kAccessCases) {
        for (int bit = 0; bit < 24; ++bit) {
            auto b = c.bytes;
            b[bit / 8] = static_cast<std::uint8_t>(b[bit / 8] ^ (1u << (bit % 8)));
            EXPECT_FALSE(AccessConditions::decode(b[0], b[1], b[2]).has_value())
                << c.what << " bit " << bit;
        }
    }
    EXPECT_FALSE(AccessConditions::decode(0x00, 0x00, 0x00).has_value());
    EXPECT_FALSE(AccessConditions::decode(0xFF, 0xFF, 0xFF).has_value());
}

TEST(AccessBits, BitPositionsOfEachBlock) {
    // C1 of block i is bit 4 + i of byte 7, C2 bit i of byte 8, C3 bit 4 + i of byte 8.
    for (int blk = 0; blk < 4; ++blk) {
        for (int c : {4, 2, 1}) {
            const auto cond = static_cast<std::uint8_t>(c);
            AccessConditions ac{};
            ac.block[static_cast<std::size_t>(blk)] = cond;
            const auto b = ac.encode();
            const unsigned bit = 1u << blk;
            const unsigned c1 = b[1] >> 4, c2 = b[2] & 0xFu, c3 = b[2] >> 4;
            EXPECT_EQ(c1, cond == 4 ? bit : 0u);
            EXPECT_EQ(c2, cond == 2 ? bit : 0u);
            EXPECT_EQ(c3, cond == 1 ? bit : 0u);
        }
    }
}

TEST(AccessBits, DataBlockTable) {
    using K = Keys;
    struct Row {
        std::uint8_t cond;
        Keys read, write, inc, dec;
    };
    const Row rows[] = {
        {0b000, K::AB, K::AB, K::AB, K::AB},
        {0b010, K::AB, K::Never, K::Never, K::Never},
        {0b100, K::AB, K::B, K::Never, K::Never},
        {0b110, K::AB, K::B, K::B, K::AB},
        {0b001, K::AB, K::Never, K::Never, K::AB},
        {0b011, K::B, K::B, K::Never, K::Never},
        {0b101, K::B, K::Never, K::Never, K::Never},
        {0b111, K::Never, K::Never, K::Never, K::Never},
    };
    for (const auto& r : rows) {
        const auto a = tqrf::mifare::data_access(r.cond);
        EXPECT_EQ(a.read, r.read) << int(r.cond);
        EXPECT_EQ(a.write, r.write) << int(r.cond);
        EXPECT_EQ(a.increment, r.inc) << int(r.cond);
        EXPECT_EQ(a.decrement, r.dec) << int(r.cond);
    }
}

TEST(AccessBits, TrailerTable) {
    using K = Keys;
    struct Row {
        std::uint8_t cond;
        Keys a_write, bits_read, bits_write, b_read, b_write;
        bool b_readable, frozen;
    };
    const Row rows[] = {
        {0b000, K::A, K::A, K::Never, K::A, K::A, true, true},
        {0b010, K::Never, K::A, K::Never, K::A, K::Never, true, true},
        {0b100, K::B, K::AB, K::Never, K::Never, K::B, false, true},
        {0b110, K::Never, K::AB, K::Never, K::Never, K::Never, false, true},
        {0b001, K::A, K::A, K::A, K::A, K::A, true, false},
        {0b011, K::B, K::AB, K::B, K::Never, K::B, false, false},
        {0b101, K::Never, K::AB, K::B, K::Never, K::Never, false, false},
        {0b111, K::Never, K::AB, K::Never, K::Never, K::Never, false, true},
    };
    for (const auto& r : rows) {
        const auto a = tqrf::mifare::trailer_access(r.cond);
        EXPECT_EQ(a.key_a_read, K::Never) << int(r.cond);
        EXPECT_EQ(a.key_a_write, r.a_write) << int(r.cond);
        EXPECT_EQ(a.access_read, r.bits_read) << int(r.cond);
        EXPECT_EQ(a.access_write, r.bits_write) << int(r.cond);
        EXPECT_EQ(a.key_b_read, r.b_read) << int(r.cond);
        EXPECT_EQ(a.key_b_write, r.b_write) << int(r.cond);
        EXPECT_EQ(tqrf::mifare::key_b_readable(r.cond), r.b_readable) << int(r.cond);
        EXPECT_EQ(tqrf::mifare::access_bits_frozen(r.cond), r.frozen) << int(r.cond);
    }
}

TEST(AccessBits, AllowsAndWords) {
    using tqrf::KeyType;
    using tqrf::mifare::allows;
    EXPECT_TRUE(allows(Keys::AB, KeyType::A));
    EXPECT_TRUE(allows(Keys::AB, KeyType::B));
    EXPECT_TRUE(allows(Keys::A, KeyType::A));
    EXPECT_FALSE(allows(Keys::A, KeyType::B));
    EXPECT_FALSE(allows(Keys::B, KeyType::A));
    EXPECT_FALSE(allows(Keys::Never, KeyType::A));
    EXPECT_EQ(tqrf::mifare::describe(tqrf::mifare::data_access(0b110)),
              "read AB, write B, inc B, dec/transfer/restore AB");
    EXPECT_EQ(tqrf::mifare::describe(tqrf::mifare::trailer_access(0b001)),
              "key A write A; access bits read A write A; key B read A write A");
    EXPECT_EQ(tqrf::mifare::condition_bits(0b011), "011");
}

TEST(Geometry, SectorsAndTrailers) {
    using namespace tqrf::mifare;
    EXPECT_EQ(sector_of(0), 0);
    EXPECT_EQ(sector_of(7), 1);
    EXPECT_EQ(sector_of(63), 15);
    EXPECT_EQ(trailer_of(0), 3);
    EXPECT_EQ(trailer_of(15), 63);
    EXPECT_EQ(first_block(5), 20);
    EXPECT_TRUE(is_trailer(3));
    EXPECT_TRUE(is_trailer(63));
    EXPECT_FALSE(is_trailer(4));
}

// ---- value blocks
// ---------------------------------------------------------------------------------

TEST(ValueBlocks, EncodesTheCardLayout) {
    struct Case {
        std::int32_t value;
        std::uint8_t address;
        const char* hex;
    };
    const Case cases[] = {
        {100, 4, "640000009BFFFFFF6400000004FB04FB"},
        {0, 0, "00000000FFFFFFFF0000000000FF00FF"},
        {-1, 5, "FFFFFFFF00000000FFFFFFFF05FA05FA"},
        {0x12345678, 0x3F, "7856341287A9CBED785634123FC03FC0"},
        {INT32_MIN, 0xFF, "00000080FFFFFF7F00000080FF00FF00"},
    };
    for (const auto& c : cases) {
        const Block b = ValueBlock{c.value, c.address}.encode();
        EXPECT_EQ(b.hex(), c.hex) << c.value;
        auto back = ValueBlock::decode(b);
        ASSERT_TRUE(back) << c.value;
        EXPECT_EQ(back->value, c.value);
        EXPECT_EQ(back->address, c.address);
    }
}

TEST(ValueBlocks, AnyCorruptedByteIsRefused) {
    const Block good = ValueBlock{123456, 9}.encode();
    ASSERT_TRUE(ValueBlock::is_valid(good));
    for (std::size_t i = 0; i < 16; ++i) {
        for (int flip : {0x01, 0x80, 0xFF}) {
            Block bad = good;
            bad[i] = static_cast<std::uint8_t>(bad[i] ^ flip);
            EXPECT_FALSE(ValueBlock::is_valid(bad)) << "byte " << i << " ^ " << flip;
        }
    }
}

TEST(ValueBlocks, OrdinaryDataIsNotAValue) {
    EXPECT_FALSE(ValueBlock::is_valid(Block{}));
    EXPECT_FALSE(ValueBlock::is_valid(block_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
    // The factory trailer is not a value block either.
    EXPECT_FALSE(ValueBlock::is_valid(tqrf::mifare::make_trailer(
        tqrf::kDefaultKey, AccessConditions::transport(), tqrf::kDefaultKey)));
}

}  // namespace
