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

// The handle API's checks: flags are 0 or 1, numbers within the card's range.
inline constexpr std::int32_t LAST_BLOCK = 63;
inline constexpr std::int32_t LAST_SECTOR = 15;

inline bool valid_flag(std::int32_t flag) {
    return flag == 0 || flag == 1;
}
inline bool valid_block(std::int32_t block) {
    return in_range(block, 0, LAST_BLOCK);
}
inline bool valid_sector(std::int32_t sector) {
    return in_range(sector, 0, LAST_SECTOR);
}

}  // namespace tqrf
