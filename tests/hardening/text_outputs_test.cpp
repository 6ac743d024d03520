// Text-form outputs of replies that carry fewer data bytes than the field: whatever the text
// then holds, it must come from the reply, never from what the library's own stack held
// before. Runs on the recording serial double: two calls with the same reply, each on a stack
// filled with a different pattern, must give the same text and send the same bytes.
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

// Runs `f` on a thread whose whole stack was filled with `value` beforehand, so every byte of
// the library's locals that it does not write itself reads as `value`.
void on_patterned_stack(std::uint8_t value, const std::function<void()>& f) {
    constexpr std::size_t kStackBytes = 1 << 20;
    void* stack = std::aligned_alloc(4096, kStackBytes);
    ASSERT_NE(stack, nullptr);
    std::memset(stack, value, kStackBytes);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kStackBytes);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&f)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    std::free(stack);
}

using ShortReplies = PortOpen;

TEST_F(ShortReplies, BlockTextOfAShortReplyDoesNotDependOnStaleStack) {
    std::string texts[2];
    const std::uint8_t patterns[2] = {0xA5, 0x3C};
    for (int k = 0; k < 2; ++k) {
        reply({0x11, 0x22, 0x00});  // two data bytes, status 0
        char text[32];
        std::memset(text, 'x', sizeof text);
        int r = -1;
        on_patterned_stack(patterns[k], [&] { r = tqrf_rd_asc(4, text); });
        ASSERT_EQ(r, 0);
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
        int r = -1;
        on_patterned_stack(patterns[k],
                           [&] { r = tqrf_card_asc_1(0, 0, type_text, serial_text, size_text); });
        ASSERT_EQ(r, 0);
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
