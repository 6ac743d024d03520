// Reader commands that hand every data byte of the reply (0 to 101) to the caller's buffer:
// hardware version, E2PROM read, clock read.
#pragma once

#include <cstdint>

#include "link/command.h"

namespace tqrf {

// Runs `code` with the parameters `first`, 0x00 and copies the reply's data bytes to `out`.
inline int read_all_command(std::uint8_t code, std::uint8_t first, std::uint8_t* out) {
    return run_command(
        {code, 4}, {out},
        [&](std::uint8_t* p) {
            p[0] = first;
            p[1] = 0x00;
        },
        [&](const Reply& r) { r.copy_data(out, REPLY_DATA_MAX); });
}

}  // namespace tqrf
