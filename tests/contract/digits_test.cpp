// The library's own digit helpers: USB ids as the system writes them, device numbers and trace
// times in decimal.
#include "os/digits.h"

#include <gtest/gtest.h>

#include <string>

namespace tqrf::digits {
namespace {

TEST(Digits, HexIds) {
    const struct {
        const char* text;
        std::int32_t id;
    } cases[] = {
        {"0403", 0x0403}, {"10c4", 0x10C4}, {"10C4", 0x10C4}, {"FFFF", 0xFFFF}, {"7", 7},
        {"", -1},         {"12345", -1},    {"04g3", -1},     {"0x43", -1},     {" 403", -1},
        {"04-3", -1},     {"@", -1},        {"`", -1},        {"G", -1},        {"/", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(hex_id(c.text), c.id) << '"' << c.text << '"';
}

TEST(Digits, Decimal) {
    for (const std::uint64_t v :
         {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{10}, std::uint64_t{188},
          std::uint64_t{4294967295u}, std::uint64_t{18446744073709551615u}}) {
        char text[kDecimalMax];
        const std::size_t n = decimal(v, text);
        EXPECT_EQ(std::string(text, n), std::to_string(v));
    }
}

}  // namespace
}  // namespace tqrf::digits
