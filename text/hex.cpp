#include "text/hex.h"

namespace tqrf {

namespace {

char nibble_char(unsigned v) {
    return static_cast<char>(v <= 9 ? v + 0x30 : v + 0x37);
}

unsigned char_value(unsigned char c) {
    if (c >= 'A' && c <= 'F') return c - 0x37u;
    if (c >= 'a' && c <= 'f') return c - 0x57u;
    if (c >= '0' && c <= '9') return c - 0x30u;
    return c;
}

}  // namespace

void hex_encode(const std::uint8_t* source, char* destination, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        destination[2 * i] = nibble_char(source[i] >> 4);
        destination[2 * i + 1] = nibble_char(source[i] & 0x0Fu);
    }
}

void hex_decode(const char* source, std::uint8_t* destination, std::uint32_t count) {
    // Only whole pairs are read: an odd last character is never looked at.
    for (std::uint32_t i = 0; i + 1 < count; i += 2) {
        const unsigned high = char_value(static_cast<unsigned char>(source[i]));
        const unsigned low = char_value(static_cast<unsigned char>(source[i + 1]));
        destination[i / 2] = static_cast<std::uint8_t>((high * 16 + low) & 0xFFu);
    }
}

}  // namespace tqrf
