// Card image files as other tools write them (tests/cli/images/, made from the published
// descriptions of each format by make_images.py): what each holds, what it does not know, the
// refusals of malformed and larger-card files, writing each format as its tool does, and chains
// of conversions that must give back the same card.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image_file.h"
#include "image_formats.h"

namespace {

using namespace tqrf;
using namespace tqrf::tool;

std::string file(const std::string& name) {
    std::ifstream in(std::string(TQRF_IMAGES_DIR) + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ImageFile load(const std::string& bytes, std::optional<ImageFormat> hint = std::nullopt) {
    std::string error;
    auto f = read_image(bytes, hint, error);
    EXPECT_TRUE(f.has_value()) << error;
    return f ? *f : ImageFile{};
}

std::string refusal(const std::string& bytes, std::optional<ImageFormat> hint = std::nullopt) {
    std::string error;
    const auto f = read_image(bytes, hint, error);
    EXPECT_FALSE(f.has_value());
    EXPECT_FALSE(error.empty());
    return error;
}

// The test card (make_images.py) as libnfc's nfc-mfclassic writes it: every block, every key.
Image reference() {
    const std::string raw = file("card.mfd");
    Image out{};
    EXPECT_EQ(raw.size(), out.size());
    std::copy_n(raw.begin(), std::min(raw.size(), out.size()), out.begin());
    return out;
}

TEST(ImageFiles, EachToolsFileLoadsWithItsUidBlocksAndWhatItDoesNotKnow) {
    struct Case {
        const char* name;
        ImageFormat format;
        bool marks;  // sector 5 and sector 3's key B are not in the file
        std::optional<CardType> atqa;
    };
    const CardType k1K{{0x04, 0x00}};
    const Case cases[] = {
        {"card.mfd", ImageFormat::Mfd, false, std::nullopt},
        {"card.eml", ImageFormat::Eml, false, std::nullopt},
        {"card-pm3.json", ImageFormat::Proxmark3, false, k1K},
        {"card-mfcard.json", ImageFormat::Proxmark3, false, k1K},
        {"card-v4.nfc", ImageFormat::Nfc, true, k1K},  // "ATQA: 00 04": most significant first
        {"card-v2.nfc", ImageFormat::Nfc, true, k1K},  // "ATQA: 04 00": the older order
        {"card.mct", ImageFormat::Mct, true, std::nullopt},
    };
    const Image ref = reference();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageFile f = load(file(c.name));
        EXPECT_EQ(f.format, c.format);
        ASSERT_TRUE(f.card.uid.has_value());
        EXPECT_EQ(f.card.uid->hex(), "9C15A3E7");
        EXPECT_EQ(f.card.atqa, c.atqa);
        for (int b = 0; b < mifare::kBlocks; ++b) {
            const bool unknown_sector = c.marks && mifare::sector_of(b) == 5;
            EXPECT_EQ(f.card.read[static_cast<std::size_t>(b)], !unknown_sector) << "block " << b;
            if (unknown_sector) continue;
            Block want = image_block(ref, b);
            if (c.marks && b == 15) std::fill_n(want.begin() + 10, 6, std::uint8_t{0});
            EXPECT_EQ(image_block(f.card.image, b), want) << "block " << b;
        }
        EXPECT_EQ(f.card.key_known[3][0], true);
        EXPECT_EQ(f.card.key_known[3][1], !c.marks);
        EXPECT_EQ(f.card.key_known[5][0], !c.marks);
        EXPECT_EQ(incomplete_sectors(f.card), c.marks ? std::vector<int>{5} : std::vector<int>{});
    }
}

TEST(ImageFiles, TheNameDecidesOnlyBetweenLookAlikes) {
    // A raw image is mfd or bin as its name says; anything else goes by its content.
    EXPECT_EQ(load(file("card.mfd"), ImageFormat::Bin).format, ImageFormat::Bin);
    EXPECT_EQ(load(file("card.mfd"), std::nullopt).format, ImageFormat::Mfd);
    EXPECT_EQ(load(file("card-v4.nfc"), ImageFormat::Mfd).format, ImageFormat::Nfc);
    EXPECT_EQ(load(file("card-pm3.json"), ImageFormat::Json).format, ImageFormat::Proxmark3);
    // Windows line ends and a byte order mark change nothing.
    std::string crlf;
    for (char ch : file("card-v4.nfc"))
        crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    EXPECT_EQ(load("\xEF\xBB\xBF" + crlf).card.image, load(file("card-v4.nfc")).card.image);
}

// Blocks 63 to 255 of a Proxmark3 dump of a 4K card, as the lines of its "blocks" object.
std::string pm3_4k_blocks() {
    std::string out = "\"63\": \"000000000000FF078069FFFFFFFFFFFF\"";
    for (int b = 64; b < 256; ++b) {
        out += ",\n    \"" + std::to_string(b) + "\": \"00000000000000000000000000000000\"";
    }
    return out;
}

TEST(ImageFiles, LargerCardsAndMalformedFilesAreRefusedNamingTheLineOrField) {
    const std::string nfc = file("card-v4.nfc");
    const std::string mct = file("card.mct");
    const std::string eml = file("card.eml");
    const std::string pm3 = file("card-pm3.json");
    auto replace = [](std::string s, const std::string& from, const std::string& to) {
        const auto at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) s.replace(at, from.size(), to);
        return s;
    };
    struct Case {
        std::string bytes;
        std::string says;
    };
    const std::string only1k = "the reader addresses blocks 0 to 63 only";
    const Case cases[] = {
        {file("card4k.nfc"), "line 7: a Mifare Classic 4K card; " + only1k},
        {file("card4k.mct"), "line 81: sector 16 belongs to a larger card (2K or 4K); " + only1k},
        {std::string(4096, '\0'), "Mifare Classic 4K image; " + only1k},
        {std::string(320, '\0'), "Mifare Classic Mini image; " + only1k},
        {replace(replace(pm3, "\"SAK\": \"08\"", "\"SAK\": \"18\""),
                 "\"63\": \"000000000000FF078069FFFFFFFFFFFF\"", pm3_4k_blocks()),
         "4K image; " + only1k},
        {replace(nfc, "Version: 4", "Version: 5"), "line 2: Version: 2, 3 or 4 expected"},
        {replace(nfc, "Device type: Mifare Classic", "Device type: NTAG215"),
         "line 4: Device type: this is a \"NTAG215\" file"},
        {replace(nfc, "UID: 9C 15 A3 E7", "UID: 04 A7 8B 62 C2 1B 90"),
         "line 6: UID: a 7-byte UID"},
        {replace(nfc, "Block 3: A0", "Block 3:"), "line 17: Block 3: 16 bytes expected, 15 found"},
        {replace(nfc, "Block 4: 00", "Block 4: 0G"), "line 18: Block 4: 16 bytes expected"},
        {replace(nfc, "Block 9: FF", "Block 8: FF"), "block 8 appears a second time"},
        {replace(nfc, "Block 63:", "Block 64:"), "block 64 belongs to a larger card"},
        {replace(nfc, "Mifare Classic type: 1K\n", ""), "no \"Mifare Classic type:\" line"},
        {replace(nfc, "SAK: 08", "SAK 08"), "line 9: \"Key: value\" expected"},
        {replace(mct, "+Sector: 1\n", "+Sector: one\n"), "line 6: \"+Sector: N\" expected"},
        {replace(mct, "140103E103E103E103E103E103E103E1\n", ""), "sector 0 has 3 block lines"},
        {replace(mct, "140103E1", "x40103E1"), "line 3: 32 hex digits or '-' expected"},
        {replace(mct, "+Sector: 2", "+Sector: 1"), "sector 1 appears a second time"},
        {replace(eml, "140103e1", "140103e"), "line 2: 32 hex digits (one block) expected"},
        {eml.substr(0, eml.size() - 33), "has 63 lines; a 1K .eml image has 64"},
        {eml + eml.substr(0, 33), "line 65: a 1K image has 64 lines"},
        {replace(pm3, "\"17\":", "\"x17\":"), "blocks.17: missing"},
        {replace(pm3, "\"mfc v2\"", "\"mfu\""), "FileType: \"mfu\" is not a Mifare Classic dump"},
        {replace(pm3, "\"KeyA\": \"FFFFFFFFFFFF\"", "\"KeyA\": \"FFFF\""),
         "SectorKeys.2.KeyA: 12 hex digits expected"},
        {replace(pm3, "\"UID\": \"9C15A3E7\"", "\"UID\": \"04A78B62C21B90\""),
         "Card.UID: a 7-byte UID"},
        {"{\"FileType\": \"mfc v2\", \"blocks\": [1,2]}", "blocks: an object with blocks"},
        {"{\"blocks\": ", "is not JSON"},
        {"hello", "is 5 bytes and not a card image in any format tqrf knows"},
        {"", "is 0 bytes"},
    };
    for (const auto& c : cases) {
        const std::string error = refusal(c.bytes);
        EXPECT_NE(error.find(c.says), std::string::npos)
            << "wanted: " << c.says << "\ngot:    " << error;
    }
    // A name or --format that says raw: the size is what is wrong.
    EXPECT_NE(refusal("0123456789", ImageFormat::Mfd).find("is 10 bytes; a 1K card image"),
              std::string::npos);
}

TEST(ImageFiles, EachFormatIsWrittenAsItsToolWritesIt) {
    // The files of make_images.py follow each tool's published layout; writing what they hold
    // must give them back (hex case aside for the emulator file).
    auto lower = [](std::string s) {
        for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return s;
    };
    EXPECT_EQ(write_image(load(file("card-v4.nfc")).card, ImageFormat::Nfc), file("card-v4.nfc"));
    EXPECT_EQ(write_image(load(file("card.mct")).card, ImageFormat::Mct), file("card.mct"));
    EXPECT_EQ(lower(write_image(load(file("card.mfd")).card, ImageFormat::Eml)), file("card.eml"));
    EXPECT_EQ(write_image(load(file("card.eml")).card, ImageFormat::Mfd), file("card.mfd"));
    // The Proxmark3 JSON: the fields other tools look for.
    const auto pm3 =
        nlohmann::json::parse(write_image(load(file("card.mct")).card, ImageFormat::Proxmark3));
    EXPECT_EQ(pm3["FileType"], "mfc v2");
    EXPECT_EQ(pm3["Card"]["UID"], "9C15A3E7");
    EXPECT_EQ(pm3["Card"]["ATQA"], "0400");
    EXPECT_EQ(pm3["Card"]["SAK"], "08");
    EXPECT_EQ(pm3["blocks"].size(), 64u);
    EXPECT_EQ(pm3["blocks"]["8"], "D20400002DFBFFFFD204000008F708F7");
    EXPECT_EQ(pm3["blocks"]["20"], "00000000000000000000000000000000");  // sector 5: not read
    EXPECT_EQ(pm3["SectorKeys"]["0"]["KeyA"], "A0A1A2A3A4A5");
    EXPECT_EQ(pm3["SectorKeys"]["0"]["AccessConditions"], "787788C1");
    EXPECT_EQ(pm3["SectorKeys"]["0"]["AccessConditionsText"]["block0"], "read AB; write B");
    EXPECT_EQ(pm3["SectorKeys"]["0"]["AccessConditionsText"]["UserData"], "C1");
}

TEST(ImageFiles, ChainsOfConversionsGiveBackTheSameCard) {
    // Every block known: the chain through all formats gives the same bytes.
    const std::string start = file("card.mfd");
    std::string bytes = start;
    for (auto f : {ImageFormat::Nfc, ImageFormat::Json, ImageFormat::Eml, ImageFormat::Mct,
                   ImageFormat::Proxmark3, ImageFormat::Bin, ImageFormat::Mfd}) {
        SCOPED_TRACE(format_name(f));
        const ImageFile in = load(bytes);
        bytes = write_image(in.card, f);
        EXPECT_EQ(load(bytes, f).format, f);
    }
    EXPECT_EQ(bytes, start);

    // What was not read stays unknown through the formats that can mark it.
    const CardImage first = load(file("card.mct")).card;
    CardImage img = first;
    for (auto f : {ImageFormat::Nfc, ImageFormat::Json, ImageFormat::Mct, ImageFormat::Json,
                   ImageFormat::Nfc}) {
        SCOPED_TRACE(format_name(f));
        img = load(write_image(img, f)).card;
        EXPECT_EQ(img.read, first.read);
        EXPECT_EQ(img.key_known, first.key_known);
        for (int b = 0; b < mifare::kBlocks; ++b) {
            EXPECT_EQ(block_text(img, b), block_text(first, b)) << "block " << b;
        }
    }
    EXPECT_EQ(block_text(img, 20), std::string(32, '-'));
    EXPECT_EQ(block_text(img, 15), "A3A3A3A3A3A378778869------------");
}

TEST(ImageFiles, TheFirstKilobyteOfALargerCardGoesThroughEveryFormat) {
    // The tool dumps the 16 sectors it can address of a 4K card (SAK 18) or a card that says
    // Mini (09): every format written of it reads back, with its SAK where the format has one.
    for (std::uint8_t sak : {std::uint8_t{0x18}, std::uint8_t{0x09}}) {
        CardImage card = load(file("card.mfd")).card;
        card.sak = sak;
        for (auto f : {ImageFormat::Nfc, ImageFormat::Json, ImageFormat::Proxmark3,
                       ImageFormat::Eml, ImageFormat::Mct, ImageFormat::Mfd}) {
            SCOPED_TRACE(std::string(format_name(f)) + " SAK " + std::to_string(sak));
            std::string error;
            const auto again = read_image(write_image(card, f), f, error);
            ASSERT_TRUE(again.has_value()) << error;
            EXPECT_EQ(again->card.image, card.image);
            if (f == ImageFormat::Nfc || f == ImageFormat::Json || f == ImageFormat::Proxmark3) {
                EXPECT_EQ(again->card.sak, card.sak);
            }
        }
    }
}

TEST(ImageFiles, ACardFromAnImageFillsWhatTheFileDoesNotKnow) {
    std::vector<std::string> filled;
    const Image memory = card_memory(load(file("card-v4.nfc")).card, filled);
    EXPECT_EQ(image_block(memory, 15).hex(), "A3A3A3A3A3A378778869FFFFFFFFFFFF");
    EXPECT_EQ(image_block(memory, 23).hex(), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");
    EXPECT_EQ(image_block(memory, 20), Block{});
    EXPECT_EQ(image_block(memory, 8), image_block(reference(), 8));
    ASSERT_EQ(filled.size(), 2u);
    EXPECT_EQ(filled[0], "sector 3: key B (FFFFFFFFFFFF)");
    EXPECT_EQ(filled[1],
              "sector 5: block 20, 21, 22; the access bits (transport: FF0780); key A "
              "(FFFFFFFFFFFF); key B (FFFFFFFFFFFF)");
}

TEST(ImageFiles, TheApplicationDirectoryAndItsCrc) {
    CardImage img = load(file("card.mfd")).card;
    auto mad = find_mad(img);
    ASSERT_TRUE(mad.has_value());
    EXPECT_EQ(mad->version, 1);
    EXPECT_EQ(mad->crc, 0x14);  // the directory NFC Forum tools write for one NDEF application
    EXPECT_TRUE(mad->crc_ok);
    EXPECT_EQ(mad->info, 1);
    EXPECT_EQ(mad->aid[0], 0xE103);
    EXPECT_STREQ(mad_aid_name(mad->aid[14]), "NFC Forum NDEF");

    img.image[16 + 5] ^= 0x01;  // one bit of an identifier
    mad = find_mad(img);
    ASSERT_TRUE(mad.has_value());
    EXPECT_FALSE(mad->crc_ok);
    EXPECT_EQ(mad->crc, 0x14);

    img.image[3 * 16 + 9] = 0x69;  // the general-purpose byte says: no directory
    EXPECT_FALSE(find_mad(img).has_value());
    EXPECT_FALSE(find_mad(CardImage{}).has_value());  // sector 0 not read
}

}  // namespace
