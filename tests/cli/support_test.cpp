// The tool's parts that need no reader: key dictionaries, dates and clock bytes, port names,
// numbers, trailer checks, the demo card, the restore rules, the image formats, the messages
// for failed opens, and atomic file writes.
#include "support.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "errors.h"
#include "files.h"
#include "image_file.h"
#include "restore_plan.h"
#include "tqrf_sim/reader.h"

namespace {

using namespace tqrf::tool;
using tqrf::Block;
using tqrf::Key;
namespace mifare = tqrf::mifare;

TEST(KeyList, ParsesCommentsBlanksCaseAndDuplicates) {
    std::string error;
    auto keys = parse_key_list(
        "# dictionary\n\nFFFFFFFFFFFF\n  a0a1a2a3a4a5   # sector "
        "2\r\nffffffffffff\nB0:B1:B2:B3:B4:B5",
        error);
    ASSERT_TRUE(keys) << error;
    ASSERT_EQ(keys->size(), 3u);
    EXPECT_EQ((*keys)[0], tqrf::kDefaultKey);
    EXPECT_EQ((*keys)[1], kDemoKeyA);
    EXPECT_EQ((*keys)[2], kDemoKeyB);
}

TEST(KeyList, NamesTheBadLine) {
    // A key list, and how the message about it starts.
    const std::pair<const char*, const char*> cases[] = {
        {"FFFFFFFFFFFF\nFFFFFFFFFF\n", "line 2"},
        {"# x\n\nnot a key\n", "line 3"},
        {"FFFFFFFFFFFFFF", "line 1"},
    };
    for (const auto& [text, starts] : cases) {
        std::string error;
        EXPECT_FALSE(parse_key_list(text, error)) << text;
        EXPECT_EQ(error.rfind(starts, 0), 0u) << error;
    }
    std::string error;
    auto none = parse_key_list("# nothing\n", error);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

TEST(Dates, ParseChecksTheCalendar) {
    auto t = parse_datetime("2024-02-29T23:59:58");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->weekday, 4);  // a Thursday
    EXPECT_EQ(format_datetime(*t), "2024-02-29T23:59:58");
    EXPECT_TRUE(parse_datetime("2099-12-31 00:00:00"));
    for (const char* bad : {"2023-02-29T00:00:00", "1999-12-31T23:59:59", "2100-01-01T00:00:00",
                            "2024-13-01T00:00:00", "2024-04-31T00:00:00", "2024-01-01T24:00:00",
                            "2024-01-01T00:60:00", "2024-1-01T00:00:00", "now", ""}) {
        EXPECT_FALSE(parse_datetime(bad)) << bad;
    }
}

TEST(Dates, Weekdays) {
    EXPECT_EQ(weekday_of(2000, 1, 1), 6);  // Saturday
    EXPECT_EQ(weekday_of(2026, 12, 8), 2);
    EXPECT_EQ(weekday_of(2099, 12, 31), 4);
}

TEST(Clock, BytesAreBcdInTheReadersLayout) {
    auto t = parse_datetime("2024-02-29T12:34:56");
    ASSERT_TRUE(t);
    const auto bytes = encode_clock(*t);
    const std::array<std::uint8_t, 7> expected{0x56, 0x34, 0x12, 0x29, 0x02, 0x04, 0x24};
    EXPECT_EQ(bytes, expected);
    auto back = decode_clock(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(format_datetime(*back), "2024-02-29T12:34:56");
    EXPECT_EQ(back->weekday, 4);
    // The simulated reader reads the same layout.
    auto seconds = tqrf_sim::clock_to_seconds(bytes);
    ASSERT_TRUE(seconds);
    EXPECT_EQ(*seconds, ((24 * 365 + 6 + 31 + 28) * 86400LL) + 12 * 3600 + 34 * 60 + 56);
    EXPECT_EQ(tqrf_sim::clock_from_seconds(*seconds, 4), bytes);
}

TEST(Clock, RefusesBytesThatAreNoDate) {
    const std::array<std::uint8_t, 7> cases[] = {
        {0x5A, 0x00, 0x00, 0x01, 0x01, 0x01, 0x24},  // not BCD
        {0x00, 0x00, 0x24, 0x01, 0x01, 0x01, 0x24},  // hour 24
        {0x00, 0x00, 0x00, 0x30, 0x02, 0x01, 0x24},  // 30 February
        {0x00, 0x00, 0x00, 0x01, 0x01, 0x08, 0x24},  // weekday 8
    };
    for (const auto& c : cases) EXPECT_FALSE(decode_clock(c));
}

TEST(PortNames, ComNamesMapToTtyS) {
    EXPECT_EQ(device_for_port("COM1"), "/dev/ttyS0");
    EXPECT_EQ(device_for_port("com12"), "/dev/ttyS11");
    EXPECT_EQ(device_for_port("COM0"), "COM0");
    EXPECT_EQ(device_for_port("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(device_for_port("COMX"), "COMX");
}

TEST(Numbers, DecimalAndHex) {
    EXPECT_EQ(parse_number("63", 63), 63u);
    EXPECT_EQ(parse_number("0x3F", 255), 63u);
    EXPECT_FALSE(parse_number("64", 63));
    EXPECT_FALSE(parse_number("-1", 63));
    EXPECT_FALSE(parse_number("4x", 63));
    EXPECT_FALSE(parse_number("", 63));
    // A leading zero never means octal.
    EXPECT_EQ(parse_number("010", 63), 10u);
    EXPECT_EQ(parse_number("08", 63), 8u);
    EXPECT_EQ(parse_number("0x0A", 63), 10u);
    EXPECT_FALSE(parse_number("0x", 63));
    EXPECT_FALSE(parse_number("+5", 63));
}

TEST(Numbers, Signed) {
    struct Case {
        const char* text;
        std::optional<long long> value;
    };
    const Case cases[] = {
        {"-5", -5},
        {"-0x10", -16},
        {"-2147483648", -2147483648LL},
        {"2147483647", 2147483647LL},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"--5", std::nullopt},
        {"-", std::nullopt},
        {"007", 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_signed(c.text, -2147483648LL, 2147483647LL), c.value) << c.text;
    }
}

TEST(Trailers, RestoreChecks) {
    const Block transport = mifare::make_trailer(
        tqrf::kDefaultKey, mifare::AccessConditions::transport(), tqrf::kDefaultKey);
    EXPECT_EQ(check_trailer(transport), TrailerCheck::Ok);
    Block invalid = transport;
    invalid[7] ^= 0x01;
    EXPECT_EQ(check_trailer(invalid), TrailerCheck::InvalidBits);
    struct Case {
        mifare::Condition trailer;
        TrailerCheck expected;
    };
    const Case cases[] = {
        {0b000, TrailerCheck::Frozen}, {0b001, TrailerCheck::Ok},     {0b010, TrailerCheck::Frozen},
        {0b011, TrailerCheck::Ok},     {0b100, TrailerCheck::Frozen}, {0b101, TrailerCheck::Ok},
        {0b110, TrailerCheck::Frozen}, {0b111, TrailerCheck::Frozen},
    };
    for (const auto& c : cases) {
        const Block t = mifare::make_trailer(
            tqrf::kDefaultKey, mifare::AccessConditions{{0, 0, 0, c.trailer}}, tqrf::kDefaultKey);
        EXPECT_EQ(check_trailer(t), c.expected) << int(c.trailer);
    }
}

TEST(DemoCard, LayoutIsWhatTheHelpSays) {
    const Image image = demo_card_image();
    const Block b0 = image_block(image, 0);
    EXPECT_EQ(b0.hex().substr(0, 16), "3A7C91E532080400");  // UID, BCC, SAK, ATQA
    auto v = mifare::ValueBlock::decode(image_block(image, 4));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->value, 100);
    for (int s = 0; s < mifare::kSectors; ++s) {
        const Block t = image_block(image, mifare::trailer_of(s));
        EXPECT_EQ(check_trailer(t), TrailerCheck::Ok) << s;
    }
    EXPECT_EQ(image_block(image, 11).hex(), "A0A1A2A3A4A578778869B0B1B2B3B4B5");
}

// ---- The restore rules -------------------------------------------------------------------

// What a dump of the demo card gives when the sectors in `unopened` have no key and `no_key_b`
// sectors are opened by key A alone: blocks as the card hands them out (key A reads as zeros,
// key B as zeros unless readable), the keys that authenticated.
CardDump demo_dump(std::initializer_list<int> unopened = {},
                   std::initializer_list<int> no_key_b = {}) {
    const Image card = demo_card_image();
    CardDump d;
    d.card.uid = *tqrf::Uid::from_hex("3A7C91E5");
    for (int s = 0; s < mifare::kSectors; ++s) {
        SectorDump& sd = d.sectors[static_cast<std::size_t>(s)];
        sd.sector = s;
        if (std::find(unopened.begin(), unopened.end(), s) != unopened.end()) {
            for (auto& e : sd.errors) e = "no key opens this sector";
            continue;
        }
        Block trailer = image_block(card, mifare::trailer_of(s));
        Key a, b;
        std::copy(trailer.begin(), trailer.begin() + 6, a.begin());
        std::copy(trailer.begin() + 10, trailer.end(), b.begin());
        const auto ac = mifare::AccessConditions::from_trailer(trailer);
        const bool readable = mifare::key_b_readable(ac->block[3]);
        std::fill(trailer.begin(), trailer.begin() + 6, std::uint8_t{0});
        if (!readable) std::fill(trailer.begin() + 10, trailer.end(), std::uint8_t{0});
        sd.key_a = a;
        if (!readable && std::find(no_key_b.begin(), no_key_b.end(), s) == no_key_b.end()) {
            sd.key_b = b;
        }
        for (int i = 0; i < 3; ++i) {
            sd.blocks[static_cast<std::size_t>(i)] = image_block(card, mifare::first_block(s) + i);
        }
        sd.blocks[3] = trailer;
    }
    return d;
}

const tqrf::Uid kDemoUid = *tqrf::Uid::from_hex("3A7C91E5");

std::vector<int> all_data_blocks_but(std::initializer_list<int> sectors) {
    std::vector<int> out;
    for (int b = 1; b < mifare::kBlocks; ++b) {
        if (mifare::is_trailer(b)) continue;
        if (std::find(sectors.begin(), sectors.end(), mifare::sector_of(b)) != sectors.end()) {
            continue;
        }
        out.push_back(b);
    }
    return out;
}

TEST(RestoreRules, AWholeDumpIsTheCardsImage) {
    const CardDump d = demo_dump();
    EXPECT_TRUE(incomplete_sectors(d).empty());
    EXPECT_EQ(raw_image_of(d), demo_card_image());
    const RestorePlan plan = plan_restore(interpret_raw_image(raw_image_of(d)), kDemoUid, {});
    EXPECT_EQ(plan.writes, all_data_blocks_but({}));  // 47 blocks: never block 0, no trailer
    EXPECT_TRUE(plan.absent_sectors.empty());
    EXPECT_EQ(plan.image_keys[2], (std::vector<Key>{kDemoKeyA, kDemoKeyB}));
}

TEST(RestoreRules, WhatTheDumpDidNotReadIsNeverWritten) {
    // Sector 2 without a key, sector 5 missing one block: both are zeros in a plain image, and
    // a restore of it leaves them alone, trailers included.
    CardDump d = demo_dump({2});
    d.sectors[5].blocks[1].reset();
    EXPECT_EQ(incomplete_sectors(d), (std::vector<int>{2, 5}));
    const Image image = raw_image_of(d);
    for (int b : {8, 9, 10, 11, 20, 21, 22, 23}) {
        EXPECT_EQ(image_block(image, b), Block{}) << b;
    }
    for (bool trailers : {false, true}) {
        const RestorePlan plan =
            plan_restore(interpret_raw_image(image), kDemoUid, {trailers, false});
        EXPECT_EQ(plan.absent_sectors, (std::vector<int>{2, 5}));
        for (int b : plan.writes) {
            EXPECT_NE(mifare::sector_of(b), 2) << b;
            EXPECT_NE(mifare::sector_of(b), 5) << b;
            EXPECT_NE(b, 0);
        }
        EXPECT_EQ(plan.writes.size(), trailers ? 47u - 6u + 14u : 47u - 6u);
    }
}

TEST(RestoreRules, TrailersWithAnUnknownKeyAreKept) {
    // Sector 2's key B is not readable; without it the trailer must not be written (it would
    // set key B to 000000000000).
    const CardDump d = demo_dump({}, {2});
    const RestorePlan plan =
        plan_restore(interpret_raw_image(raw_image_of(d)), kDemoUid, {true, false});
    ASSERT_EQ(plan.kept_trailers.size(), 1u);
    EXPECT_EQ(plan.kept_trailers[0].first, 11);
    EXPECT_NE(plan.kept_trailers[0].second.find("key B"), std::string::npos);
    EXPECT_EQ(std::count(plan.writes.begin(), plan.writes.end(), 11), 0);
    EXPECT_EQ(std::count(plan.writes.begin(), plan.writes.end(), 15), 1);
    // The data blocks of the sector are still written.
    EXPECT_EQ(std::count(plan.writes.begin(), plan.writes.end(), 9), 1);
}

TEST(RestoreRules, RefusalsComeBeforeAnyWrite) {
    struct Case {
        const char* what;
        CardDump dump;
        tqrf::Uid card;
        RestoreOptions options;
        const char* kind;  // nullptr: planned
    };
    CardDump frozen = demo_dump();
    frozen.sectors[3].blocks[3] = mifare::make_trailer(
        Key{}, mifare::AccessConditions{{0, 0, 0, 6}}, tqrf::kDefaultKey);  // fixed for good
    frozen.sectors[3].key_b = tqrf::kDefaultKey;
    const tqrf::Uid other = *tqrf::Uid::from_hex("11223344");
    const Case cases[] = {
        {"another card", demo_dump(), other, {}, "uid_mismatch"},
        {"another card, forced", demo_dump(), other, {false, true}, nullptr},
        {"block 0 not read", demo_dump({0}), kDemoUid, {}, "uid_unknown"},
        {"block 0 not read, forced", demo_dump({0}), kDemoUid, {false, true}, nullptr},
        {"permanent trailer", frozen, kDemoUid, {true, false}, "trailer_refused"},
        {"permanent trailer, forced", frozen, kDemoUid, {true, true}, nullptr},
        {"permanent trailer, data only", frozen, kDemoUid, {false, false}, nullptr},
    };
    for (const auto& c : cases) {
        const CardImage image = interpret_raw_image(raw_image_of(c.dump));
        if (c.kind == nullptr) {
            EXPECT_NO_THROW((void)plan_restore(image, c.card, c.options)) << c.what;
            continue;
        }
        try {
            (void)plan_restore(image, c.card, c.options);
            ADD_FAILURE() << c.what << ": planned";
        } catch (const CommandError& e) {
            EXPECT_EQ(e.kind(), c.kind) << c.what;
            EXPECT_NE(std::string(e.what()).find("nothing was written"), std::string::npos);
        }
    }
}

// ---- Image formats -------------------------------------------------------------------------

TEST(ImageFormats, FromTheNameOrTheOption) {
    EXPECT_EQ(format_of_path("card.mfd"), ImageFormat::Mfd);
    EXPECT_EQ(format_of_path("/x/CARD.BIN"), ImageFormat::Bin);
    EXPECT_EQ(format_of_path("a.b/card.json"), ImageFormat::Json);
    EXPECT_FALSE(format_of_path("a.json/card"));
    EXPECT_FALSE(format_of_path("card.txt"));
    EXPECT_EQ(choose_format("card.txt", "json"), ImageFormat::Json);
    EXPECT_EQ(choose_format("card.json", "mfd"), ImageFormat::Mfd);  // the option wins
    EXPECT_THROW(choose_format("card.txt", ""), CommandError);
    EXPECT_THROW(choose_format("card.mfd", "png"), CommandError);
}

TEST(ImageFormats, JsonDumpKeepsItsMarks) {
    CardDump d = demo_dump({2}, {});
    d.sectors[5].blocks[1].reset();
    const std::string text = image_file_bytes(d, ImageFormat::Json);
    std::string error;
    const auto image = parse_image_file(text, ImageFormat::Json, error);
    ASSERT_TRUE(image) << error;
    ASSERT_TRUE(image->uid);
    EXPECT_EQ(*image->uid, kDemoUid);
    for (int b = 0; b < mifare::kBlocks; ++b) {
        const bool read = mifare::sector_of(b) != 2 && b != 21;
        EXPECT_EQ(image->read[static_cast<std::size_t>(b)], read) << b;
    }
    EXPECT_FALSE(image->key_known[2][0]);
    EXPECT_TRUE(image->key_known[0][1]);  // readable key B: the trailer's bytes are the key
    const RestorePlan plan = plan_restore(*image, kDemoUid, {true, false});
    EXPECT_EQ(plan.absent_sectors, (std::vector<int>{2}));
    EXPECT_EQ(plan.unread_blocks, (std::vector<int>{21}));
    EXPECT_EQ(std::count(plan.writes.begin(), plan.writes.end(), 20), 1);
    EXPECT_EQ(std::count(plan.writes.begin(), plan.writes.end(), 23), 1);
}

TEST(ImageFormats, BadFilesSayWhatIsWrong) {
    struct Case {
        std::string bytes;
        ImageFormat format;
        const char* error;
    };
    const Case cases[] = {
        {"0123456789", ImageFormat::Mfd, "is 10 bytes; a 1K card image"},
        {std::string(1025, '\0'), ImageFormat::Bin, "is 1025 bytes"},
        {"not json", ImageFormat::Json, "is not JSON"},
        {"[]", ImageFormat::Json, "a JSON object expected"},
        {R"({"sectors": []})", ImageFormat::Json, "sectors: 16 sectors expected, 0 found"},
        {R"({"uid": "XYZ", "sectors": []})", ImageFormat::Json, "uid: 8 hex digits or null"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_image_file(c.bytes, c.format, error)) << c.bytes;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    // A single bad field deep in a dump is named by its place.
    auto doc = dump_document(demo_dump());
    doc["sectors"][3]["blocks"][1]["data"] = "00";
    std::string error;
    EXPECT_FALSE(parse_image_file(doc.dump(), ImageFormat::Json, error));
    EXPECT_NE(error.find("sectors[3].blocks[1].data: 32 hex digits or null"), std::string::npos)
        << error;
}

// ---- Messages ------------------------------------------------------------------------------

TEST(OpenFailures, TheOsErrorNamesTheCause) {
    struct Case {
        std::int32_t result;
        int os_error;
        const char* kind;
        const char* text;
    };
    const Case cases[] = {
        {ERR_PORT_OPEN_FAILED, ENOENT, "device_missing", "the device is missing"},
        {ERR_PORT_OPEN_FAILED, EACCES, "permission_denied", "sudo usermod -aG dialout $USER"},
        {ERR_PORT_OPEN_FAILED, EBUSY, "device_busy", "the device is busy"},
        {ERR_PORT_OPEN_FAILED, ENOTTY, "not_a_serial_device", "not a serial device"},
        {ERR_PORT_OPEN_FAILED, EISDIR, "not_a_serial_device", "not a serial device (a directory)"},
        {ERR_FAILED, EIO, "open_failed", "refused the reader's line settings"},
    };
    for (const auto& c : cases) {
        const std::string text = open_failure_message("COM3", "/dev/ttyS2", c.result, c.os_error);
        EXPECT_EQ(text.rfind("cannot open COM3 (/dev/ttyS2): ", 0), 0u) << text;
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
        EXPECT_EQ(open_failure_kind(c.result, c.os_error), c.kind);
    }
}

TEST(ResultMessages, NoReplyAndLostDeviceCarryTheirRemedy) {
    const auto no_reply = describe(tqrf::result_code(ERR_REPLY_FRAME));
    EXPECT_NE(no_reply.find("check its power, the cable and the line rate"), std::string::npos);
    const auto lost =
        describe(tqrf::result_code(ERR_DEVICE_LOST), std::error_code(EIO, std::system_category()));
    EXPECT_NE(lost.find("gone"), std::string::npos);
    EXPECT_NE(lost.find(std::error_code(EIO, std::system_category()).message()), std::string::npos);
    EXPECT_EQ(describe(tqrf::result_code(0x14)), "reader status 0x14");
    // A Reader call's refusal is told in the library's words for its command.
    char words[TQRF_REFUSAL_TEXT_MAX];
    ASSERT_GT(tqrf_refusal_text(TQRF_COMMAND_AUTHENTICATE, 0x12, words, sizeof words), 0);
    const auto refused = tqrf::refusal_code<TQRF_COMMAND_AUTHENTICATE>(0x12);
    EXPECT_EQ(describe(refused), words);
    EXPECT_EQ(refused.message(), words);
    EXPECT_EQ(kind_of(refused), "reader_status");
    EXPECT_FALSE(is_link_failure(refused));
    EXPECT_EQ(kind_of(tqrf::result_code(0x14)), "reader_status");
    EXPECT_EQ(kind_of(tqrf::result_code(ERR_DEVICE_LOST)), "device_lost");
}

TEST(ResultMessages, EveryListedCodeHasWordsAndAKind) {
    // The tool's words for each code of the library's list: its own where it names a remedy,
    // the library's text otherwise; a kind word a script can match.
    struct Row {
        int code;
        const char* text;  // the library's
    };
    const Row rows[] = {
#define TQRF_ROW(name, word, text) {name, text},
        TQRF_RESULTS(TQRF_ROW)
#undef TQRF_ROW
    };
    const std::pair<int, const char*> kinds[] = {
        {TQRF_ERR_REPLY_FRAME, "no_reply"},
        {TQRF_ERR_REPLY_CHECKSUM, "bad_reply"},
        {TQRF_ERR_REPLY_LENGTH, "bad_reply"},
        {TQRF_ERR_DEVICE_LOST, "device_lost"},
        {TQRF_ERR_SEND_FAILED, "send_failed"},
        {TQRF_ERR_BAD_ARGUMENT, "bad_argument"},
        {TQRF_ERR_PARITY_UNSUPPORTED, "parity_unsupported"},
        {TQRF_ERR_PORT_NOT_OPEN, "failed"},
    };
    for (const Row& row : rows) {
        const std::error_code ec = tqrf::result_code(row.code);
        const std::string text = describe(ec);
        EXPECT_FALSE(text.empty()) << row.code;
        EXPECT_EQ(text.find("unknown"), std::string::npos) << text;
        EXPECT_NE(text, tqrf::result_code(-84).message()) << row.code;
        EXPECT_FALSE(kind_of(ec).empty()) << row.code;
        if (kind_of(ec) == "failed") {
            EXPECT_EQ(text, row.text);
        }
    }
    for (const auto& [code, kind] : kinds) EXPECT_EQ(kind_of(tqrf::result_code(code)), kind);
    EXPECT_EQ(describe(tqrf::result_code(TQRF_ERR_PORT_NOT_OPEN)), "no port is open");
    EXPECT_NE(describe(tqrf::result_code(TQRF_ERR_PARITY_UNSUPPORTED)).find("FTDI"),
              std::string::npos);
    // Codes of other categories keep their own message and count as plain failures.
    const auto io = std::make_error_code(std::errc::io_error);
    EXPECT_EQ(describe(io), io.message());
    EXPECT_EQ(kind_of(io), "failed");
}

// ---- Files ---------------------------------------------------------------------------------

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::size_t entries_in(const std::string& dir) {
    std::size_t n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) n += e->d_name[0] == '.' && e->d_name[1] == '\0' ? 0 : 1;
        closedir(d);
    }
    return n - 1;  // ".."
}

TEST(Files, WritesWholeFilesAndKeepsPermissions) {
    char dir_template[] = "/tmp/tqrf_files_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string fresh = dir + "/fresh.mfd", old = dir + "/old.mfd";

    write_file_atomically(fresh, "new bytes");
    EXPECT_EQ(slurp(fresh), "new bytes");
    struct stat st {};
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // images hold keys

    { std::ofstream(old) << "old bytes"; }
    ASSERT_EQ(chmod(old.c_str(), 0640), 0);
    write_file_atomically(old, "replaced");
    EXPECT_EQ(slurp(old), "replaced");
    ASSERT_EQ(stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A target that cannot be replaced: the old content stays and no temporary file is left.
    const std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    { std::ofstream(sub + "/inside") << "x"; }
    EXPECT_THROW(write_file_atomically(sub, "bytes"), CommandError);
    EXPECT_EQ(entries_in(dir), 3u);  // fresh.mfd, old.mfd, sub
    EXPECT_THROW(check_output_path(sub), CommandError);
    EXPECT_THROW(check_output_path(dir + "/none/x.mfd"), CommandError);
    EXPECT_NO_THROW(check_output_path(dir + "/new.mfd"));

    // Unreadable inputs are usage errors with the reason.
    struct Case {
        std::string path;
        const char* text;
    };
    for (const Case& c : {Case{sub, "it is a directory"}, Case{dir + "/none", "No such file"}}) {
        try {
            (void)read_input_file(c.path, "image", 1024);
            ADD_FAILURE() << c.path;
        } catch (const CommandError& e) {
            EXPECT_EQ(e.status(), kExitUsage);
            EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW((void)read_input_file(old, "image", 4), CommandError);  // too large
    EXPECT_EQ(read_input_file(old, "image", 1024), "replaced");
    std::remove((sub + "/inside").c_str());
    rmdir(sub.c_str());
    std::remove(fresh.c_str());
    std::remove(old.c_str());
    rmdir(dir.c_str());
}

}  // namespace
