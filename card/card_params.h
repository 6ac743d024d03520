// How the card commands turn their arguments into parameter bytes.
#pragma once

#include <cstdint>

#include "link/command.h"
#include "link/wire.h"

namespace tqrf {

// Request mode flag: 0 wakes idle cards only (REQA), anything else halted cards too (WUPA).
inline std::uint8_t request_code(std::int32_t mode) {
    return low_byte(mode) == 0 ? REQUEST_IDLE : REQUEST_ALL;
}

// Key type flag: 0 is key A, anything else key B.
inline std::uint8_t key_type_byte(std::int32_t flag) {
    return low_byte(flag) == 0 ? KEY_TYPE_A : KEY_TYPE_B;
}

inline std::uint8_t sector_byte(std::int32_t sector) {
    return low_byte(sector) & SECTOR_MASK;
}

inline std::uint8_t block_byte(std::int32_t block) {
    return low_byte(block) & BLOCK_MASK;
}

}  // namespace tqrf
