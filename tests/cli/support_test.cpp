// The tool's pure helpers: key dictionaries, dates and clock bytes, port names, trailer checks,
// the demo card.
#include "support.h"

#include <gtest/gtest.h>

#include <string>

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
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"FFFFFFFFFFFF\nFFFFFFFFFF\n", "line 2"},
        {"# x\n\nnot a key\n", "line 3"},
        {"FFFFFFFFFFFFFF", "line 1"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_key_list(c.text, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
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

}  // namespace
