// Reader commands that hand every data byte of the reply (0 to 101) to the caller: hardware
// version, E2PROM read, clock read.
#pragma once

#include <cstdint>

#include "link/command.h"

namespace tqrf {

inline auto read_all_params(std::uint8_t first) {
    return [=](std::uint8_t* p) {
        p[0] = first;
        p[1] = 0x00;
    };
}

// Runs `code` with the parameters `first`, 0x00 and copies the reply's data bytes to `out`.
inline int read_all_command(std::uint8_t code, std::uint8_t first, std::uint8_t* out) {
    return run_command({code, 4}, {out}, read_all_params(first),
                       [&](const Reply& r) { r.copy_data(out, REPLY_DATA_MAX); });
}

// The same on a handle: the data go to `out` only when they fit its `capacity`; `length`
// receives their count.
inline int read_all_checked(tqrf_reader* reader, std::uint8_t code, std::uint8_t first,
                            bool arguments_ok, std::uint8_t* out, std::uint32_t capacity,
                            std::uint32_t* length) {
    const bool ok = arguments_ok && length != nullptr && (out != nullptr || capacity == 0);
    return run_checked(reader, {code, 4}, ANY_DATA, ok, read_all_params(first),
                       CopyAll{out, capacity, length});
}

}  // namespace tqrf
