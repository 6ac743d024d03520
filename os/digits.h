// Digits in the library's own text (USB ids from the system, device numbers, trace lines):
// no locale, no allocation, nothing from the C library's formatting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tqrf::digits {

// The value of one hexadecimal digit, either case, or -1 for any other character.
constexpr int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exactly 1 to 4 hexadecimal digits as a number (a USB vendor or product id, "0403"), or -1
// when the text is empty, longer, or holds anything else.
constexpr std::int32_t hex_id(std::string_view text) noexcept {
    if (text.empty() || text.size() > 4) return -1;
    std::int32_t value = 0;
    for (char c : text) {
        const int digit = hex_value(c);
        if (digit < 0) return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The most decimal digits an unsigned 64-bit number has.
inline constexpr std::size_t kDecimalMax = 20;

// Writes `v` in decimal into `out`, most significant digit first, and returns how many digits
// it wrote (1 to kDecimalMax).
constexpr std::size_t decimal(std::uint64_t v, char (&out)[kDecimalMax]) noexcept {
    char reversed[kDecimalMax] = {};
    std::size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < kDecimalMax);
    for (std::size_t i = 0; i < n; ++i) out[i] = reversed[n - 1 - i];
    return n;
}

}  // namespace tqrf::digits
