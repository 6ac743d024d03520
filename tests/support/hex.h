// Bytes as the tests print them: two upper-case hex digits each, separated by single spaces
// ("00 04 BB 41"), the form the recording double's event log and the conformance suite use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tqrf::testing {

inline std::string hex_bytes(const std::uint8_t* data, std::size_t count) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", data[i]);
        s += buf;
    }
    return s;
}

}  // namespace tqrf::testing
