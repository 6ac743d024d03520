// Text-form outputs of replies that carry fewer data bytes than the field: whatever the text
// then holds, it must come from the reply, never from what the library's own stack held
// before. Runs on the recording serial double: two calls with the same reply, after the stack
// was filled with two different patterns, must give the same text and send the same bytes.
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

// Fills a stretch of the stack below the caller with `value`, where the library's locals will
// lie during the next call.
[[gnu::noinline]] void scribble_stack(std::uint8_t value) {
    volatile std::uint8_t area[8192];
    for (std::size_t i = 0; i < sizeof area; ++i) area[i] = value;
    asm volatile("" : : "r"(area) : "memory");
}

using ShortReplies = PortOpen;

TEST_F(ShortReplies, BlockTextOfAShortReplyDoesNotDependOnStaleStack) {
    std::string texts[2];
    const std::uint8_t patterns[2] = {0xA5, 0x3C};
    for (int k = 0; k < 2; ++k) {
        reply({0x11, 0x22, 0x00});  // two data bytes, status 0
        char text[32];
        std::memset(text, 'x', sizeof text);
        scribble_stack(patterns[k]);
        ASSERT_EQ(tqrf_rd_asc(4, text), 0);
        texts[k].assign(text, sizeof text);
        EXPECT_EQ(texts[k].substr(0, 4), "1122");
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(texts[0].find("A5A5"), std::string::npos) << texts[0];
}

TEST_F(ShortReplies, SerialOfAStatusOnlyAnticollisionDoesNotDependOnStaleStack) {
    std::string serial_texts[2];
    Bytes select_requests[2];
    const std::uint8_t patterns[2] = {0xA5, 0x3C};
    for (int k = 0; k < 2; ++k) {
        reply({0x04, 0x00, 0x00});  // request: card type, status 0
        reply({0x00});              // anticollision: status 0 and no serial number at all
        reply({0x08, 0x00});        // select: size byte, status 0
        char type_text[4], serial_text[8], size_text[2];
        std::memset(serial_text, 'x', sizeof serial_text);
        rec().clear_log();
        scribble_stack(patterns[k]);
        ASSERT_EQ(tqrf_card_asc_1(0, 0, type_text, serial_text, size_text), 0);
        serial_texts[k].assign(serial_text, sizeof serial_text);
        // The third request on the wire is the select with the serial number.
        const Bytes wire = rec().wire_values();
        ASSERT_EQ(wire.size(), 2u * 8 + 11);
        select_requests[k].assign(wire.end() - 11, wire.end());
    }
    EXPECT_EQ(serial_texts[0], serial_texts[1]);
    EXPECT_EQ(select_requests[0], select_requests[1]);
}

}  // namespace
}  // namespace tqrf::testing
