// Access conditions by name and purse arithmetic (tq_RWD_DLL_mifare.hpp), held against the
// simulator's own, separately written card model over every condition, key and operation.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "access_names.h"
#include "errors.h"
#include "tq_RWD_DLL_mifare.hpp"
#include "tqrf_sim/card.h"

namespace {

using namespace tqrf;
namespace sim = tqrf_sim;

TEST(AccessByName, EveryConditionHasANameAndTheNameGivesItsRightsBack) {
    for (mifare::Condition c = 0; c < 8; ++c) {
        for (bool trailer : {false, true}) {
            std::string error;
            const auto back =
                mifare::parse_access_rights(mifare::rights_text(c, trailer), trailer, error);
            ASSERT_TRUE(back) << error;
            // Trailer conditions 110 and 111 grant the same rights: the name gives 110.
            EXPECT_EQ(*back, trailer && c == 7 ? 6 : c);
            EXPECT_EQ(mifare::rights_text(*back, trailer), mifare::rights_text(c, trailer));
            EXPECT_EQ(mifare::parse_access_rights(mifare::condition_bits(c), trailer, error), c);
        }
    }
}

TEST(AccessByName, NamesAsPeopleWriteThemAndTheirRefusals) {
    struct Case {
        const char* text;
        bool trailer;
        int condition;     // -1: refused
        const char* says;  // part of the refusal
    };
    const Case cases[] = {
        {"read=AB,write=B", false, 4, ""},
        {"read=ab write=b", false, 4, ""},
        {"write=B read=BA", false, 4, ""},
        {"read=AB,write=B,inc=B,dec=AB", false, 6, ""},
        {"", false, 7, ""},  // nobody may do anything: locked
        {"read=never", false, 7, ""},
        {"read=AB", false, 2, ""},
        {"keya-write=B,bits-read=AB,bits-write=B,keyb-write=B", true, 3, ""},
        {"bits-read=AB", true, 6, ""},
        {"read=AB,write=A", false, -1, "no access condition of the card gives exactly"},
        {"read=C", false, -1, "who may is A, B, AB or -"},
        {"read", false, -1, "name=WHO expected"},
        {"colour=AB", false, -1, "\"colour\" is not a right of a data block"},
        {"read=AB", true, -1, "\"read\" is not a right of a trailer"},
        {"keya-write=A", true, -1, "the trailer conditions are:\n  000  keya-write=A,bits-read=A"},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto got = mifare::parse_access_rights(c.text, c.trailer, error);
        if (c.condition < 0) {
            EXPECT_FALSE(got) << c.text;
            EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
        } else {
            EXPECT_EQ(got, mifare::Condition(c.condition)) << c.text << ": " << error;
        }
    }
}

TEST(AccessByName, CommandLineItemsAndWhatIsNeverWritten) {
    using tool::CommandError;
    const auto ac = tool::parse_access_items({"data:read=AB,write=B", "trailer:011"});
    EXPECT_EQ(ac.encode(), (std::array<std::uint8_t, 3>{0x78, 0x77, 0x88}));
    EXPECT_EQ(tool::parse_access_items({"0:110", "1:110", "2:000", "3:011"}).block,
              (std::array<mifare::Condition, 4>{6, 6, 0, 3}));
    EXPECT_FALSE(tool::access_problem(ac, false));

    struct Bad {
        std::vector<std::string> items;
        const char* says;
    };
    const Bad bad[] = {
        {{"data:000"}, "no condition for the trailer"},
        {{"trailer:001", "0:000"}, "no condition for data block 1"},
        {{"data:000", "1:000", "trailer:001"}, "block 1 of the sector is given twice"},
        {{"sector:000"}, "\"sector\" is not data, 0, 1, 2, 3 or trailer"},
        {{"data=000"}, "WHICH:RIGHTS expected"},
    };
    for (const auto& b : bad) {
        try {
            (void)tool::parse_access_items(b.items);
            ADD_FAILURE() << b.says;
        } catch (const CommandError& e) {
            EXPECT_EQ(e.status(), tool::kExitUsage);
            EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
        }
    }
    // Rights of key B alone under a trailer that makes key B readable belong to nobody.
    const auto void_b = tool::parse_access_items({"data:read=B,write=B", "trailer:001"});
    ASSERT_TRUE(tool::access_problem(void_b, true));
    EXPECT_NE(tool::access_problem(void_b, true)->find("makes key B readable"), std::string::npos);
    // Access bits no key can write again need force.
    const auto frozen = tool::parse_access_items({"data:000", "trailer:110"});
    EXPECT_TRUE(tool::access_problem(frozen, false));
    EXPECT_FALSE(tool::access_problem(frozen, true));
}

TEST(PurseArithmetic, BelowZeroAndPastTheLargestValueNeedToBeAskedFor) {
    struct Case {
        bool inc;
        std::int32_t value;
        std::uint32_t amount;
        bool allow_negative, allow_wrap;
        std::optional<std::int32_t> result;
    };
    const Case cases[] = {
        {false, 120, 500, false, false, std::nullopt},
        {false, 120, 120, false, false, 0},
        {false, 120, 500, true, false, -380},
        {false, -5, 1, false, false, std::nullopt},
        {false, INT32_MIN, 1, true, false, std::nullopt},
        {false, INT32_MIN, 1, true, true, INT32_MAX},
        {true, INT32_MAX, 0, false, false, INT32_MAX},
        {true, INT32_MAX, 1, false, false, std::nullopt},
        {true, INT32_MAX, 1, false, true, INT32_MIN},
        {true, -1, 1, false, false, 0},
        {true, 0, 2147483647u, false, false, INT32_MAX},
    };
    for (const auto& c : cases) {
        const auto got =
            c.inc ? mifare::checked_increment(c.value, c.amount, c.allow_wrap)
                  : mifare::checked_decrement(c.value, c.amount, c.allow_negative, c.allow_wrap);
        EXPECT_EQ(got, c.result) << (c.inc ? "inc " : "dec ") << c.value << " by " << c.amount;
    }
}

// The simulator's card model is written apart from the header on purpose; the two must agree
// on every condition, for both keys, on every operation.
TEST(AccessDifferential, TheSimulatorsCardAndTheHeaderAgreeOnEveryConditionKeyAndOperation) {
    const sim::Key key_a{1, 2, 3, 4, 5, 6}, key_b{9, 8, 7, 6, 5, 4};
    for (mifare::Condition data = 0; data < 8; ++data) {
        for (mifare::Condition trailer = 0; trailer < 8; ++trailer) {
            const mifare::AccessConditions ac{{data, data, data, trailer}};
            sim::CardImage image{};
            image[0] = 0x11;
            const Block t =
                mifare::make_trailer(Key{{1, 2, 3, 4, 5, 6}}, ac, Key{{9, 8, 7, 6, 5, 4}});
            std::copy(t.begin(), t.end(), image.begin() + 16 * 7);  // sector 1
            const auto bytes = ac.encode();
            EXPECT_EQ(sim::encode_access({data, data, data, trailer}), bytes);
            sim::MifareClassic card(image);
            const bool b_readable = mifare::key_b_readable(trailer);
            EXPECT_EQ(card.key_b_readable(1), b_readable);
            EXPECT_EQ(card.authenticate(sim::KeyType::B, 1, key_b) == sim::Status::Ok, !b_readable)
                << int(trailer);
            EXPECT_EQ(card.authenticate(sim::KeyType::A, 1, key_a), sim::Status::Ok);
            const auto rights = mifare::data_access(data);
            for (auto [type, key] :
                 {std::pair{sim::KeyType::A, KeyType::A}, std::pair{sim::KeyType::B, KeyType::B}}) {
                const std::string where = "data " + mifare::condition_bits(data) + " trailer " +
                                          mifare::condition_bits(trailer) + " key " +
                                          (key == KeyType::A ? "A" : "B");
                EXPECT_EQ(card.allows(4, type, sim::Access::Read), mifare::allows(rights.read, key))
                    << where;
                EXPECT_EQ(card.allows(4, type, sim::Access::Write),
                          mifare::allows(rights.write, key))
                    << where;
                EXPECT_EQ(card.allows(4, type, sim::Access::Increment),
                          mifare::allows(rights.increment, key))
                    << where;
                EXPECT_EQ(card.allows(4, type, sim::Access::DecrementTransferRestore),
                          mifare::allows(rights.decrement, key))
                    << where;
                // The trailer: reading the access bits, and which fields a write changes.
                const auto tr = mifare::trailer_access(trailer);
                sim::Block out{};
                EXPECT_EQ(card.read(7, type, out) == sim::Status::Ok,
                          mifare::allows(tr.access_read, key))
                    << where;
                sim::MifareClassic copy(image);
                sim::Block next{};
                std::fill(next.begin(), next.end(), std::uint8_t{0x5A});
                const auto same_bits = ac.encode();
                std::copy(same_bits.begin(), same_bits.end(), next.begin() + 6);
                const auto st = copy.write(7, type, next);
                const bool any = mifare::allows(tr.key_a_write, key) ||
                                 mifare::allows(tr.access_write, key) ||
                                 mifare::allows(tr.key_b_write, key);
                EXPECT_EQ(st == sim::Status::Ok, any) << where;
                if (st == sim::Status::Ok) {
                    const auto& m = copy.memory();
                    EXPECT_EQ(m[16 * 7] == 0x5A, mifare::allows(tr.key_a_write, key)) << where;
                    EXPECT_EQ(m[16 * 7 + 9] == 0x5A, mifare::allows(tr.access_write, key)) << where;
                    EXPECT_EQ(m[16 * 7 + 10] == 0x5A, mifare::allows(tr.key_b_write, key)) << where;
                }
            }
        }
    }
}

TEST(AccessDifferential, ValueBlocksAreLaidOutAlike) {
    for (std::int32_t v : {0, 1, -1, 100, INT32_MAX, INT32_MIN, -380}) {
        for (std::uint8_t addr : {std::uint8_t{0}, std::uint8_t{4}, std::uint8_t{0xFF}}) {
            const Block b = mifare::ValueBlock{v, addr}.encode();
            const sim::Block s = sim::make_value_block(static_cast<std::uint32_t>(v), addr);
            EXPECT_TRUE(std::equal(b.begin(), b.end(), s.begin())) << v;
            EXPECT_EQ(sim::parse_value_block(s), static_cast<std::uint32_t>(v));
        }
    }
}

}  // namespace
