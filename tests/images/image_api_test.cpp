// The card image library as its users see it (tq_RWD_DLL_image.hpp): loading by content or by
// a named format, saving to a file whole and for its owner only, and access conditions by
// name with the reasons they are refused. The formats themselves are tested in
// tests/cli/image_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tq_RWD_DLL_image.hpp>
#include <vector>

namespace {

using namespace tqrf;
using image::Format;

std::string images(const std::string& name) {
    return std::string(TQRF_IMAGES_DIR) + name;
}

std::string bytes_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/tqrf-image-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

TEST(ImageApi, ANamedFormatMustBeTheFilesOwnExceptBetweenRawLookAlikes) {
    struct Case {
        const char* file;
        std::optional<Format> named;
        std::optional<Format> gives;  // nullopt: refused
        const char* says;
    };
    const Case cases[] = {
        {"card-pm3.json", std::nullopt, Format::Proxmark3, ""},
        {"card-pm3.json", Format::Proxmark3, Format::Proxmark3, ""},
        {"card-pm3.json", Format::Json, std::nullopt, "is a proxmark3 image, not json"},
        {"card-v4.nfc", Format::Mct, std::nullopt, "is a nfc image, not mct"},
        {"card.mct", Format::Mct, Format::Mct, ""},
        {"card.mfd", Format::Bin, Format::Bin, ""},
        {"card.mfd", std::nullopt, Format::Mfd, ""},
        {"card.mfd", Format::Eml, std::nullopt, "is a mfd image, not eml"},
        {"card.eml", Format::Mfd, std::nullopt, "is a eml image, not mfd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string error;
        const auto file = image::load(bytes_of(images(c.file)), c.named, error);
        ASSERT_EQ(file.has_value(), c.gives.has_value()) << error;
        if (file) {
            EXPECT_EQ(file->format, *c.gives);
            EXPECT_EQ(file->card.uid->hex(), "9C15A3E7");
        } else {
            EXPECT_EQ(error, c.says);
        }
    }
    std::string error;
    EXPECT_FALSE(image::load("", std::nullopt, error));
    EXPECT_NE(error.find("is 0 bytes"), std::string::npos) << error;
}

TEST(ImageApi, WhatAnImageDoesNotKnowAndItsAccessConditions) {
    std::string error;
    const auto mct = image::load_file(images("card.mct"), std::nullopt, error);
    ASSERT_TRUE(mct) << error;
    const image::CardImage& card = mct->card;
    EXPECT_TRUE(image::block_known(card, 8));
    EXPECT_FALSE(image::block_known(card, 20));  // sector 5 is not in the file
    EXPECT_FALSE(image::block_known(card, 64));
    EXPECT_FALSE(image::block_known(card, -1));
    EXPECT_TRUE(image::key_known(card, 3, KeyType::A));
    EXPECT_FALSE(image::key_known(card, 3, KeyType::B));
    EXPECT_FALSE(image::key_known(card, 16, KeyType::A));
    EXPECT_EQ(image::incomplete_sectors(card), std::vector<int>{5});
    EXPECT_FALSE(image::access_conditions(card, 5));
    EXPECT_FALSE(image::access_conditions(card, 16));
    const auto ac = image::access_conditions(card, 0);
    ASSERT_TRUE(ac);
    EXPECT_EQ(ac->encode(), (std::array<std::uint8_t, 3>{0x78, 0x77, 0x88}));
    EXPECT_EQ(image::describe_access(*ac)[0], "block 0  100  read=AB,write=B,inc=-,dec=-");
    EXPECT_EQ(image::block_text(card, 15), "A3A3A3A3A3A378778869------------");
}

TEST(ImageApi, SavedFilesAreWholeForTheirOwnerAndReadBackAsTheSameCard) {
    TempDir dir;
    std::string error;
    const auto pm3 = image::load_file(images("card-pm3.json"), std::nullopt, error);
    ASSERT_TRUE(pm3) << error;
    for (const char* name :
         {"a.nfc", "a.mct", "a.json", "a.eml", "a.mfd", "a.bin", "a.dump", "a.dmp"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.path + "/" + name;
        ASSERT_TRUE(image::save_file(path, pm3->card, std::nullopt, error)) << error;
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        const auto back = image::load_file(path, std::nullopt, error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(back->format, *image::format_of_path(name));
        EXPECT_EQ(back->card.image, pm3->card.image);
        EXPECT_EQ(back->card.read, pm3->card.read);
        EXPECT_EQ(bytes_of(path), image::save(pm3->card, back->format));
    }
    // An existing file keeps its permissions; what is written replaces it whole.
    const std::string kept = dir.path + "/kept.mct";
    std::ofstream(kept) << "old";
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    ASSERT_TRUE(image::save_file(kept, pm3->card, std::nullopt, error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(bytes_of(kept), image::save(pm3->card, Format::Mct));
    // A named format wins over the name; a name that says none, or no folder, is refused.
    ASSERT_TRUE(image::save_file(dir.path + "/card.txt", pm3->card, Format::Nfc, error));
    EXPECT_EQ(image::load_file(dir.path + "/card.txt", std::nullopt, error)->format, Format::Nfc);
    EXPECT_FALSE(image::save_file(dir.path + "/card.txt", pm3->card, std::nullopt, error));
    EXPECT_NE(error.find("tells no format"), std::string::npos) << error;
    for (const char* ext : {".mfd", ".bin", ".dump", ".dmp", ".eml", ".nfc", ".mct", ".json"}) {
        EXPECT_NE(error.find(ext), std::string::npos) << ext << ": " << error;
        EXPECT_TRUE(image::format_of_path(std::string("card") + ext)) << ext;
    }
    EXPECT_FALSE(image::save_file(dir.path + "/none/a.nfc", pm3->card, std::nullopt, error));
    EXPECT_EQ(error, "cannot be written: No such file or directory");
    EXPECT_FALSE(image::load_file(dir.path + "/none.nfc", std::nullopt, error));
    EXPECT_EQ(error, "cannot be read: No such file or directory");
    EXPECT_FALSE(image::load_file(dir.path, std::nullopt, error));
}

TEST(ImageApi, AccessItemsByNameAndWhyConditionsAreNotWritten) {
    std::string item, error;
    const auto ac = image::parse_access_items({"data:read=AB,write=B", "trailer:011"}, item, error);
    ASSERT_TRUE(ac) << error;
    EXPECT_EQ(ac->encode(), (std::array<std::uint8_t, 3>{0x78, 0x77, 0x88}));
    EXPECT_FALSE(image::access_problem(*ac, false));

    struct Bad {
        std::vector<std::string> items;
        const char* item;
        const char* says;
    };
    const Bad bad[] = {
        {{"data"}, "data", "WHICH:RIGHTS expected"},
        {{"4:000", "trailer:001"}, "4:000", "\"4\" is not data, 0, 1, 2, 3 or trailer"},
        {{"data:000", "1:000", "trailer:001"}, "1:000", "block 1 of the sector is given twice"},
        {{"data:read=C", "trailer:001"}, "data:read=C", "who may is A, B, AB or -"},
        {{"data:000"}, "", "no condition for the trailer (trailer:RIGHTS)"},
        {{"0:000", "trailer:001"}, "", "no condition for data block 1 of the sector"},
    };
    for (const auto& b : bad) {
        EXPECT_FALSE(image::parse_access_items(b.items, item, error)) << b.items[0];
        EXPECT_EQ(item, b.item);
        EXPECT_NE(error.find(b.says), std::string::npos) << error;
    }

    const auto void_b =
        image::parse_access_items({"data:read=B,write=B", "trailer:001"}, item, error);
    ASSERT_TRUE(void_b);
    const auto nobody = image::access_problem(*void_b, true);
    ASSERT_TRUE(nobody);
    EXPECT_FALSE(nobody->permanent);
    EXPECT_NE(nobody->text.find("makes key B readable"), std::string::npos);
    const auto frozen = image::parse_access_items({"data:000", "trailer:110"}, item, error);
    ASSERT_TRUE(frozen);
    ASSERT_TRUE(image::access_problem(*frozen, false));
    EXPECT_TRUE(image::access_problem(*frozen, false)->permanent);
    EXPECT_FALSE(image::access_problem(*frozen, true));
}

}  // namespace
