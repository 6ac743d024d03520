// Hex text codec: two characters per byte, high nibble first, no separators, no terminator.
#pragma once

#include <cstdint>

namespace tqrf {

// Writes 2 * count upper-case hex characters for `count` bytes. Nothing else is written.
void hex_encode(const std::uint8_t* source, char* destination, std::uint32_t count);

// Reads `count` characters (even) and writes count / 2 bytes. Never fails: a character that is
// not a hex digit in either case enters with its own code, and each pair's value
// (value(c1) * 16 + value(c2)) is cut to 8 bits. A NUL is read as the value 0, not as an end.
void hex_decode(const char* source, std::uint8_t* destination, std::uint32_t count);

}  // namespace tqrf
