// The built tqrf executable against the simulated reader: each test starts a simulator on a
// pseudo-terminal in this process with the demo card in its field, runs tqrf --port on it and
// checks the output, the exit status and the card's memory afterwards.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "support.h"
#include "tqrf_sim/simulator.h"

namespace {

using nlohmann::json;
using tqrf::Block;
namespace mifare = tqrf::mifare;
namespace tool = tqrf::tool;

constexpr tqrf_sim::Uid kDemoUid{0x3A, 0x7C, 0x91, 0xE5};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void spill(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string image_bytes(const tool::Image& image) {
    return std::string(reinterpret_cast<const char*>(image.data()), image.size());
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        tqrf_sim::SimulatorOptions opts;
        opts.default_card = false;
        sim_ = std::make_unique<tqrf_sim::Simulator>(opts);
        const auto image = tool::demo_card_image();
        ASSERT_TRUE(sim_->place_card(std::span<const std::uint8_t>(image.data(), image.size())));
        sim_->start();
        // A directory of this test's own: other runs of the suite (another build, another
        // checkout) may be running the same test at the same time.
        std::string pattern = ::testing::TempDir() + "tqrf_cli_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = root_ + "/" + info->name() + "_";
        keys_file_ = path("keys.txt");
        spill(keys_file_, "# demo card\nFFFFFFFFFFFF\nA0A1A2A3A4A5\nB0B1B2B3B4B5\n");
    }

    void TearDown() override {
        if (!root_.empty()) std::filesystem::remove_all(root_);
    }

    std::string path(const std::string& name) const { return dir_ + name; }

    // Runs tqrf with the simulator's port in front of `args`.
    Outcome tqrf(const std::string& args, bool with_port = true) const {
        Outcome r;
        const std::string out = path("stdout"), err = path("stderr");
        // The tool takes each reply as soon as it is complete, with a second of slack: these
        // tests are about the tool, not the library's fixed pause, and must not depend on how
        // busy the machine is.
        const std::string cmd = "TQRF_REPLY=complete:1000 " + std::string(TQRF_EXE) + " " +
                                (with_port ? "--port " + sim_->slave_path() + " " : "") + args +
                                " >" + out + " 2>" + err + " </dev/null";
        const int rc = std::system(cmd.c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    tool::Image card() const {
        auto img = sim_->card_image(kDemoUid, tqrf_sim::ImageView::Raw);
        EXPECT_TRUE(img.has_value());
        tool::Image out{};
        if (img) std::memcpy(out.data(), img->data(), out.size());
        return out;
    }

    Block card_block(int block) const { return tool::image_block(card(), block); }

    std::unique_ptr<tqrf_sim::Simulator> sim_;
    std::string root_;
    std::string dir_;
    std::string keys_file_;
};

#define EXPECT_RUN(run, code) \
    EXPECT_EQ((run).status, code) << "stdout:\n" << (run).out << "stderr:\n" << (run).err

TEST_F(Cli, ScanShowsTheCard) {
    const Outcome r = tqrf("scan");
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("Card type  0400"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("UID        3A7C91E5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Size byte  08 (Mifare Classic 1K)"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Cli, ScanOfAnEmptyFieldFails) {
    sim_->remove_all_cards();
    const Outcome r = tqrf("scan");
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("no card answered"), std::string::npos) << r.err;
}

TEST_F(Cli, JsonOutputParses) {
    struct Case {
        const char* args;
        const char* key;
    };
    const Case cases[] = {
        {"--json scan", "uid"},
        {"--json info", "hardware_version"},
        {"--json read 1", "data"},
        {"--json value get 4", "value"},
        {"--json clock get", "clock"},
        {"--json e2 read 0", "data"},
        {"--json dump", "sectors"},
        {"scan --json", "uid"},  // global options also after the command
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf(c.args);
        EXPECT_RUN(r, 0);
        json j;
        ASSERT_NO_THROW(j = json::parse(r.out)) << c.args << ":\n" << r.out;
        EXPECT_TRUE(j.contains(c.key)) << c.args << ":\n" << r.out;
    }
    const json scan = json::parse(tqrf("--json scan").out);
    EXPECT_EQ(scan["uid"], "3A7C91E5");
    EXPECT_EQ(scan["card_type"], "0400");
    EXPECT_EQ(scan["size_byte"], "08");
    const json value = json::parse(tqrf("--json value get 4").out);
    EXPECT_EQ(value["value"], 100);
}

TEST_F(Cli, ReadAndWriteABlock) {
    Outcome r = tqrf("read 1");
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("48656C6C6F2066726F6D207471726621"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Hello from tqrf!"), std::string::npos) << r.out;

    r = tqrf("write 5 00112233445566778899aabbccddeeff");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(5).hex(), "00112233445566778899AABBCCDDEEFF");

    // Sector 2 writes need key B; the dictionary finds it after key A is refused the write.
    r = tqrf("write 9 0102030405060708090A0B0C0D0E0F10 --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(9).hex(), "0102030405060708090A0B0C0D0E0F10");
    r = tqrf("read 9 --key-b --key B0B1B2B3B4B5");
    EXPECT_RUN(r, 0);
}

TEST_F(Cli, WriteGuardsTrailersAndBlockZero) {
    const tool::Image before = card();
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        // Trailer 110: no key could ever change these access bits again.
        {"write 7 FFFFFFFFFFFF778F0869FFFFFFFFFFFF", 1, "can never be changed again"},
        // Inverted copies that do not match.
        {"write 7 FFFFFFFFFFFF00078069FFFFFFFFFFFF --force", 1, "invalid access bits"},
        {"write 0 00112233445566778899AABBCCDDEEFF", 2, "manufacturer block"},
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf(c.args);
        EXPECT_RUN(r, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
    EXPECT_EQ(image_bytes(card()), image_bytes(before));
    // --force writes the permanent trailer; the card takes it.
    EXPECT_RUN(tqrf("write 7 FFFFFFFFFFFF778F0869FFFFFFFFFFFF --force"), 0);
    EXPECT_EQ(card_block(7).hex(), "FFFFFFFFFFFF778F0869FFFFFFFFFFFF");
}

TEST_F(Cli, WrongKeyFailsWithAMessage) {
    Outcome r = tqrf("read 8");
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("no key opens sector 2"), std::string::npos) << r.err;
    r = tqrf("read 1 --key 010203040506");
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("no key opens sector 0"), std::string::npos) << r.err;
    r = tqrf("dump --key 010203040506");
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("no key opens any sector"), std::string::npos) << r.err;
    const Block before = card_block(9);
    r = tqrf("write 9 0102030405060708090A0B0C0D0E0F10 --key A0A1A2A3A4A5");
    EXPECT_RUN(r, 1);  // key A may read sector 2 but not write it
    EXPECT_NE(r.err.find("writing block 9 refused"), std::string::npos) << r.err;
    EXPECT_EQ(card_block(9), before);
}

TEST_F(Cli, DumpWritesTheImageTheCardHolds) {
    const std::string out = path("card.mfd");
    const Outcome r = tqrf("dump --keys " + keys_file_ + " -o " + out);
    EXPECT_RUN(r, 0);
    const std::string written = slurp(out);
    ASSERT_EQ(written.size(), 1024u);
    // Every key is known, so the image is the card's memory byte for byte, keys included.
    EXPECT_EQ(written, image_bytes(card()));
    EXPECT_NE(r.out.find("Sector 2  key A A0A1A2A3A4A5  key B B0B1B2B3B4B5"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("value 100 (address 4)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("011  key A write B; bits read AB write B; key B read - write B"),
              std::string::npos)
        << r.out;
}

TEST_F(Cli, DumpSkipsASectorNoKeyOpens) {
    const std::string out = path("card.mfd");
    const Outcome r = tqrf("dump -o " + out);
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("Sector 2: no key opens it, skipped"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("sector 2: no key opens it"), std::string::npos) << r.err;
    const std::string written = slurp(out);
    ASSERT_EQ(written.size(), 1024u);
    tool::Image expected = card();
    for (int b = 8; b < 12; ++b) tool::set_image_block(expected, b, Block{});
    EXPECT_EQ(written, image_bytes(expected));
}

TEST_F(Cli, DumpAsJsonFile) {
    const std::string out = path("card.json");
    const Outcome r = tqrf("--json dump --keys " + keys_file_ + " -o " + out);
    EXPECT_RUN(r, 0);
    const json j = json::parse(slurp(out));
    ASSERT_EQ(j["sectors"].size(), 16u);
    EXPECT_EQ(j["sectors"][2]["key_b"], "B0B1B2B3B4B5");
    EXPECT_EQ(j["sectors"][1]["blocks"][0]["value"], 100);
    EXPECT_EQ(j["sectors"][0]["blocks"][3]["access"], "001");
    EXPECT_EQ(j["sectors"][0]["access_bytes"], "FF0780");
    EXPECT_EQ(j["sectors"][2]["access_bytes"], "787788");
    EXPECT_EQ(j["sectors"][2]["blocks"][3]["rights"]["key_b_read"], "-");
    EXPECT_EQ(j["sectors"][2]["blocks"][0]["rights"]["write"], "B");
    EXPECT_EQ(json::parse(r.out), j);
}

TEST_F(Cli, DumpRestoreDumpRoundTrip) {
    const std::string first = path("first.mfd"), second = path("second.mfd");
    ASSERT_EQ(tqrf("dump --keys " + keys_file_ + " -o " + first).status, 0);
    tool::Image image{};
    const std::string bytes = slurp(first);
    ASSERT_EQ(bytes.size(), 1024u);
    std::memcpy(image.data(), bytes.data(), 1024);

    // Change data in three sectors (sector 2 only key B may write), and block 0, which restore
    // must leave alone.
    tool::Image edited = image;
    tool::set_image_block(edited, 0, *Block::from_hex("00000000000000000000000000000000"));
    tool::set_image_block(edited, 1, *Block::from_hex("524553544F52454420424C4F434B2031"));
    tool::set_image_block(edited, 9, *Block::from_hex("99999999999999999999999999999999"));
    tool::set_image_block(edited, 62, *Block::from_hex("0123456789ABCDEF0123456789ABCDEF"));
    const std::string edited_file = path("edited.mfd");
    spill(edited_file, image_bytes(edited));

    const Outcome r = tqrf("restore " + edited_file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("Restored 47 of 47 blocks"), std::string::npos) << r.out;

    tool::Image expected = edited;
    tool::set_image_block(expected, 0, tool::image_block(image, 0));
    EXPECT_EQ(image_bytes(card()), image_bytes(expected));

    ASSERT_EQ(tqrf("dump --keys " + keys_file_ + " -o " + second).status, 0);
    EXPECT_EQ(slurp(second), image_bytes(expected));
}

TEST_F(Cli, RestoreTrailersChangesKeys) {
    tool::Image image = card();
    const tqrf::Key new_a = *tqrf::Key::from_hex("112233445566");
    const tqrf::Key new_b = *tqrf::Key::from_hex("665544332211");
    tool::set_image_block(
        image, mifare::trailer_of(5),
        mifare::make_trailer(new_a, mifare::AccessConditions{{0, 0, 0, 3}}, new_b));
    const std::string file = path("trailers.mfd");
    spill(file, image_bytes(image));

    // Without --trailers the trailer stays.
    EXPECT_RUN(tqrf("restore " + file + " --keys " + keys_file_), 0);
    EXPECT_EQ(card_block(23).hex(), "FFFFFFFFFFFFFF078069FFFFFFFFFFFF");

    const Outcome r = tqrf("restore --trailers " + file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(23).hex(), "1122334455667F078869665544332211");
    EXPECT_RUN(tqrf("read 20 --key 112233445566"), 0);
    EXPECT_RUN(tqrf("read 20 --key-b --key 665544332211"), 0);
    EXPECT_RUN(tqrf("read 20"), 1);
}

TEST_F(Cli, RestoreRefusesDangerousTrailers) {
    const tool::Image original = card();
    tool::Image frozen = original;
    tool::set_image_block(frozen, 1, *Block::from_hex("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"));
    tool::set_image_block(
        frozen, mifare::trailer_of(3),
        mifare::make_trailer(tqrf::kDefaultKey, mifare::AccessConditions{{0, 0, 0, 6}},
                             tqrf::kDefaultKey));
    const std::string frozen_file = path("frozen.mfd");
    spill(frozen_file, image_bytes(frozen));
    Outcome r = tqrf("restore --trailers " + frozen_file);
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("sector 3 (block 15)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
    EXPECT_EQ(image_bytes(card()), image_bytes(original));

    tool::Image invalid = original;
    Block t = tool::image_block(invalid, 7);
    t[6] = 0x00;
    tool::set_image_block(invalid, 7, t);
    const std::string invalid_file = path("invalid.mfd");
    spill(invalid_file, image_bytes(invalid));
    r = tqrf("restore --trailers --force " + invalid_file);
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("invalid access bits"), std::string::npos) << r.err;
    EXPECT_EQ(image_bytes(card()), image_bytes(original));

    // --force accepts the permanent one.
    r = tqrf("restore --trailers --force " + frozen_file);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(15).hex().substr(12, 6), "778F08");
}

TEST_F(Cli, ValueOperations) {
    struct Step {
        const char* args;
        const char* out;
        int block;
        std::int32_t value;
    };
    const Step steps[] = {
        {"value get 4", "Block 4 value 100", 4, 100},
        {"value inc 4 25", "Block 4 value 125", 4, 125},
        {"value dec 4 200", "Block 4 value -75", 4, -75},
        {"value init 5 7", "Block 5 value 7", 5, 7},
        {"value copy 4 6", "Block 6 value -75", 6, -75},
    };
    for (const auto& s : steps) {
        const Outcome r = tqrf(s.args);
        EXPECT_RUN(r, 0);
        EXPECT_NE(r.out.find(s.out), std::string::npos) << s.args << ": " << r.out;
        auto v = mifare::ValueBlock::decode(card_block(s.block));
        ASSERT_TRUE(v) << s.args;
        EXPECT_EQ(v->value, s.value) << s.args;
    }
    // Block 1 holds text, not a value.
    const Outcome r = tqrf("value inc 1 1");
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("incrementing block 1 refused"), std::string::npos) << r.err;
}

TEST_F(Cli, ReaderCommands) {
    Outcome r = tqrf("info");
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("TQRF-SIM RC500 V1.0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x12345678"), std::string::npos) << r.out;

    EXPECT_RUN(tqrf("clock set 2024-02-29T12:34:00"), 0);
    r = tqrf("--json clock");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(json::parse(r.out)["clock"].get<std::string>().substr(0, 18), "2024-02-29T12:34:0");

    EXPECT_RUN(tqrf("e2 write 32 000102030405060708090A0B0C0D0E0F"), 0);
    r = tqrf("--json e2 read 32");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(json::parse(r.out)["data"], "000102030405060708090A0B0C0D0E0F");
    r = tqrf("e2 write 0 000102030405060708090A0B0C0D0E0F");  // the product information
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("reader status"), std::string::npos) << r.err;

    const auto beeps = sim_->with_reader([](tqrf_sim::Reader& rd) { return rd.beeps(); });
    EXPECT_RUN(tqrf("beep 50"), 0);
    EXPECT_EQ(sim_->with_reader([](tqrf_sim::Reader& rd) { return rd.beeps(); }), beeps + 1);
}

TEST_F(Cli, MissingPortFailsClearly) {
    Outcome r = tqrf("--port /dev/tqrf-no-such-reader scan", false);
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("cannot open /dev/tqrf-no-such-reader: the device is missing"),
              std::string::npos)
        << r.err;
    r = tqrf("--port COM200 scan", false);
    EXPECT_RUN(r, 1);
    EXPECT_NE(r.err.find("COM200 (/dev/ttyS199)"), std::string::npos) << r.err;
}

TEST_F(Cli, BadArgumentsGiveStatus2) {
    const std::string tiny = path("tiny.mfd");
    spill(tiny, "0123456789");
    const std::string bad_keys = path("bad_keys.txt");
    spill(bad_keys, "FFFFFFFFFFFF\nnope\n");
    const std::string cases[] = {
        "",
        "frobnicate",
        "read",
        "read 64",
        "read x",
        "write 4 0011",
        "write 4 GG112233445566778899AABBCCDDEEFF",
        "write 0 00112233445566778899AABBCCDDEEFF",
        "read 1 --key FFFF",
        "read 1 --keys " + bad_keys,
        "read 1 --keys " + path("none.txt"),
        "value inc 4",
        "value inc 4 -1",
        "value copy 4 8",
        "value",
        "clock set 2024-13-01T00:00:00",
        "e2 write 128 000102030405060708090A0B0C0D0E0F",
        "restore " + tiny,
        "dump --format png",
        "beep 9999",
    };
    for (const auto& args : cases) {
        const Outcome r = tqrf(args);
        EXPECT_EQ(r.status, 2) << "tqrf " << args << "\nstderr:\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << args;
    }
    EXPECT_EQ(tqrf("scan", false).status, 2);      // no --port and no --simulate
    EXPECT_EQ(tqrf("--simulate scan").status, 2);  // both
}

TEST_F(Cli, HelpOnEveryCommand) {
    for (const char* cmd : {"", "scan", "info", "read", "write", "dump", "restore", "value",
                            "value inc", "beep", "clock", "clock set", "e2", "e2 write"}) {
        const Outcome r = tqrf(std::string(cmd) + " --help", false);
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << cmd << r.out;
    }
}

TEST_F(Cli, SimulateNeedsNoPort) {
    const Outcome r = tqrf("--simulate scan", false);
    EXPECT_RUN(r, 0);
    EXPECT_NE(r.out.find("3A7C91E5"), std::string::npos);
}

}  // namespace
