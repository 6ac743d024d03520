// Parser for the line mode strings of the serial layer: "rate,P,D,S", for example
// "19200,S,8,1". Pure code: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tqrf::serial {

enum class Parity : std::uint8_t { None, Mark, Space, Even, Odd };

struct LineMode {
    std::uint32_t rate = 0;  // bits per second, above 0
    Parity parity = Parity::None;
    std::uint8_t data_bits = 8;     // 5 to 8
    std::uint8_t stop_tenths = 10;  // 10 (1), 15 (1.5) or 20 (2)
};

// Parses `text` (NUL-terminated, at most `max_len` bytes are looked at). The rate is decimal
// digits without sign; the parity letter is either case; data bits 5 to 8; stop bits 1, 1.5
// or 2. Fields are separated by single commas; blanks around fields are allowed. Returns
// false for anything else, leaving `out` unchanged.
bool parse_mode_string(const char* text, LineMode* out, std::size_t max_len = 64);

}  // namespace tqrf::serial
