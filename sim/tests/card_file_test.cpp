// The card tqrf-sim serves for an image file: the same partial card in every format is the
// same card, filled in by the same rule, and a file without a UID is no card at all.
#include "card_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

namespace image = tqrf::image;

std::string cards(const std::string& name) {
    return std::string(TQRF_SIM_CARDS_DIR) + "/" + name;
}

image::CardImage load(const std::string& path) {
    std::string error;
    const auto file = image::load_file(path, std::nullopt, error);
    EXPECT_TRUE(file) << path << " " << error;
    return file ? file->card : image::CardImage{};
}

tqrf::Block block(const image::Memory& m, int b) {
    return image::image_block(m, b);
}

TEST(SimCardFile, APartialCardIsTheSameCardInEveryFormat) {
    // Sectors 0 and 1 read with both keys, 2 to 15 not: zeros (eml, Proxmark3 JSON), unknown
    // bytes (nfc), dead sectors (mct).
    std::string nfc_error;
    const auto nfc = tqrf_sim_tool::served_card(load(cards("partial.nfc")), nfc_error);
    ASSERT_TRUE(nfc) << nfc_error;
    ASSERT_EQ(nfc->notices.size(), 14u);
    for (int s = 2; s < 16; ++s) {
        const int b = s * 4;
        EXPECT_EQ(nfc->notices[static_cast<std::size_t>(s - 2)],
                  "sector " + std::to_string(s) + ": block " + std::to_string(b) + ", " +
                      std::to_string(b + 1) + ", " + std::to_string(b + 2) +
                      "; the access bits (transport: FF0780); key A (FFFFFFFFFFFF); key B "
                      "(FFFFFFFFFFFF)");
        EXPECT_EQ(block(nfc->memory, b + 3).hex(), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
        EXPECT_EQ(block(nfc->memory, b).hex(), std::string(32, '0'));
    }
    EXPECT_EQ(block(nfc->memory, 0).hex(), "9C15A3E7CD0804006263646566676869");
    EXPECT_EQ(block(nfc->memory, 3).hex(), "A0A1A2A3A4A5787788C1B0B1B2B3B4B5");
    EXPECT_EQ(block(nfc->memory, 7).hex(), "D3F7D3F7D3F77F078840FFFFFFFFFFFF");

    for (const char* name : {"partial-pm3.json", "partial.eml", "partial.mct"}) {
        SCOPED_TRACE(name);
        std::string error;
        const auto card = tqrf_sim_tool::served_card(load(cards(name)), error);
        ASSERT_TRUE(card) << error;
        EXPECT_EQ(card->memory, nfc->memory);
        EXPECT_EQ(card->notices, nfc->notices);
    }
}

TEST(SimCardFile, BlockZeroNotReadIsBuiltFromTheUid) {
    // A Proxmark3 dump that names the card but could not read sector 0.
    auto card = load(cards("partial-pm3.json"));
    for (int b = 0; b < 4; ++b) card.read[static_cast<std::size_t>(b)] = false;
    card.key_known[0] = {false, false};
    std::string error;
    const auto served = tqrf_sim_tool::served_card(card, error);
    ASSERT_TRUE(served) << error;
    EXPECT_EQ(block(served->memory, 0).hex(), "9C15A3E7CD0804006263646566676869");
    EXPECT_EQ(served->notices.front(),
              "sector 0: block 0, 1, 2; the access bits (transport: FF0780); key A "
              "(FFFFFFFFFFFF); key B (FFFFFFFFFFFF)");
    EXPECT_EQ(served->notices.back(),
              "block 0: 9C15A3E7CD0804006263646566676869 (the UID 9C15A3E7 with its BCC, SAK, "
              "ATQA and maker bytes)");
}

TEST(SimCardFile, AnImageWithoutAUidIsRefused) {
    struct Case {
        const char* what;
        std::string bytes;
        const char* error;
    };
    std::string mct;
    for (int s = 0; s < 16; ++s) {
        mct += "+Sector: " + std::to_string(s) + "\n*No keys found or dead sector\n";
    }
    std::string sector5 = mct;
    sector5.replace(sector5.find("+Sector: 5\n*No keys found or dead sector\n"),
                    std::string("+Sector: 5\n*No keys found or dead sector\n").size(),
                    "+Sector: 5\n" + std::string(32, '0') + "\n" + std::string(32, '0') + "\n" +
                        std::string(32, '0') + "\nFFFFFFFFFFFFFF078069FFFFFFFFFFFF\n");
    const Case cases[] = {
        {"a raw dump of zeros", std::string(1024, '\0'), "no block that was read"},
        {"an eml dump of zeros",
         [] {
             std::string s;
             for (int b = 0; b < 64; ++b) s += std::string(32, '0') + "\n";
             return s;
         }(),
         "no block that was read"},
        {"an MCT dump of dead sectors", mct, "no block that was read"},
        {"an MCT dump without sector 0", sector5, "block 0 was not read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        const auto file = image::load(c.bytes, std::nullopt, error);
        ASSERT_TRUE(file) << error;
        EXPECT_FALSE(tqrf_sim_tool::served_card(file->card, error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

}  // namespace
