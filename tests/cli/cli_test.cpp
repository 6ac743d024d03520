// The built tqrf executable against the simulated reader: each test starts its own simulator
// on a pseudo-terminal in this process with the demo card in its field, runs tqrf --port on it
// and checks the output, the exit status, the files and the card's memory afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "cli_run.h"
#include "support.h"
#include "tq_RWD_DLL.h"
#include "tqrf_sim/simulator.h"

namespace {

using namespace tqrf_cli_test;
using nlohmann::json;
using tqrf::Block;
namespace mifare = tqrf::mifare;
namespace tool = tqrf::tool;

constexpr tqrf_sim::Uid kDemoUid{0x3A, 0x7C, 0x91, 0xE5};

void spill(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string image_bytes(const tool::Image& image) {
    return std::string(reinterpret_cast<const char*>(image.data()), image.size());
}

std::unique_ptr<tqrf_sim::Simulator> demo_simulator() {
    tqrf_sim::SimulatorOptions opts;
    opts.default_card = false;
    auto sim = std::make_unique<tqrf_sim::Simulator>(opts);
    const auto image = tool::demo_card_image();
    EXPECT_TRUE(sim->place_card(std::span<const std::uint8_t>(image.data(), image.size())));
    sim->start();
    return sim;
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_ = demo_simulator();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        char dir[] = "/tmp/tqrf_cli_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = std::string(dir) + "/";
        (void)info;
        keys_file_ = path("keys.txt");
        spill(keys_file_, "# demo card\nFFFFFFFFFFFF\nA0A1A2A3A4A5\nB0B1B2B3B4B5\n");
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + dir_ + "'";
        (void)std::system(cmd.c_str());
    }

    std::string path(const std::string& name) const { return dir_ + name; }
    // A watch (`options` before the port) that reported the card (`arrived`), then the reader's
    // loss (`lost`) once the simulated reader was stopped.
    void watch_until_the_reader_is_lost(const std::string& options, const std::string& arrived,
                                        const std::string& lost, std::unique_ptr<Background>& w) {
        w = std::make_unique<Background>(
            exe() + options + "--port " + port() + " watch --interval 20", path("watch.out"),
            path("watch.err"));
        ASSERT_TRUE(w->wait_for({arrived})) << w->out() << w->err();
        sim_->stop();
        ASSERT_TRUE(w->wait_for({lost})) << w->out() << w->err();
    }
    std::string port() const { return sim_->slave_path(); }

    // The tool with a generous reply deadline: on a loaded machine the simulator's thread may
    // answer late.
    std::string exe() const { return std::string(TQRF_EXE) + (slack_ ? " --slack 500 " : " "); }

    // Runs tqrf with the simulator's port in front of `args`; `prefix` is shell text before
    // the program (environment, ulimit).
    Outcome tqrf(const std::string& args, bool with_port = true,
                 const std::string& prefix = "") const {
        Outcome r;
        const std::string out = path("stdout"), err = path("stderr");
        const std::string cmd = prefix + " " + exe() + (with_port ? "--port " + port() + " " : "") +
                                args + " >" + out + " 2>" + err + " </dev/null";
        const std::string shell = "(" + cmd + ")";
        const int rc = std::system(shell.c_str());
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    // Runs tqrf without --port: the exit status must be `code`, stderr must hold `part`.
    void expect_offline_error(const std::string& args, int code, const std::string& part) const {
        const Outcome r = tqrf(args, false);
        EXPECT_EQ(r.status, code) << args << "\nstdout:\n" << r.out << "stderr:\n" << r.err;
        EXPECT_TRUE(has(r.err, part)) << args << ":\n" << r.err;
    }

    tool::Image card() const {
        auto img = sim_->card_image(kDemoUid, tqrf_sim::ImageView::Raw);
        EXPECT_TRUE(img.has_value());
        tool::Image out{};
        if (img) std::memcpy(out.data(), img->data(), out.size());
        return out;
    }

    Block card_block(int block) const { return tool::image_block(card(), block); }

    // The card as it is after its backup was made: every data block but block 0 holds other
    // bytes (each call changes them again), and with `user_bytes` each trailer's user byte
    // too. The access bits and keys stay.
    void change_card_since_backup(bool user_bytes = false) {
        tool::Image image = card();
        const auto mask = static_cast<std::uint8_t>(0xFF - 0x10 * changes_++);
        for (int b = 1; b < mifare::kBlocks; ++b) {
            Block x = tool::image_block(image, b);
            if (!mifare::is_trailer(b)) {
                for (auto& byte : x) byte = static_cast<std::uint8_t>(byte ^ mask);
            } else if (user_bytes) {
                x[9] = static_cast<std::uint8_t>(x[9] ^ 0x5A);
            }
            tool::set_image_block(image, b, x);
        }
        ASSERT_TRUE(sim_->remove_card(kDemoUid));
        ASSERT_TRUE(sim_->place_card(std::span<const std::uint8_t>(image.data(), image.size())));
    }

    std::size_t writes_seen() const {
        std::size_t n = 0;
        for (const auto& ex : sim_->journal()) n += ex.command() == tqrf_sim::cmd::kWrite ? 1 : 0;
        return n;
    }

    std::unique_ptr<tqrf_sim::Simulator> sim_;
    std::string dir_;
    std::string keys_file_;
    bool slack_ = true;
    int changes_ = 0;
};

#define EXPECT_RUN(run, code) \
    EXPECT_EQ((run).status, code) << "stdout:\n" << (run).out << "stderr:\n" << (run).err

// Runs and stops the test unless the exit status is `code`.
#define ASSERT_RUN(args, code)                                  \
    do {                                                        \
        const Outcome run_ = tqrf(args);                        \
        ASSERT_EQ(run_.status, code) << (args) << "\nstdout:\n" \
                                     << run_.out << "stderr:\n" \
                                     << run_.err;               \
    } while (false)

// ---- Cards and blocks ----------------------------------------------------------------------

TEST_F(Cli, ScanShowsTheCard) {
    const Outcome r = tqrf("scan");
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Card type  0400")) << r.out;
    EXPECT_TRUE(has(r.out, "UID        3A7C91E5")) << r.out;
    EXPECT_TRUE(has(r.out, "Size byte  08 (Mifare Classic 1K)")) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(Cli, ScanOfAnEmptyFieldFails) {
    sim_->remove_all_cards();
    const Outcome r = tqrf("scan");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "no card answered")) << r.err;
}

TEST_F(Cli, SeveralPortsForScanNamePortsOnEachLine) {
    tqrf_sim::SimulatorOptions opts;
    opts.default_card = false;
    tqrf_sim::Simulator other(opts);
    ASSERT_TRUE(other.place_card(tqrf_sim::Uid{0x11, 0x22, 0x33, 0x44}));
    other.start();
    const std::string both = "--port " + other.slave_path() + " scan";
    Outcome r = tqrf(both);
    EXPECT_RUN(r, 0);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind(port() + "  ", 0), 0u) << lines[0];
    EXPECT_TRUE(has(lines[0], "UID 3A7C91E5")) << lines[0];
    EXPECT_EQ(lines[1].rfind(other.slave_path() + "  ", 0), 0u) << lines[1];
    EXPECT_TRUE(has(lines[1], "UID 11223344")) << lines[1];

    r = tqrf("--json " + both);
    EXPECT_RUN(r, 0);
    const json j = json::parse(r.out);
    ASSERT_TRUE(j.is_array());
    EXPECT_EQ(j[1]["port"], other.slave_path());
    EXPECT_EQ(j[1]["uid"], "11223344");

    // One reader without a card: its line says so, the run still found a card.
    other.remove_all_cards();
    r = tqrf(both);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, other.slave_path() + "  no card answered")) << r.out;
    // Commands that work on one card take one port.
    r = tqrf("--port " + other.slave_path() + " read 1");
    EXPECT_RUN(r, 2);
    EXPECT_TRUE(has(r.err, "more than once only for scan and watch")) << r.err;
}

TEST_F(Cli, JsonOutputParses) {
    // The arguments, and a key the document must hold.
    const std::pair<const char*, const char*> cases[] = {
        {"--json scan", "uid"},
        {"--json info", "hardware_version"},
        {"--json read 1", "data"},
        {"--json value get 4", "value"},
        {"--json clock get", "raw"},
        {"--json e2 read 0", "data"},
        {"--json dump", "sectors"},
        {"scan --json", "uid"},  // global options also after the command
    };
    for (const auto& [args, key] : cases) {
        const Outcome r = tqrf(args);
        EXPECT_RUN(r, 0);
        json j;
        ASSERT_NO_THROW(j = json::parse(r.out)) << args << ":\n" << r.out;
        EXPECT_TRUE(j.contains(key)) << args << ":\n" << r.out;
    }
    const json scan = json::parse(tqrf("--json scan").out);
    EXPECT_EQ(scan["uid"], "3A7C91E5");
    EXPECT_EQ(scan["card_type"], "0400");
    EXPECT_EQ(scan["size_byte"], "08");
    EXPECT_EQ(json::parse(tqrf("--json value get 4").out)["value"], 100);
}

TEST_F(Cli, JsonErrorsAreObjectsOnStdoutAsWellAsTextOnStderr) {
    const std::string dir = path("");
    struct Case {
        std::string args;
        bool with_port;
        int status;
        const char* error;
        std::optional<int> code;
    };
    const Case cases[] = {
        {"--json read 8", true, 1, "no_key", std::nullopt},
        {"--json bogus", true, 2, "usage", std::nullopt},
        {"--json read 64", true, 2, "usage", std::nullopt},
        {"--json --port /dev/null scan", false, 1, "not_a_serial_device", ERR_PORT_OPEN_FAILED},
        {"--json --port /dev/tqrf-none scan", false, 1, "device_missing", ERR_PORT_OPEN_FAILED},
        {"--json restore " + dir, true, 2, "usage", std::nullopt},
        {"--json value inc 1 1", true, 1, "refused", 0x15},
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf(c.args, c.with_port);
        EXPECT_RUN(r, c.status);
        json j;
        ASSERT_NO_THROW(j = json::parse(r.out)) << c.args << ":\n" << r.out;
        EXPECT_EQ(j["error"], c.error) << c.args;
        EXPECT_EQ(j["code"], c.code ? json(*c.code) : json(nullptr)) << c.args;
        ASSERT_TRUE(j["message"].is_string());
        EXPECT_TRUE(has(r.err, j["message"].get<std::string>())) << r.err;
    }
}

TEST_F(Cli, ReadAndWriteABlock) {
    Outcome r = tqrf("read 1");
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "48656C6C6F2066726F6D207471726621")) << r.out;
    EXPECT_TRUE(has(r.out, "Hello from tqrf!")) << r.out;

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

TEST_F(Cli, NumbersAreDecimalOrHexNeverOctal) {
    struct Case {
        const char* number;
        int block;
    };
    for (const Case& c : {Case{"010", 10}, Case{"08", 8}, Case{"0x0A", 10}, Case{"0X3e", 62}}) {
        const Outcome r = tqrf(std::string("--json read ") + c.number + " --keys " + keys_file_);
        EXPECT_RUN(r, 0);
        const json j = json::parse(r.out);
        EXPECT_EQ(j["block"], c.block) << c.number;
        EXPECT_EQ(j["data"], card_block(c.block).hex()) << c.number;
    }
    const Block before8 = card_block(8);
    EXPECT_RUN(tqrf("write 010 0102030405060708090A0B0C0D0E0F10 --keys " + keys_file_), 0);
    EXPECT_EQ(card_block(10).hex(), "0102030405060708090A0B0C0D0E0F10");
    EXPECT_EQ(card_block(8), before8);
    EXPECT_EQ(json::parse(tqrf("--json e2 read 0x20").out)["address"], 32);
    EXPECT_EQ(json::parse(tqrf("--json e2 read 020").out)["address"], 20);
    for (const char* bad : {"read 0x40", "read 1e1", "read -1", "value init 5 0x80000000"}) {
        EXPECT_EQ(tqrf(bad).status, 2) << bad;
    }
    EXPECT_RUN(tqrf("value init 5 -0x10"), 0);
    EXPECT_EQ(mifare::ValueBlock::decode(card_block(5))->value, -16);
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
        EXPECT_TRUE(has(r.err, c.message)) << c.args << ": " << r.err;
    }
    EXPECT_EQ(image_bytes(card()), image_bytes(before));
    // --force writes the permanent trailer; the card takes it.
    EXPECT_RUN(tqrf("write 7 FFFFFFFFFFFF778F0869FFFFFFFFFFFF --force"), 0);
    EXPECT_EQ(card_block(7).hex(), "FFFFFFFFFFFF778F0869FFFFFFFFFFFF");
}

TEST_F(Cli, WrongKeyFailsWithAMessage) {
    Outcome r = tqrf("read 8");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "no key opens sector 2")) << r.err;
    r = tqrf("read 1 --key 010203040506");  // --key replaces the factory key
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "no key opens sector 0")) << r.err;
    r = tqrf("dump --key 010203040506");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "no key opens any sector")) << r.err;
    const Block before = card_block(9);
    r = tqrf("write 9 0102030405060708090A0B0C0D0E0F10 --key A0A1A2A3A4A5");
    EXPECT_RUN(r, 1);  // key A may read sector 2 but not write it
    EXPECT_TRUE(has(r.err, "writing block 9 refused")) << r.err;
    EXPECT_EQ(card_block(9), before);
}

TEST_F(Cli, KeyFilesAddToTheFactoryKey) {
    // Only sector 2's keys in the file: the factory key still opens the other 15.
    const std::string sector2 = path("sector2.txt");
    spill(sector2, "A0A1A2A3A4A5\nB0B1B2B3B4B5\n");
    const std::string out = path("card.mfd");
    Outcome r = tqrf("dump --keys " + sector2 + " -o " + out);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(slurp(out), image_bytes(card()));
    // --no-default-keys drops it.
    r = tqrf("read 1 --keys " + sector2 + " --no-default-keys");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "no key opens sector 0")) << r.err;
    EXPECT_RUN(tqrf("read 9 --keys " + sector2 + " --no-default-keys"), 0);
    r = tqrf("read 1 --no-default-keys");
    EXPECT_RUN(r, 2);
    EXPECT_TRUE(has(r.err, "needs --key or --keys")) << r.err;
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
        {"value dec 4 200 --allow-negative", "Block 4 value -75", 4, -75},
        {"value init 5 7", "Block 5 value 7", 5, 7},
        {"value copy 4 6", "Block 6 value -75", 6, -75},
    };
    for (const auto& s : steps) {
        const Outcome r = tqrf(s.args);
        EXPECT_RUN(r, 0);
        EXPECT_TRUE(has(r.out, s.out)) << s.args << ": " << r.out;
        auto v = mifare::ValueBlock::decode(card_block(s.block));
        ASSERT_TRUE(v) << s.args;
        EXPECT_EQ(v->value, s.value) << s.args;
    }
    // Block 1 holds text, not a value.
    const Outcome r = tqrf("value inc 1 1");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "incrementing block 1 refused")) << r.err;
}

// ---- Dump and restore ----------------------------------------------------------------------

TEST_F(Cli, DumpWritesTheImageTheCardHolds) {
    const std::string out = path("card.mfd");
    const Outcome r = tqrf("dump --keys " + keys_file_ + " -o " + out);
    EXPECT_RUN(r, 0);
    // Every key is known, so the image is the card's memory byte for byte, keys included.
    EXPECT_EQ(slurp(out), image_bytes(card()));
    EXPECT_TRUE(has(r.out, "Sector 2  key A A0A1A2A3A4A5  key B B0B1B2B3B4B5")) << r.out;
    EXPECT_TRUE(has(r.out, "value 100 (address 4)")) << r.out;
    EXPECT_TRUE(has(r.out, "011  key A write B; bits read AB write B; key B read - write B"))
        << r.out;
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the card's keys
}

TEST_F(Cli, APlainImageOfAPartialDumpNeedsPartial) {
    const std::string out = path("card.mfd");
    spill(out, "an older backup");
    Outcome r = tqrf("dump -o " + out);
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "sector(s) 2 could not be read whole")) << r.err;
    EXPECT_TRUE(has(r.err, "--partial")) << r.err;
    EXPECT_EQ(slurp(out), "an older backup");
    r = tqrf("--json dump -o " + out);
    EXPECT_RUN(r, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "partial_dump");
    EXPECT_EQ(j["result"]["missing_sectors"], json::array({2}));
    EXPECT_EQ(j["result"]["file_written"], false);

    r = tqrf("dump --partial -o " + out);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.err, "sector(s) 2 are zeros in the image")) << r.err;
    tool::Image expected = card();
    for (int b = 8; b < 12; ++b) tool::set_image_block(expected, b, Block{});
    EXPECT_EQ(slurp(out), image_bytes(expected));

    // A JSON dump marks what it did not read: written without --partial.
    const std::string js = path("card.json");
    r = tqrf("dump -o " + js);
    EXPECT_RUN(r, 0);
    const json doc = json::parse(slurp(js));
    EXPECT_EQ(doc["complete"], false);
    EXPECT_EQ(doc["sectors"][2]["blocks"][1]["read"], false);
    EXPECT_EQ(doc["sectors"][2]["blocks"][1]["data"], nullptr);
}

TEST_F(Cli, RestoreOfAPartialImageLeavesTheUnreadSectorAsItWas) {
    // The dump has no key for sector 2; sectors 1 and 2 change on the card afterwards.
    const std::string image = path("partial.mfd");
    ASSERT_RUN("dump --partial -o " + image, 0);
    const Block block5 = card_block(5);
    const Block changed = *Block::from_hex("0102030405060708090A0B0C0D0E0F10");
    ASSERT_RUN("write 5 " + changed.hex(), 0);
    ASSERT_RUN("write 9 " + changed.hex() + " --keys " + keys_file_, 0);
    const tool::Image before = card();

    for (const char* extra : {"", " --trailers"}) {
        const Outcome r = tqrf("restore " + image + " --keys " + keys_file_ + extra);
        EXPECT_RUN(r, 0);
        EXPECT_TRUE(has(r.out, "Not in the image, left as they are: sectors 2")) << r.out;
        EXPECT_TRUE(has(r.err, "sector 2 is not in")) << r.err;
        EXPECT_EQ(card_block(5), block5) << extra;  // restored from the image
        for (int b = 8; b < 12; ++b) {
            EXPECT_EQ(card_block(b), tool::image_block(before, b)) << extra << " block " << b;
        }
    }
}

TEST_F(Cli, RestoreNeverWritesATrailerWhoseKeyTheDumpDidNotKnow) {
    // Key A opens all of sector 2, but its key B stays unknown: zeros in the image.
    const std::string key_a_only = path("key_a.txt");
    spill(key_a_only, "A0A1A2A3A4A5\n");
    for (const char* name : {"card.mfd", "card.json"}) {
        const std::string image = path(name);
        ASSERT_RUN("dump --keys " + key_a_only + " -o " + image, 0);
        const Block trailer = card_block(11);
        const Outcome r = tqrf("restore --trailers " + image + " --keys " + keys_file_);
        EXPECT_RUN(r, 0);
        EXPECT_TRUE(has(r.out, "Trailer 11 left as it is: the dump did not know its key B"))
            << r.out;
        EXPECT_EQ(card_block(11), trailer) << name;
        EXPECT_RUN(tqrf("read 8 --key-b --key B0B1B2B3B4B5"), 0);
    }
}

TEST_F(Cli, RestoreRefusesAnotherCardsImage) {
    tool::Image image = card();
    Block b0 = tool::image_block(image, 0);
    b0[0] = 0x11, b0[1] = 0x22, b0[2] = 0x33, b0[3] = 0x44;
    tool::set_image_block(image, 0, b0);
    tool::set_image_block(image, 1, *Block::from_hex("00112233445566778899AABBCCDDEEFF"));
    const std::string file = path("other.mfd");
    spill(file, image_bytes(image));
    const tool::Image before = card();

    Outcome r = tqrf("restore " + file);
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "the image is of card 11223344, the card in the field is 3A7C91E5"))
        << r.err;
    EXPECT_EQ(image_bytes(card()), image_bytes(before));
    EXPECT_EQ(json::parse(tqrf("--json restore " + file).out)["error"], "uid_mismatch");
    EXPECT_EQ(writes_seen(), 0u);

    r = tqrf("restore --force " + file);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(1).hex(), "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(card_block(0), tool::image_block(before, 0));  // block 0 is never written
}

TEST_F(Cli, RestoreDryRunListsAndWritesNothing) {
    tool::Image image = card();
    tool::set_image_block(image, 1, *Block::from_hex("00112233445566778899AABBCCDDEEFF"));
    const std::string file = path("edited.mfd");
    spill(file, image_bytes(image));
    change_card_since_backup(true);
    const tool::Image before = card();
    Outcome r = tqrf("restore --dry-run " + file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Dry run: nothing was written")) << r.out;
    EXPECT_TRUE(has(r.out, "would write 47 blocks: 1, 2, 4,")) << r.out;
    r = tqrf("--json restore --dry-run --trailers " + file);
    EXPECT_RUN(r, 0);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["planned"].size(), 47u + 16u);
    EXPECT_FALSE(j.contains("written"));
    EXPECT_EQ(image_bytes(card()), image_bytes(before));
    EXPECT_EQ(writes_seen(), 0u);
}

TEST_F(Cli, DumpRestoreDumpRoundTrip) {
    const std::string first = path("first.mfd"), second = path("second.mfd");
    ASSERT_RUN("dump --keys " + keys_file_ + " -o " + first, 0);
    tool::Image image{};
    const std::string bytes = slurp(first);
    ASSERT_EQ(bytes.size(), 1024u);
    std::memcpy(image.data(), bytes.data(), 1024);

    // Change data in three sectors (sector 2 only key B may write), and block 0 past its UID,
    // which restore must leave alone.
    tool::Image edited = image;
    Block b0 = tool::image_block(edited, 0);
    std::fill(b0.begin() + 8, b0.end(), std::uint8_t{0x77});
    tool::set_image_block(edited, 0, b0);
    tool::set_image_block(edited, 1, *Block::from_hex("524553544F52454420424C4F434B2031"));
    tool::set_image_block(edited, 9, *Block::from_hex("99999999999999999999999999999999"));
    tool::set_image_block(edited, 62, *Block::from_hex("0123456789ABCDEF0123456789ABCDEF"));
    const std::string edited_file = path("edited.mfd");
    spill(edited_file, image_bytes(edited));
    change_card_since_backup();

    const Outcome r = tqrf("restore " + edited_file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Restored 47 of 47 blocks")) << r.out;

    tool::Image expected = edited;
    tool::set_image_block(expected, 0, tool::image_block(image, 0));
    EXPECT_EQ(image_bytes(card()), image_bytes(expected));

    ASSERT_RUN("dump --keys " + keys_file_ + " -o " + second, 0);
    EXPECT_EQ(slurp(second), image_bytes(expected));
}

TEST_F(Cli, JsonDumpRestores) {
    const std::string file = path("card.json");
    ASSERT_RUN("dump --keys " + keys_file_ + " -o " + file, 0);
    json doc = json::parse(slurp(file));
    EXPECT_EQ(doc["sectors"][2]["key_b"], "B0B1B2B3B4B5");
    EXPECT_EQ(doc["sectors"][1]["blocks"][0]["value"], 100);
    EXPECT_EQ(doc["sectors"][0]["blocks"][3]["access"], "001");
    EXPECT_EQ(doc["sectors"][2]["access_bytes"], "787788");
    EXPECT_EQ(doc["sectors"][2]["blocks"][0]["rights"]["write"], "B");
    doc["sectors"][0]["blocks"][1]["data"] = "4A534F4E20524553544F524520202020";
    doc["sectors"][2]["blocks"][1]["data"] = "4A534F4E20534543544F522032202020";
    spill(file, doc.dump());
    const Outcome r = tqrf("restore " + file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(1).hex(), "4A534F4E20524553544F524520202020");
    EXPECT_EQ(card_block(9).hex(), "4A534F4E20534543544F522032202020");
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

TEST_F(Cli, RestoreRefusesPermanentTrailersAndSkipsInvalidOnes) {
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
    EXPECT_TRUE(has(r.err, "sector 3 (block 15)")) << r.err;
    EXPECT_TRUE(has(r.err, "nothing was written")) << r.err;
    EXPECT_EQ(image_bytes(card()), image_bytes(original));

    // Invalid access bits mark the sector as not in the image: left alone, the rest written.
    tool::Image invalid = original;
    Block t = tool::image_block(invalid, 7);
    t[6] = 0x00;
    tool::set_image_block(invalid, 7, t);
    tool::set_image_block(invalid, 5, *Block::from_hex("EEEEEEEEEEEEEEEEEEEEEEEEEEEEEEEE"));
    tool::set_image_block(invalid, 2, *Block::from_hex("DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD"));
    const std::string invalid_file = path("invalid.mfd");
    spill(invalid_file, image_bytes(invalid));
    r = tqrf("restore --trailers --force " + invalid_file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Not in the image, left as they are: sectors 1")) << r.out;
    EXPECT_EQ(card_block(5), tool::image_block(original, 5));
    EXPECT_EQ(card_block(7), tool::image_block(original, 7));
    EXPECT_EQ(card_block(2).hex(), "DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD");

    // --force accepts the permanent one.
    r = tqrf("restore --trailers --force " + frozen_file);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(15).hex().substr(12, 6), "778F08");
}

// ---- Files ---------------------------------------------------------------------------------

TEST_F(Cli, TheFormatComesFromTheNameOrFormatNeverFromJson) {
    // The arguments before the file, the file, and whether it holds JSON (else the card's image).
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"--json dump -o ", "a.mfd", false},
        {"dump -o ", "b.bin", false},
        {"dump -o ", "c.json", true},
        {"--json dump --format mfd -o ", "d.json", false},
        {"dump --format json -o ", "e.dat", true},
    };
    for (const auto& [args, file, is_json] : cases) {
        const Outcome r = tqrf(args + path(file) + " --keys " + keys_file_);
        EXPECT_RUN(r, 0);
        const std::string bytes = slurp(path(file));
        if (is_json) {
            EXPECT_TRUE(json::accept(bytes)) << file;
        } else {
            EXPECT_EQ(bytes, image_bytes(card())) << file;
        }
    }
    const Outcome r = tqrf("dump -o " + path("f.dat"));
    EXPECT_RUN(r, 2);
    EXPECT_TRUE(has(r.err, "cannot tell the format")) << r.err;
}

TEST_F(Cli, AFailedWriteLeavesTheOldFileIntact) {
    const std::string file = path("backup.json");
    spill(file, "the good backup");
    // The JSON dump is far larger than the 1 KiB the limit leaves.
    const Outcome r = tqrf("dump --keys " + keys_file_ + " -o " + file, true, "ulimit -f 2;");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "cannot write " + file)) << r.err;
    EXPECT_TRUE(has(r.err, "left as it was")) << r.err;
    EXPECT_EQ(slurp(file), "the good backup");
    // No temporary file is left behind.
    const Outcome ls = tqrf("", false, "ls -A " + path("") + " | grep tmp;");
    EXPECT_TRUE(ls.out.empty()) << ls.out;
}

TEST_F(Cli, UnreadableFilesAreClearUsageErrors) {
    spill(path("tiny.mfd"), "0123456789");
    spill(path("tiny.txt"), "0123456789");
    spill(path("bad.json"), "{ not json");
    spill(path("short.json"), R"({"uid": "3A7C91E5", "sectors": [{}]})");
    spill(path("bad_keys.txt"), "FFFFFFFFFFFF\nnope\n");
    mkdir(path("dir.mfd").c_str(), 0700);
    struct Case {
        std::string args;
        const char* message;
    };
    const Case cases[] = {
        {"restore " + path("tiny.mfd"), "is 10 bytes; a 1K card image"},
        {"restore " + path("none.mfd"), "No such file or directory"},
        {"restore " + path("dir.mfd"), "it is a directory"},
        {"restore " + path("bad.json"), "is not JSON"},
        {"restore " + path("short.json"), "sectors: 16 sectors expected, 1 found"},
        {"restore " + path("tiny.txt"), "not a card image in any format tqrf knows"},
        {"read 1 --keys " + path(""), "it is a directory"},
        {"read 1 --keys " + path("none.txt"), "No such file or directory"},
        {"read 1 --keys " + path("bad_keys.txt"), "line 2"},
        {"dump -o " + path("dir.mfd"), "it is a directory"},
        {"dump -o " + path("none/x.mfd"), "does not exist"},
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf(c.args);
        EXPECT_RUN(r, 2);
        EXPECT_TRUE(has(r.err, c.message)) << c.args << ": " << r.err;
        EXPECT_FALSE(has(r.err, "basic_filebuf")) << r.err;
    }
    EXPECT_EQ(writes_seen(), 0u);
}

TEST_F(Cli, TheSimulatorRefusesADirectoryAsACardImage) {
    const std::string cmd =
        std::string(TQRF_SIM_EXE) + " --card " + path("") + " 2>" + path("err") + " >/dev/null";
    const int rc = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 2);
    EXPECT_TRUE(has(slurp(path("err")), "a directory"));
}

// ---- The reader ----------------------------------------------------------------------------

TEST_F(Cli, ReaderCommands) {
    Outcome r = tqrf("info");
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "TQRF-SIM RC500 V1.0")) << r.out;
    EXPECT_TRUE(has(r.out, "Identity number   0x12345678")) << r.out;

    EXPECT_RUN(tqrf("e2 write 32 000102030405060708090A0B0C0D0E0F --force"), 0);
    r = tqrf("--json e2 read 32");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(json::parse(r.out)["data"], "000102030405060708090A0B0C0D0E0F");
    r = tqrf("e2 write 0 000102030405060708090A0B0C0D0E0F --force");  // the product information
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err,
                    "writing the E2PROM at 0: the reader refused the E2PROM write: the "
                    "address is in its read-only part, or beyond its E2PROM (reader "
                    "status 0x1A)"))
        << r.err;

    const auto beeps = sim_->with_reader([](tqrf_sim::Reader& rd) { return rd.beeps(); });
    EXPECT_RUN(tqrf("beep 50"), 0);
    EXPECT_EQ(sim_->with_reader([](tqrf_sim::Reader& rd) { return rd.beeps(); }), beeps + 1);
}

TEST_F(Cli, E2promWritesNeedForce) {
    const auto e2 = [&] {
        return sim_->with_reader([](tqrf_sim::Reader& rd) { return rd.e2prom(); });
    };
    const auto before = e2();
    const Outcome r = tqrf("e2 write 32 000102030405060708090A0B0C0D0E0F");
    EXPECT_RUN(r, 2);
    EXPECT_TRUE(has(r.err, "add --force")) << r.err;
    EXPECT_EQ(e2(), before);
    for (const auto& ex : sim_->journal()) EXPECT_NE(ex.command(), tqrf_sim::cmd::kWriteE2);
}

TEST_F(Cli, TheClockIsRawBytesUnlessItsLayoutIsKnown) {
    // A real reader's layout is its own: raw bytes in and out.
    Outcome r = tqrf("clock set 2024-02-29T12:34:00");
    EXPECT_RUN(r, 2);
    EXPECT_TRUE(has(r.err, "14 hex digits")) << r.err;
    EXPECT_RUN(tqrf("clock set 00341229020424"), 0);
    r = tqrf("clock");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out.rfind("Clock bytes 0", 0), 0u) << r.out;
    EXPECT_TRUE(has(r.out, "341229020424")) << r.out;
    json j = json::parse(tqrf("--json clock").out);
    EXPECT_EQ(j["layout"], "unknown");
    EXPECT_EQ(j["clock"], nullptr);
    // The simulator's layout, when asked for (and by default under --simulate).
    j = json::parse(tqrf("--json clock --layout sim").out);
    EXPECT_EQ(j["clock"].get<std::string>().substr(0, 18), "2024-02-29T12:34:0");
    EXPECT_RUN(tqrf("clock --layout sim set 2025-01-02T03:04:05"), 0);
    EXPECT_EQ(json::parse(tqrf("--json clock --layout sim").out)["clock"].get<std::string>().substr(
                  0, 18),
              "2025-01-02T03:04:0");
    r = tqrf("--simulate clock", false);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "clock bytes")) << r.out;
    EXPECT_EQ(r.out.substr(0, 2), "20") << r.out;  // a date
}

// ---- Messages ------------------------------------------------------------------------------

TEST_F(Cli, OpenFailuresSayWhy) {
    spill(path("plain"), "a plain file");
    mkdir(path("folder").c_str(), 0700);
    // The simulator's port, held open by this process: busy for the tool.
    tqrf_reader* holder = nullptr;
    ASSERT_EQ(tqrf_reader_open(port().c_str(), &holder), 0);
    struct Case {
        std::string port;
        const char* message;
    };
    const Case cases[] = {
        {"/dev/tqrf-no-such-reader", "cannot open /dev/tqrf-no-such-reader: the device is missing"},
        {"COM200", "cannot open COM200 (/dev/ttyS199): the device is missing"},
        {"/dev/null", "cannot open /dev/null: not a serial device"},
        {path("plain"), ": not a serial device"},
        {path("folder"), ": not a serial device (a directory)"},
        {port(), ": the device is busy (another program holds it open; find it with: fuser"},
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf("--port " + c.port + " info", false);
        EXPECT_RUN(r, 1);
        EXPECT_TRUE(has(r.err, c.message)) << c.port << ": " << r.err;
    }
    tqrf_reader_close(holder);
}

TEST_F(Cli, LinkFailuresSayWhatToCheck) {
    sim_->add_fault(
        tqrf_sim::FaultRule{tqrf_sim::Fault{tqrf_sim::FaultKind::NoReply, 0}, std::nullopt, -1});
    Outcome r = tqrf("info");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err,
                    "no reply from the reader (check its power, the cable and the line "
                    "rate)"))
        << r.err;
    EXPECT_EQ(json::parse(tqrf("--json scan").out)["error"], "no_reply");
}

TEST_F(Cli, StatusBytesCarryTheirNames) {
    // The simulator's own status bytes are named under --simulate; a real reader's are shown
    // as the byte, in one style.
    Outcome r = tqrf("--simulate value inc 1 1", false);
    EXPECT_RUN(r, 1);
    // The tool reads the value first: its refusal is the value read's.
    EXPECT_TRUE(has(r.err, "the value was not read: the block is not a value block")) << r.err;
    EXPECT_TRUE(has(r.err, "(reader status 0x15: value format error)")) << r.err;
    r = tqrf("--simulate e2 write 0 000102030405060708090A0B0C0D0E0F --force", false);
    EXPECT_TRUE(has(r.err, "(reader status 0x1A: E2PROM area protected)")) << r.err;
    r = tqrf("value inc 1 1");
    EXPECT_TRUE(has(r.err, "the value was not read: the block is not a value block")) << r.err;
    EXPECT_TRUE(has(r.err, "(reader status 0x15)")) << r.err;
}

TEST_F(Cli, TheEnvironmentPortYieldsToExplicitOptions) {
    EXPECT_RUN(tqrf("--simulate scan", false, "TQRF_PORT=/dev/tqrf-no-such-reader"), 0);
    EXPECT_RUN(tqrf("scan", false, "TQRF_PORT=" + port()), 0);
    EXPECT_RUN(tqrf("scan", true, "TQRF_PORT=/dev/tqrf-no-such-reader"), 0);
    EXPECT_RUN(tqrf("--simulate scan"), 2);  // both given on the command line
}

TEST_F(Cli, VersionAndUnknownCommands) {
    Outcome r = tqrf("--version", false);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out.rfind("tqrf ", 0), 0u) << r.out;
    EXPECT_TRUE(has(r.out, "\nlibrary tq_RWD_DLL ")) << r.out;
    struct Case {
        const char* args;
        const char* message;
    };
    for (const Case& c : {Case{"bogus", "unknown command 'bogus'; the commands are: scan,"},
                          Case{"value bogus 4", "unknown command 'bogus' of 'value'"},
                          Case{"e2", "a command is needed of 'e2'; the commands are: read, write"},
                          Case{"", "a command is needed; the commands are: scan"}}) {
        r = tqrf(c.args, false);
        EXPECT_RUN(r, 2);
        EXPECT_TRUE(has(r.err, c.message)) << c.args << ": " << r.err;
    }
}

// ---- Trace and timing ----------------------------------------------------------------------

TEST_F(Cli, TraceShowsEveryFrameOnStderr) {
    const Outcome plain = tqrf("read 1");
    const Outcome r = tqrf("--trace read 1");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(r.out, plain.out);
    const auto lines = lines_of(r.err);
    auto find = [&](const std::string& part) {
        for (const auto& l : lines) {
            if (l.rfind("trace ", 0) == 0 && has(l, part)) return true;
        }
        return false;
    };
    EXPECT_TRUE(find("> 58  (address, mark parity)")) << r.err;
    // Read of block 1: LEN 4, BB 45 01 00, XOR.
    EXPECT_TRUE(find("> 00 04 BB 45 01 00 FB  (frame, space parity)")) << r.err;
    EXPECT_TRUE(find("< 00 11 48 65 6C 6C 6F 20 66 72 6F 6D 20 74 71 72 66 21 00 ")) << r.err;
    EXPECT_TRUE(find("= 0 done")) << r.err;
    // Every line starts with its time, seconds with microseconds.
    for (const auto& l : lines) {
        ASSERT_EQ(l.rfind("trace ", 0), 0u) << l;
        const auto dot = l.find('.');
        ASSERT_NE(dot, std::string::npos) << l;
        EXPECT_EQ(l.find("  ", dot), dot + 7) << l;
    }
    const Outcome j = tqrf("--json --trace read 1");
    EXPECT_TRUE(json::accept(j.out)) << j.out;
    EXPECT_TRUE(has(j.err, "(frame, space parity)"));
}

TEST_F(Cli, TraceHidesKeysUnlessAskedFor) {
    // The load-key frame: LEN 00 0A, BB 61, key type, sector, six key bytes, XOR. The key
    // bytes and the XOR byte (which gives the key away) show as ** unless --trace-keys.
    struct Case {
        const char* args;
        bool keys_shown;
    };
    for (const Case& c : {Case{"--trace read 1", false}, Case{"--trace-keys read 1", true},
                          Case{"--trace --trace-keys read 1", true}}) {
        const Outcome r = tqrf(c.args);
        EXPECT_RUN(r, 0);
        int load_key_frames = 0;
        for (const auto& l : lines_of(r.err)) {
            const auto at = l.find("> 00 0A BB 61 ");
            if (at == std::string::npos) continue;
            ++load_key_frames;
            const std::string key_and_xor = l.substr(at + 20, 20);
            if (c.keys_shown) {
                EXPECT_EQ(key_and_xor.substr(0, 17), "FF FF FF FF FF FF") << c.args << ": " << l;
                EXPECT_EQ(l.find("**"), std::string::npos) << l;
            } else {
                EXPECT_EQ(key_and_xor, "** ** ** ** ** ** **") << c.args << ": " << l;
                EXPECT_EQ(l.find("FF"), std::string::npos) << l;
            }
        }
        EXPECT_GT(load_key_frames, 0) << c.args << ": " << r.err;
    }
}

TEST_F(Cli, TimingAndSlackOptions) {
    // A reader that answers 45 ms after each request: later than the fixed 40 ms pause.
    sim_->set_latency(std::chrono::milliseconds(45));
    slack_ = false;
    Outcome r = tqrf("--timing fixed info");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "no reply from the reader")) << r.err;
    // The late reply of that run must be out before the next run's first request purges the
    // line: else it would be taken for that request's reply.
    ASSERT_TRUE(sim_->wait_until_idle(std::chrono::milliseconds(kPatience)));
    EXPECT_RUN(tqrf("--slack 500 info"), 0);
    EXPECT_RUN(tqrf("--timing complete --slack 0x1F4 info"), 0);
    for (const char* bad : {"--timing soon info", "--slack 1001 info", "--slack -1 info"}) {
        EXPECT_EQ(tqrf(bad).status, 2) << bad;
    }
}

// ---- Watch ---------------------------------------------------------------------------------

TEST_F(Cli, WatchSeesCardsArriveAndLeave) {
    Background w(exe() + "--port " + port() + " watch --interval 20", path("watch.out"),
                 path("watch.err"));
    ASSERT_TRUE(w.wait_for({"arrived"})) << w.out() << w.err();
    ASSERT_TRUE(sim_->remove_card(kDemoUid));
    ASSERT_TRUE(w.wait_for({"left"})) << w.out() << w.err();
    const auto image = tool::demo_card_image();
    ASSERT_TRUE(sim_->place_card(std::span<const std::uint8_t>(image.data(), image.size())));
    ASSERT_TRUE(w.wait_for({"arrived"}, 2)) << w.out() << w.err();
    EXPECT_EQ(w.end(SIGINT), 0) << w.err();
    const auto lines = lines_of(w.out());
    ASSERT_EQ(lines.size(), 3u) << w.out();
    EXPECT_TRUE(has(lines[0], "  " + port() + "  arrived  card type 0400  UID 3A7C91E5"))
        << lines[0];
    EXPECT_TRUE(has(lines[1], "left")) << lines[1];
    EXPECT_EQ(lines[0].substr(4, 1) + lines[0].substr(10, 1), "-T") << lines[0];  // a date
}

TEST_F(Cli, WatchAsJsonLinesWithABlockOnEachTap) {
    tqrf_sim::SimulatorOptions opts;
    opts.default_card = false;
    tqrf_sim::Simulator other(opts);
    other.start();
    Background w(exe() + "--json --port " + port() + " --port " + other.slave_path() +
                     " watch --interval 20 --read 1",
                 path("watch.out"), path("watch.err"));
    ASSERT_TRUE(w.wait_for({"\"arrived\""})) << w.out() << w.err();
    ASSERT_TRUE(other.place_card(tqrf_sim::Uid{0x11, 0x22, 0x33, 0x44}));
    ASSERT_TRUE(w.wait_for({"\"arrived\""}, 2)) << w.out() << w.err();
    EXPECT_EQ(w.end(SIGTERM), 0) << w.err();
    const auto lines = lines_of(w.out());
    ASSERT_EQ(lines.size(), 2u) << w.out();
    const json a = json::parse(lines[0]), b = json::parse(lines[1]);
    EXPECT_EQ(a["port"], port());
    EXPECT_EQ(a["uid"], "3A7C91E5");
    EXPECT_EQ(a["event"], "arrived");
    EXPECT_EQ(a["block"], 1);
    EXPECT_EQ(a["data"], "48656C6C6F2066726F6D207471726621");
    EXPECT_EQ(b["port"], other.slave_path());
    EXPECT_EQ(b["uid"], "11223344");
    EXPECT_EQ(b["data"], std::string(32, '0'));
}

TEST_F(Cli, WatchReportsALostReaderAndFailsWhenItEndsLost) {
    std::unique_ptr<Background> w;
    ASSERT_NO_FATAL_FAILURE(watch_until_the_reader_is_lost("", "arrived", "reader-lost", w));
    EXPECT_TRUE(has(w->out(), "the reader's device is gone")) << w->out();
    EXPECT_EQ(w->end(SIGINT), 1);
    EXPECT_TRUE(has(w->err(), "reader lost")) << w->err();
}

TEST_F(Cli, WatchAsJsonEndsAnErrorWithAnEventAndATime) {
    // A reader lost at the end, and a key that is no key: the error is a line like the others.
    std::unique_ptr<Background> w;
    ASSERT_NO_FATAL_FAILURE(
        watch_until_the_reader_is_lost("--json ", "\"arrived\"", "\"reader-lost\"", w));
    EXPECT_EQ(w->end(SIGINT), 1);
    const Outcome bad = tqrf("--json watch --read 1 --key XYZ");
    EXPECT_RUN(bad, 2);
    struct Case {
        std::string out;
        const char* error;
    };
    for (const Case& c : {Case{w->out(), "reader_lost"}, Case{bad.out, "usage"}}) {
        const auto lines = lines_of(c.out);
        ASSERT_FALSE(lines.empty());
        for (const auto& l : lines) {
            const json j = json::parse(l);
            EXPECT_TRUE(j.contains("event") && j.contains("time")) << l;
        }
        const json last = json::parse(lines.back());
        EXPECT_EQ(last["event"], "error");
        EXPECT_EQ(last["error"], c.error);
        EXPECT_EQ(last["time"].get<std::string>().substr(10, 1), "T") << lines.back();
        EXPECT_EQ(last["time"].get<std::string>().size(),
                  json::parse(lines.front())["time"].get<std::string>().size());
    }
}

// ---- Usage ---------------------------------------------------------------------------------

TEST_F(Cli, BadArgumentsGiveStatus2) {
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
        "value inc 4",
        "value inc 4 -1",
        "value copy 4 8",
        "value",
        "clock --layout sim set 2024-13-01T00:00:00",
        "clock --layout other",
        "e2 write 128 000102030405060708090A0B0C0D0E0F --force",
        "dump --format png -o x.mfd",
        "dump --partial",
        "beep 9999",
        "watch --interval 5",
        "watch --read 64",
        "watch --read 1 --key nope",
    };
    for (const auto& args : cases) {
        const Outcome r = tqrf(args);
        EXPECT_EQ(r.status, 2) << "tqrf " << args << "\nstderr:\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << args;
    }
    EXPECT_EQ(tqrf("scan", false, "unset TQRF_PORT;").status, 2);  // no reader named anywhere
}

TEST_F(Cli, HelpOnEveryCommand) {
    for (const char* cmd : {"", "scan", "info", "read", "write", "dump", "restore", "value",
                            "value inc", "beep", "clock", "clock set", "e2", "e2 write", "watch"}) {
        const Outcome r = tqrf(std::string(cmd) + " --help", false);
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_TRUE(has(r.out, "Usage:")) << cmd << r.out;
    }
}

TEST_F(Cli, SimulateNeedsNoPort) {
    const Outcome r = tqrf("--simulate scan", false);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "3A7C91E5"));
}

}  // namespace

// ---- Image files without a reader, and the simulator's cards from them ------------------------

namespace {
std::string image_path(const std::string& name) {
    return std::string(TQRF_IMAGES_DIR) + name;
}
}  // namespace

TEST_F(Cli, TheSimulatorTakesACardFromEveryImageFormat) {
    struct Case {
        const char* file;
        bool marks_sector_5;  // the file does not know sector 5
    };
    const Case cases[] = {{"card.mfd", false},   {"card.eml", false},   {"card-pm3.json", false},
                          {"card-v4.nfc", true}, {"card-v2.nfc", true}, {"card.mct", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::remove(path("sim.out").c_str());
        std::remove(path("sim.err").c_str());
        Background sim(std::string(TQRF_SIM_EXE) + " --card " + image_path(c.file), path("sim.out"),
                       path("sim.err"));
        std::string device;
        for (int i = 0; i < 1500 && device.empty(); ++i) {
            const std::string out = slurp(path("sim.out"));
            if (out.find('\n') != std::string::npos) device = out.substr(0, out.find('\n'));
            if (device.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_FALSE(device.empty()) << slurp(path("sim.err"));
        Outcome r = tqrf("--port " + device + " scan", false);
        EXPECT_RUN(r, 0);
        EXPECT_TRUE(has(r.out, "9C15A3E7")) << r.out;
        r = tqrf("--port " + device + " value get 9", false);
        EXPECT_RUN(r, 0);
        EXPECT_TRUE(has(r.out, "value -1")) << r.out;
        r = tqrf("--port " + device + " read 20", false);  // factory key A in sector 5 either way
        EXPECT_RUN(r, 0);
        EXPECT_TRUE(has(r.out, c.marks_sector_5 ? "00000000000000000000000000000000"
                                                : "736563746F722066697665"))
            << r.out;
        EXPECT_EQ(has(sim.err(), "sector 5: block 20, 21, 22"), c.marks_sector_5) << sim.err();
        EXPECT_EQ(sim.end(SIGTERM), 0);
    }
    // A file the simulator cannot use is a usage error naming the line.
    const std::string cmd = std::string(TQRF_SIM_EXE) + " --card " + image_path("card4k.nfc") +
                            " 2>" + path("err") + " >/dev/null";
    const int rc = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 2);
    EXPECT_TRUE(has(slurp(path("err")), "line 7: a Mifare Classic 4K card")) << slurp(path("err"));
}

TEST_F(Cli, ImageShowConvertAndDiffWithoutAReader) {
    Outcome r = tqrf("image show " + image_path("card.mct"), false);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "mct image, sectors not read whole: 5")) << r.out;
    EXPECT_TRUE(has(r.out, "value 1234 (address 8)")) << r.out;
    EXPECT_TRUE(has(r.out, "Sector 5: not in the image")) << r.out;
    EXPECT_TRUE(has(r.out, "MIFARE Application Directory, version 1, CRC 14 (correct)")) << r.out;

    r = tqrf("--json image show " + image_path("card-v2.nfc"), false);
    EXPECT_RUN(r, 0);
    const json doc = json::parse(r.out);
    EXPECT_EQ(doc["file_format"], "nfc");
    EXPECT_EQ(doc["uid"], "9C15A3E7");
    EXPECT_EQ(doc["sectors"][2]["blocks"][1]["value"], -1);
    EXPECT_EQ(doc["mad"]["crc_ok"], true);

    // A damaged directory is a warning, not a failure.
    std::string raw = slurp(image_path("card.mfd"));
    raw[16] = 0x15;
    spill(path("badmad.mfd"), raw);
    expect_offline_error("image show " + path("badmad.mfd"), 0, "CRC is 15, its content gives 14");

    // Conversion: a format that cannot mark the unread sector needs --partial.
    expect_offline_error("image convert " + image_path("card.mct") + " " + path("x.mfd"), 1,
                         "sector(s) 5 of");
    EXPECT_FALSE(std::ifstream(path("x.mfd")).good());
    ASSERT_RUN("image convert --partial " + image_path("card.mct") + " " + path("x.mfd"), 0);
    ASSERT_RUN("image convert " + image_path("card.mct") + " " + path("x.json"), 0);
    ASSERT_RUN(
        "image convert --format proxmark3 " + path("x.json") + " " + path("p.json") + " --partial",
        0);
    EXPECT_EQ(json::parse(slurp(path("p.json")))["FileType"], "mfc v2");
    ASSERT_RUN("image convert " + image_path("card.mfd") + " " + path("y.nfc"), 0);

    r = tqrf("image diff " + image_path("card.mfd") + " " + path("y.nfc"), false);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "hold the same blocks")) << r.out;
    r = tqrf("image diff " + image_path("card.mfd") + " " + image_path("card.mct"), false);
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.out, "5 blocks differ")) << r.out;
    EXPECT_TRUE(
        has(r.out, "   20  736563746F7220666976650000000000  --------------------------------"))
        << r.out;
    r = tqrf("--json image diff " + image_path("card.mfd") + " " + image_path("card.mct"), false);
    EXPECT_RUN(r, 1);
    EXPECT_EQ(json::parse(r.out)["differing_blocks"].size(), 5u);

    // Malformed input: exit 2, the line named.
    spill(path("bad.nfc"), "Filetype: Flipper NFC device\nVersion: 9\n");
    expect_offline_error("image show " + path("bad.nfc"), 2,
                         "bad.nfc line 2: Version: 2, 3 or 4 expected");
    expect_offline_error("image convert " + image_path("card.mfd") + " " + path("z.png"), 2,
                         "cannot tell the format");
}

TEST_F(Cli, PurseArithmeticStopsAtZeroAndAtTheLargestValue) {
    struct Case {
        const char* args;
        int status;
        const char* says;  // on stdout when it works, on stderr when refused
        std::int32_t after;
    };
    const Case cases[] = {
        {"value dec 4 101", 1, "100 - 101 = -1 is below zero (--allow-negative allows it)", 100},
        {"value dec 4 100", 0, "Block 4 value 0", 0},
        {"value inc 4 2147483647", 0, "Block 4 value 2147483647", 2147483647},
        {"value inc 4 1", 1, "2147483647 + 1 = 2147483648 does not fit a value block", 2147483647},
        {"value inc 4 1 --allow-wrap", 0, "Block 4 value -2147483648", INT32_MIN},
        {"value dec 4 1 --allow-negative", 1, "-2147483649 does not fit", INT32_MIN},
        {"value dec 4 1 --allow-negative --allow-wrap", 0, "Block 4 value 2147483647", INT32_MAX},
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf(c.args);
        EXPECT_RUN(r, c.status);
        EXPECT_TRUE(has(c.status == 0 ? r.out : r.err, c.says)) << c.args << ": " << r.err;
        const auto v = mifare::ValueBlock::decode(card_block(4));
        ASSERT_TRUE(v) << c.args;
        EXPECT_EQ(v->value, c.after) << c.args;
    }
}

TEST_F(Cli, ARestoreTheCardWouldRefuseInPartWritesNothing) {
    // Sector 2 of the demo card takes writes with key B only; this image knows only key A.
    ASSERT_RUN("dump -o " + path("a-only.json") + " --key FFFFFFFFFFFF --key A0A1A2A3A4A5", 0);
    change_card_since_backup();
    tool::Image before = card();
    Outcome r =
        tqrf("restore --dry-run " + path("a-only.json") + " --key FFFFFFFFFFFF --key A0A1A2A3A4A5");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.out, "would write 44 blocks")) << r.out;
    EXPECT_TRUE(has(r.out,
                    "The card would refuse block 8: the card's access bits (100) let only "
                    "key B write it, and the restore knows only key A"))
        << r.out;
    r = tqrf("--json restore " + path("a-only.json") + " --key FFFFFFFFFFFF --key A0A1A2A3A4A5");
    EXPECT_RUN(r, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "write_refused");
    EXPECT_EQ(j["result"]["refused"].size(), 3u);
    EXPECT_EQ(j["result"]["refused"][0]["block"], 8);
    EXPECT_EQ(writes_seen(), 0u);
    EXPECT_EQ(image_bytes(card()), image_bytes(before));

    // --skip-refused writes the others.
    tool::Image edited = card();
    tool::set_image_block(edited, 5, *Block::from_hex("00112233445566778899AABBCCDDEEFF"));
    spill(path("edited.mfd"), image_bytes(edited));
    r = tqrf("restore --skip-refused " + path("a-only.json") +
             " --key FFFFFFFFFFFF --key A0A1A2A3A4A5");
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Restored 44 of 44 blocks")) << r.out;
    EXPECT_TRUE(has(r.out, "Left out, the card would refuse it: block 8")) << r.out;
    EXPECT_EQ(writes_seen(), 44u);

    // With key B known the same restore goes through.
    change_card_since_backup();
    r = tqrf("restore " + path("a-only.json") + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Restored 47 of 47 blocks")) << r.out;
}

TEST_F(Cli, ARestoreThatFailsStopsAtOnceAndSaysWhatWasWritten) {
    ASSERT_RUN("dump -o " + path("all.json") + " --keys " + keys_file_, 0);
    change_card_since_backup();
    // Every write from now on is refused by the reader.
    sim_->add_fault({{tqrf_sim::FaultKind::ForceStatus, 0x14}, tqrf_sim::cmd::kWrite, -1});
    const Outcome r = tqrf("--json restore " + path("all.json") + " --keys " + keys_file_);
    EXPECT_RUN(r, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "restore_stopped");
    EXPECT_EQ(j["result"]["written"].size(), 0u);
    EXPECT_EQ(j["result"]["failed"].size(), 1u);
    EXPECT_EQ(j["result"]["failed"][0]["block"], 1);
    EXPECT_EQ(j["result"]["not_written"].size(), 47u);
    EXPECT_TRUE(has(r.err, "the restore stopped at block 1")) << r.err;
    EXPECT_TRUE(has(r.err, "written: none; not written: 1, 2, 4,")) << r.err;
    // Key A and then key B were tried on block 1; nothing after it.
    EXPECT_LE(writes_seen(), 2u);
}

TEST_F(Cli, ARestoreThatFailsHalfWayNamesTheBlocksWrittenAndNot) {
    ASSERT_RUN("dump -o " + path("all.json") + " --keys " + keys_file_, 0);
    change_card_since_backup();
    // Blocks 1, 2 and 4 are written; the card is gone from the fourth write on.
    tqrf_sim::FaultRule gone{{tqrf_sim::FaultKind::ForceStatus, 0x14}, tqrf_sim::cmd::kWrite, -1};
    gone.skip = 3;
    sim_->add_fault(gone);
    const Outcome r = tqrf("--json restore " + path("all.json") + " --keys " + keys_file_);
    EXPECT_RUN(r, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "restore_stopped");
    EXPECT_EQ(j["result"]["written"], json({1, 2, 4}));
    ASSERT_EQ(j["result"]["failed"].size(), 1u);
    EXPECT_EQ(j["result"]["failed"][0]["block"], 5);
    EXPECT_EQ(j["result"]["not_written"].size(), 44u);
    EXPECT_EQ(j["result"]["not_written"][0], 5);
    EXPECT_TRUE(has(r.err, "the restore stopped at block 5")) << r.err;
    EXPECT_TRUE(has(r.err, "written: 1, 2, 4; not written: 5, 6, 8,")) << r.err;
}

// ---- Dumps the reader fails on, restores that skip and verify ------------------------------

namespace {

// The trace lines of requests with this command code.
std::size_t traced_requests(const std::string& trace, const std::string& code) {
    std::size_t n = 0;
    for (const auto& l : lines_of(trace)) {
        n += l.rfind("trace ", 0) == 0 && has(l, "  > ") && has(l, " BB " + code + " ") ? 1 : 0;
    }
    return n;
}

}  // namespace

TEST_F(Cli, DumpsKeepWhatTheyReadWhenTheReaderFails) {
    // A factory-fresh card: one authentication per sector, so the sixth is sector 5's.
    sim_->remove_all_cards();
    ASSERT_TRUE(sim_->place_card(kDemoUid));
    const Outcome clean = tqrf("--trace dump -o " + path("clean.json"));
    ASSERT_EQ(clean.status, 0) << clean.err;
    const std::size_t auths = traced_requests(clean.err, "44");
    ASSERT_EQ(auths, 16u) << clean.err;

    struct Case {
        const char* what;
        int lost;          // sector 5's authentication replies lost in a row
        std::string args;  // after dump
        int status;
        const char* file;  // the file the dump writes; "" none
        bool sector5_read;
    };
    const Case cases[] = {
        {"one lost reply, retried", 1, "-o " + path("a.json"), 0, "a.json", true},
        {"never answers", 3, "-o " + path("b.json"), 1, "b.json", false},
        {"never answers, four attempts", 3, "--retries 4 -o " + path("c.json"), 0, "c.json", true},
        {"never answers, one attempt", 1, "--retries 1 -o " + path("d.json"), 1, "d.json", false},
        {"never answers, nfc marks it", 3, "-o " + path("e.nfc"), 1, "e.nfc", false},
        {"never answers, mfd needs --partial", 3, "-o " + path("f.mfd"), 1, "", false},
        {"never answers, mfd --partial", 3, "--partial -o " + path("g.mfd"), 1, "g.mfd", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim_->clear_faults();
        tqrf_sim::FaultRule rule{{tqrf_sim::FaultKind::NoReply}, std::uint8_t{0x44}, c.lost};
        rule.skip = 5;
        sim_->add_fault(rule);
        const Outcome r = tqrf("--trace dump " + c.args);
        EXPECT_RUN(r, c.status);
        // Every attempt is an exchange of its own: the lost ones and, when it came, the one
        // that answered.
        const std::size_t attempts = c.sector5_read ? static_cast<std::size_t>(c.lost) + 1u
                                                    : static_cast<std::size_t>(c.lost);
        EXPECT_EQ(traced_requests(r.err, "44"), auths - 1 + attempts) << r.err;
        if (std::string(c.file).empty()) {
            EXPECT_TRUE(has(r.err, "f.mfd was not written")) << r.err;
            EXPECT_TRUE(has(r.err, "sector 5: authenticating sector 5: no reply from the reader"))
                << r.err;
            struct stat st {};
            EXPECT_NE(stat(path("f.mfd").c_str(), &st), 0);
            continue;
        }
        const std::string file = slurp(path(c.file));
        ASSERT_FALSE(file.empty());
        if (c.sector5_read) {
            EXPECT_EQ(file, slurp(path("clean.json")));
            continue;
        }
        // Named, with why, once; every other sector kept.
        EXPECT_TRUE(has(r.err, "tqrf: sector 5 could not be read: the reader failed on it"))
            << r.err;
        EXPECT_TRUE(has(r.err, "\n  sector 5: authenticating sector 5: no reply from the reader"))
            << r.err;
        EXPECT_TRUE(has(r.out, "Sector 5: not read: authenticating sector 5")) << r.out;
        tool::Image expected = card();
        if (has(c.file, ".json")) {
            const json doc = json::parse(file);
            EXPECT_EQ(doc["missing_sectors"], json::array({5}));
            for (int b = 0; b < 64; ++b) {
                const auto& blk = doc["sectors"][b / 4]["blocks"][b % 4];
                EXPECT_EQ(blk["read"], b / 4 != 5) << b;
            }
        } else if (has(c.file, ".nfc")) {
            EXPECT_TRUE(has(file, "Block 20: ?? ?? ??")) << file;
            EXPECT_TRUE(has(file, "Block 24: 00 00 00 00 00 00 00 00")) << file;
        } else {
            for (int b = 20; b < 24; ++b) tool::set_image_block(expected, b, Block{});
            // The raw image carries the keys that authenticated.
            EXPECT_EQ(file, image_bytes(expected));
        }
    }

    // With --json the error carries the dump and the failed sectors.
    sim_->clear_faults();
    tqrf_sim::FaultRule rule{{tqrf_sim::FaultKind::NoReply}, std::uint8_t{0x44}, 3};
    rule.skip = 5;
    sim_->add_fault(rule);
    const Outcome r = tqrf("--json dump -o " + path("h.json"));
    EXPECT_RUN(r, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "unread_sectors");
    EXPECT_EQ(j["result"]["file_written"], true);
    ASSERT_EQ(j["result"]["failed_sectors"].size(), 1u);
    EXPECT_EQ(j["result"]["failed_sectors"][0]["sector"], 5);
}

TEST_F(Cli, ARestoreWritesOnlyWhatDiffersAndReadsItBack) {
    // A card as filament spools carry them: every data block read-only (access bytes 87 87 87:
    // data blocks 010, read by either key, written by none).
    tool::Image ro = card();
    for (int s = 0; s < mifare::kSectors; ++s) {
        Block t = tool::image_block(ro, mifare::trailer_of(s));
        const std::uint8_t access[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x87, 0x87,
                                       0x87, 0x69, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        std::copy(std::begin(access), std::end(access), t.begin());
        tool::set_image_block(ro, mifare::trailer_of(s), t);
    }
    const std::string ro_file = path("spool.mfd");
    spill(ro_file, image_bytes(ro));
    TempDir tmp;
    SimProcess other(TQRF_SIM_EXE, "--card " + ro_file, tmp, "spool");
    ASSERT_FALSE(other.device().empty());
    auto spool = [&](const std::string& args) {
        return run(exe() + "--port " + other.device() + " " + args, tmp);
    };
    const std::string backup = path("spool.json");
    ASSERT_EQ(spool("dump -o " + backup).status, 0);

    // Its own unchanged backup: nothing to write, whatever the card would refuse.
    Outcome r = spool("restore " + backup);
    EXPECT_RUN(r, 0);
    EXPECT_TRUE(has(r.out, "Nothing to write: 47 blocks already as in the image")) << r.out;
    EXPECT_FALSE(has(r.out + r.err, "refuse")) << r.out << r.err;
    r = spool("--json restore --dry-run " + backup);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(json::parse(r.out)["unchanged"].size(), 47u);
    EXPECT_EQ(json::parse(r.out)["planned"].size(), 0u);

    // One block that differs is the one refusal, told once.
    json doc = json::parse(slurp(backup));
    doc["sectors"][1]["blocks"][1]["data"] = "00112233445566778899AABBCCDDEEFF";
    spill(path("spool-edited.json"), doc.dump());
    r = spool("restore " + path("spool-edited.json"));
    EXPECT_RUN(r, 1);
    const std::string all = r.out + r.err;
    EXPECT_EQ(all.find("block 5: "), all.rfind("block 5: ")) << all;
    EXPECT_TRUE(has(r.out,
                    "The card would refuse block 5: the card's access bits (010) let no "
                    "key write it"))
        << r.out;
    EXPECT_TRUE(has(r.err, "the card would refuse 1 block (5; --skip-refused")) << r.err;
    EXPECT_FALSE(has(r.out, "block 6")) << r.out;

    // The demo card: one block differs, one write, read back.
    const std::string file = path("demo.json");
    ASSERT_RUN("dump --keys " + keys_file_ + " -o " + file, 0);
    const Block block1 = card_block(1);
    ASSERT_RUN("write 1 0102030405060708090A0B0C0D0E0F10", 0);
    const std::size_t before = writes_seen();
    r = tqrf("--json restore " + file + " --keys " + keys_file_);
    EXPECT_RUN(r, 0);
    EXPECT_EQ(writes_seen(), before + 1);
    EXPECT_EQ(card_block(1), block1);
    const json j = json::parse(r.out);
    EXPECT_EQ(j["planned"], json::array({1}));
    EXPECT_EQ(j["written"], json::array({1}));
    EXPECT_EQ(j["verified"], json::array({1}));
    EXPECT_EQ(j["unchanged"].size(), 46u);
    // The write is followed by a read of the block (the reader may have repeated an exchange
    // in between on a busy machine).
    const auto journal = sim_->journal();
    bool read_back = false;
    for (std::size_t i = 0; i + 1 < journal.size(); ++i) {
        if (journal[i].command() == tqrf_sim::cmd::kWrite) {
            read_back = false;
            for (std::size_t k = i + 1; k < journal.size() && !read_back; ++k) {
                read_back = journal[k].command() == 0x45;
            }
        }
    }
    EXPECT_TRUE(read_back);
}

TEST_F(Cli, ABlockThatDoesNotReadBackAsWrittenStopsTheRestore) {
    // Sector 2 takes writes with key B only. The reader's reply to the first write says done
    // although the card refused it (key A logs in first): the card ignored the write.
    const std::string file = path("all.json");
    ASSERT_RUN("dump --keys " + keys_file_ + " -o " + file, 0);
    json doc = json::parse(slurp(file));
    doc["sectors"][2]["blocks"][1]["data"] = "99999999999999999999999999999999";
    doc["sectors"][3]["blocks"][0]["data"] = "88888888888888888888888888888888";
    spill(file, doc.dump());
    const Block block9 = card_block(9);
    struct Case {
        const char* extra;
        int status;
    };
    for (const Case& c : {Case{"", 1}, Case{" --no-verify", 0}}) {
        SCOPED_TRACE(c.extra);
        sim_->clear_faults();
        sim_->add_fault({{tqrf_sim::FaultKind::ForceStatus, 0x00}, tqrf_sim::cmd::kWrite, 1});
        const Outcome r = tqrf("--json restore " + file + " --keys " + keys_file_ + c.extra);
        EXPECT_RUN(r, c.status);
        EXPECT_EQ(card_block(9), block9);
        const json j = json::parse(r.out);
        const json& res = c.status == 0 ? j : j["result"];
        EXPECT_EQ(res["planned"], json::array({9, 12}));
        if (c.status == 0) {
            EXPECT_EQ(res["written"], json::array({9, 12}));  // unverified: believed
            EXPECT_EQ(res["verified"], json::array());
            continue;
        }
        EXPECT_EQ(j["error"], "restore_stopped");
        EXPECT_EQ(res["written"], json::array());
        ASSERT_EQ(res["failed"].size(), 1u);
        EXPECT_EQ(res["failed"][0]["block"], 9);
        EXPECT_EQ(res["not_written"], json::array({9, 12}));
        EXPECT_TRUE(has(r.err,
                        "the restore stopped at block 9: block 9 does not read back as "
                        "written: it reads " +
                            block9.hex()))
            << r.err;
        EXPECT_TRUE(has(r.err, "written: none; not written: 9, 12")) << r.err;
    }
}

TEST_F(Cli, AccessConditionsByNameOnTheCommandLine) {
    struct Case {
        std::string args;
        int status;
        const char* says;  // stdout when it works, stderr when not
    };
    const Case cases[] = {
        {"access decode FF078069", 0, "trailer  001  keya-write=A,bits-read=A,bits-write=A"},
        {"access decode 787788C1", 0, "block 0  100  read=AB,write=B,inc=-,dec=-"},
        {"access decode FFFFFFFFFFFF787788C1FFFFFFFFFFFF", 0, "user byte C1"},
        {"access decode FF0781", 2, "the access bytes FF0781 are invalid"},
        {"access decode FF07", 2, "access decode takes the access bytes"},
        {"access encode --access data:read=AB,write=B --access "
         "trailer:keya-write=B,bits-read=AB,bits-write=B,keyb-write=B",
         0, "Access bytes 787788  user byte 69"},
        {"access encode --access data:110 --access trailer:011 --key-a A0A1A2A3A4A5 --key-b "
         "B0B1B2B3B4B5 --user-byte 00",
         0, "Trailer A0A1A2A3A4A508778F00B0B1B2B3B4B5"},
        {"access encode --access data:read=AB,write=A --access trailer:001", 2,
         "no access condition of the card gives exactly these data block rights"},
        {"access encode --access data:000 --access trailer:110", 2, "(--force accepts that)"},
        {"access encode --access data:000", 2, "no condition for the trailer"},
    };
    for (const auto& c : cases) {
        const Outcome r = tqrf(c.args, false);
        EXPECT_RUN(r, c.status);
        EXPECT_TRUE(has(c.status == 0 ? r.out : r.err, c.says)) << c.args << "\n" << r.out << r.err;
    }
    const Outcome j = tqrf("--json access decode 787788C1", false);
    EXPECT_RUN(j, 0);
    EXPECT_EQ(json::parse(j.out)["blocks"][3]["rights"],
              "keya-write=B,bits-read=AB,bits-write=B,keyb-read=-,keyb-write=B");

    // write builds the trailer from keys and names, and refuses before writing anything.
    Outcome r = tqrf(
        "write 7 --access data:read=B --access trailer:001 --new-key-a "
        "A1A1A1A1A1A1 --new-key-b B1B1B1B1B1B1");
    EXPECT_RUN(r, 1);
    EXPECT_TRUE(has(r.err, "makes key B readable")) << r.err;
    EXPECT_EQ(writes_seen(), 0u);
    r = tqrf(
        "write 6 --access data:000 --access trailer:001 --new-key-a A1A1A1A1A1A1 "
        "--new-key-b B1B1B1B1B1B1");
    EXPECT_RUN(r, 2);
    EXPECT_TRUE(has(r.err, "block 6 is a data block")) << r.err;
    r = tqrf(
        "write 7 --access data:read=AB,write=B --access trailer:011 --new-key-a "
        "A1A1A1A1A1A1 --new-key-b B1B1B1B1B1B1");
    EXPECT_RUN(r, 0);
    EXPECT_EQ(card_block(7).hex(), "A1A1A1A1A1A178778869B1B1B1B1B1B1");
}
