// The hex codec and the text-form card functions.
#include <cstring>
#include <string>

#include "tests/support/fixture.h"
#include "text/hex.h"

namespace tqrf::testing {
namespace {

TEST(HexCodec, Encode) {
    struct Case {
        Bytes in;
        const char* out;
    };
    const Case cases[] = {{{0xAB}, "AB"}, {{0x0F}, "0F"},         {{0xF0}, "F0"},
                          {{0x00}, "00"}, {{0x12, 0xEF}, "12EF"}, {{}, ""}};
    for (const Case& c : cases) {
        char text[8];
        std::memset(text, 'x', sizeof text);
        hex_encode(c.in.data(), text, static_cast<std::uint32_t>(c.in.size()));
        const std::size_t n = std::strlen(c.out);
        EXPECT_EQ(std::string(text, n), c.out);
        // Nothing after the text: no terminator.
        for (std::size_t i = n; i < sizeof text; ++i) EXPECT_EQ(text[i], 'x') << c.out;
    }
}

TEST(HexCodec, Decode) {
    struct Case {
        std::string text;
        Bytes out;
    };
    const Case cases[] = {
        {"a1", {0xA1}},
        {"A1", {0xA1}},
        {"fF", {0xFF}},
        {"00", {0x00}},
        {"G0", {0x70}},  // 'G' enters with its own code: 0x470 cut to 8 bits
        {"1G", {0x57}},  // 0x10 + 0x47
        {std::string("\0"
                     "5",
                     2),
         {0x05}},        // NUL is the value 0, not an end
        {" 0", {0x00}},  // 0x200 cut to 8 bits
        {"A1B2C3", {0xA1, 0xB2, 0xC3}},
        {"zz", {static_cast<std::uint8_t>((0x7A * 16 + 0x7A) & 0xFF)}},
    };
    for (const Case& c : cases) {
        Bytes out(c.out.size() + 1, 0xEE);
        hex_decode(c.text.data(), out.data(), static_cast<std::uint32_t>(c.text.size()));
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.out) << c.text;
        EXPECT_EQ(out.back(), 0xEE) << c.text;
    }
    std::uint8_t none = 0xEE;
    hex_decode("", &none, 0);
    EXPECT_EQ(none, 0xEE);
}

struct Fields {
    char type[6];
    char serial[10];
    char size[4];
    Fields() {
        std::memset(type, 'x', sizeof type);
        std::memset(serial, 'x', sizeof serial);
        std::memset(size, 'x', sizeof size);
    }
    std::string t() const { return std::string(type, sizeof type); }
    std::string s() const { return std::string(serial, sizeof serial); }
    std::string z() const { return std::string(size, sizeof size); }
};

// Replies as they come off the wire (none, one per exchange), then the result and the three text
// fields the call must give.
struct AscCase {
    const char* name;
    std::vector<Bytes> raw;
    int result;
    struct {
        const char* type;
        const char* serial;
        const char* size;
    } fields;
};

class Text : public PortOpen {
  protected:
    template <std::size_t N, class Call>
    void expect_asc(const AscCase (&cases)[N], Call call) {
        for (const AscCase& c : cases) {
            rec().scripted.clear();
            rec().clear_log();
            for (const Bytes& r : c.raw) reply_raw(r);
            Fields f;
            EXPECT_EQ(call(f), c.result) << c.name;
            EXPECT_EQ(f.t(), c.fields.type) << c.name;
            EXPECT_EQ(f.s(), c.fields.serial) << c.name;
            EXPECT_EQ(f.z(), c.fields.size) << c.name;
        }
    }
};

TEST_F(Text, NoPortForEachFunction) {
    ASSERT_EQ(tqrf_exit(), 0);
    rec().clear_log();
    Fields f;
    EXPECT_EQ(tqrf_card_asc(0, 0, f.type, f.serial, f.size), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(f.t(), "xxxxxx");
    EXPECT_EQ(f.s(), "xxxxxxxxxx");
    EXPECT_EQ(f.z(), "xxxx");

    EXPECT_EQ(tqrf_card_asc_1(0, 0, f.type, f.serial, f.size), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(f.t(), "**xxxx");
    EXPECT_EQ(f.s(), "****xxxxxx");
    EXPECT_EQ(f.z(), "*xxx");

    char block[34];
    std::memset(block, 'x', sizeof block);
    EXPECT_EQ(tqrf_rd_asc(4, block), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(std::string(block, sizeof block), std::string(16, '*') + std::string(18, 'x'));

    EXPECT_EQ(tqrf_loadkey_asc(0, 0, "FFFFFFFFFFFF"), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(tqrf_wr_asc(4, "000102030405060708090A0B0C0D0E0F"), ERR_PORT_NOT_OPEN);
    EXPECT_TRUE(rec().events.empty());
}

TEST_F(Text, CardAsc1Success) {
    reply({0x04, 0x00, 0x00});
    reply({0xDE, 0xAD, 0xBE, 0xEF, 0x00});
    reply({0x08, 0x00});
    Fields f;
    EXPECT_EQ(tqrf_card_asc_1(0, 0, f.type, f.serial, f.size), 0);
    EXPECT_EQ(f.t(), "0400xx");
    EXPECT_EQ(f.s(), "DEADBEEFxx");
    EXPECT_EQ(f.z(), "08xx");
    // Select got the serial number exactly as anticollision delivered it.
    const Bytes select = {0x00, 0x07, 0xBB, 0x43, 0xDE, 0xAD, 0xBE, 0xEF, 0x00};
    const Bytes wire = rec().wire_values();
    EXPECT_NE(std::search(wire.begin(), wire.end(), select.begin(), select.end()), wire.end());
}

TEST_F(Text, CardAsc1StopsAtTheFirstFailure) {
    const AscCase cases[] = {
        {"request status", {reply_frame({0x04, 0x00, 0x01})}, 1, {"**xxxx", "****xxxxxx", "*xxx"}},
        {"request no reply", {}, ERR_REPLY_FRAME, {"**xxxx", "****xxxxxx", "*xxx"}},
        {"anticoll fails",
         {reply_frame({0x04, 0x00, 0x00}), reply_frame({0x12, 0x34, 0x56, 0x78, 0x02})},
         2,
         {"0400xx", "****xxxxxx", "*xxx"}},
        {"select fails",
         {reply_frame({0x04, 0x00, 0x00}), reply_frame({0x12, 0x34, 0x56, 0x78, 0x00}),
          reply_frame({0x08, 0x03})},
         3,
         {"0400xx", "12345678xx", "*xxx"}},
    };
    expect_asc(cases, [](Fields& f) { return tqrf_card_asc_1(1, 0, f.type, f.serial, f.size); });
}

TEST_F(Text, CardAscOneExchange) {
    const AscCase cases[] = {
        {"found",
         {reply_frame({0x04, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78, 0x00})},
         0,
         {"0400xx", "12345678xx", "08xx"}},
        {"status still writes hex",
         {reply_frame({0x04, 0x00, 0x08, 0xAB, 0xCD, 0xEF, 0x01, 0x05})},
         5,
         {"0400xx", "ABCDEF01xx", "08xx"}},
        {"bad checksum",
         {{0x00, 0x02, 0x01, 0x00, 0x00}},
         ERR_REPLY_CHECKSUM,
         {"**xxxx", "****xxxxxx", "*xxx"}},
        {"no reply", {}, ERR_REPLY_FRAME, {"**xxxx", "****xxxxxx", "*xxx"}},
        // A short reply: bytes the reader did not send are marked, never read from elsewhere.
        {"status only", {reply_frame({0x01})}, 1, {"**xxxx", "****xxxxxx", "*xxx"}},
        {"type and size only",
         {reply_frame({0x04, 0x00, 0x08, 0x00})},
         0,
         {"0400xx", "****xxxxxx", "08xx"}},
        {"half a serial",
         {reply_frame({0x04, 0x00, 0x08, 0x12, 0x34, 0x00})},
         0,
         {"0400xx", "1234**xxxx", "08xx"}},
        {"extra data ignored",
         {reply_frame({0x04, 0x00, 0x08, 1, 2, 3, 4, 9, 9, 0x00})},
         0,
         {"0400xx", "01020304xx", "08xx"}},
    };
    expect_asc(cases,
               [](Fields& f) { return tqrf_card_asc(0, 0x7FFFFFFF, f.type, f.serial, f.size); });
}

TEST_F(Text, CardAscFrameAndSendFailure) {
    reply({0x00});
    Fields f;
    tqrf_card_asc(1, 0x1234, f.type, f.serial, f.size);
    EXPECT_EQ(rec().wire, request_on_wire({0x00, 0x04, 0xBB, 0x62, 0x52, 0x00, 0x8F}));

    rec().clear_log();
    rec().short_write_countdown = 1;
    Fields g;
    EXPECT_EQ(tqrf_card_asc(0, 0, g.type, g.serial, g.size), ERR_SEND_FAILED);
    EXPECT_EQ(g.t(), "xxxxxx");
    EXPECT_EQ(g.s(), "xxxxxxxxxx");
    EXPECT_EQ(g.z(), "xxxx");
}

TEST_F(Text, ReadBlockAsText) {
    Bytes block(16);
    for (int i = 0; i < 16; ++i) block[i] = static_cast<std::uint8_t>(i);
    Bytes payload = block;
    payload.push_back(0x00);
    reply(payload);
    char text[40];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(tqrf_rd_asc(4, text), 0);
    EXPECT_EQ(std::string(text, 32), "000102030405060708090A0B0C0D0E0F");
    EXPECT_EQ(text[20], '0');
    EXPECT_EQ(text[21], 'A');
    for (std::size_t i = 32; i < sizeof text; ++i) EXPECT_EQ(text[i], 'x');

    // Any non-zero result: 16 stars, the second half keeps what it held.
    payload.back() = 0x04;
    reply(payload);
    EXPECT_EQ(tqrf_rd_asc(4, text), 4);
    EXPECT_EQ(std::string(text, 40), std::string(16, '*') + "08090A0B0C0D0E0F" + "xxxxxxxx");
}

TEST_F(Text, ShortBlockReadMarksTheMissingBytes) {
    char text[34];
    std::memset(text, 'x', sizeof text);
    reply({0x11, 0x22, 0x00});  // two data bytes, status 0
    EXPECT_EQ(tqrf_rd_asc(4, text), 0);
    EXPECT_EQ(std::string(text, sizeof text), "1122" + std::string(14, '*') + std::string(16, 'x'));
    std::memset(text, 'x', sizeof text);
    reply({0x00});  // status only
    EXPECT_EQ(tqrf_rd_asc(4, text), 0);
    EXPECT_EQ(std::string(text, sizeof text), std::string(16, '*') + std::string(18, 'x'));
}

TEST_F(Text, ShortAnticollisionReplyGivesZeroedSerialBytes) {
    reply({0x04, 0x00, 0x00});
    reply({0x00});  // status 0, no serial number: positions 2 and 3 are the status and XOR
    reply({0x08, 0x00});
    Fields f;
    EXPECT_EQ(tqrf_card_asc_1(0, 0, f.type, f.serial, f.size), 0);
    EXPECT_EQ(f.s(), "00010000xx");
    const Bytes select = {0x00, 0x07, 0xBB, 0x43, 0x00, 0x01, 0x00, 0x00, 0x00};
    const Bytes wire = rec().wire_values();
    EXPECT_NE(std::search(wire.begin(), wire.end(), select.begin(), select.end()), wire.end());
}

TEST_F(Text, KeyAndBlockTextDecodeEitherCase) {
    reply({0x00});
    reply({0x00});
    EXPECT_EQ(tqrf_loadkey_asc(0, 1, "a0a1a2a3a4a5"), 0);
    const Bytes lower = rec().wire_values();
    rec().clear_log();
    EXPECT_EQ(tqrf_loadkey_asc(0, 1, "A0A1A2A3A4A5"), 0);
    EXPECT_EQ(rec().wire_values(), lower);
    const Bytes frame_start = {0x58, 0x00, 0x0A, 0xBB, 0x61, 0x60, 0x01, 0xA0, 0xA1};
    EXPECT_TRUE(std::equal(frame_start.begin(), frame_start.end(), lower.begin()));

    rec().clear_log();
    reply({0x00});
    EXPECT_EQ(tqrf_wr_asc(0x104, "000102030405060708090a0b0c0d0e0f"), 0);
    Bytes write = {0x00, 0x13, 0xBB, 0x46, 0x04};
    for (int i = 0; i < 16; ++i) write.push_back(static_cast<std::uint8_t>(i));
    write.push_back(0xEA);
    EXPECT_EQ(rec().wire, request_on_wire(write));
}

TEST_F(Text, NullTexts) {
    Fields f;
    EXPECT_EQ(tqrf_loadkey_asc(0, 0, nullptr), ERR_FAILED);
    EXPECT_EQ(tqrf_wr_asc(0, nullptr), ERR_FAILED);
    EXPECT_EQ(tqrf_rd_asc(0, nullptr), ERR_FAILED);
    EXPECT_EQ(tqrf_card_asc(0, 0, nullptr, f.serial, f.size), ERR_FAILED);
    EXPECT_EQ(tqrf_card_asc_1(0, 0, f.type, nullptr, f.size), ERR_FAILED);
    EXPECT_TRUE(rec().wire.empty());
    ASSERT_EQ(tqrf_exit(), 0);
    // Decoding comes first for these two, so a null text is refused before the port check.
    EXPECT_EQ(tqrf_loadkey_asc(0, 0, nullptr), ERR_FAILED);
    EXPECT_EQ(tqrf_wr_asc(0, nullptr), ERR_FAILED);
    EXPECT_EQ(tqrf_rd_asc(0, nullptr), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(tqrf_card_asc(0, 0, nullptr, f.serial, f.size), ERR_PORT_NOT_OPEN);
}

}  // namespace
}  // namespace tqrf::testing
