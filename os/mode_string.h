// Parser for the line mode strings of the serial layer: "rate,P,D,S", for example
// "19200,S,8,1". Pure code: no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/serial.h"

namespace tqrf::serial {

// Parses `text` (NUL-terminated, at most `max_len` bytes are looked at). The rate is decimal
// digits without sign; the parity letter is either case; data bits 5 to 8; stop bits 1, 1.5
// or 2. Fields are separated by single commas; blanks around fields are allowed. Returns
// false for anything else, leaving `out` unchanged.
bool parse_mode_string(const char* text, LineMode* out, std::size_t max_len = 64);

// The longest text format_mode() writes, terminator included ("4294967295,M,8,1.5").
inline constexpr std::size_t MODE_TEXT_MAX = 20;

// Writes `mode` as "rate,P,D,S" (P upper case; S "1", "1.5" or "2") into `out`, which holds
// MODE_TEXT_MAX bytes; parse_mode_string() reads it back to the same mode.
void format_mode(const LineMode& mode, char* out);

}  // namespace tqrf::serial
