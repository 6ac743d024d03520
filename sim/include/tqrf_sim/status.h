// The simulated reader's status bytes: the last payload byte of every reply. 0 means the
// command was carried out; the others are this reader's own. They start at 0x11 so that none
// of them can be mistaken for a small library result (a host library may use 1 for a check of
// its own).
#pragma once

#include <cstdint>

namespace tqrf_sim {

enum class Status : std::uint8_t {
    Ok = 0x00,
    NoCard = 0x11,            // no card answered, or no card is selected
    AuthFailed = 0x12,        // wrong key, or key B where it is readable
    NotAuthenticated = 0x13,  // the block's sector is not the authenticated one
    AccessDenied = 0x14,      // the access bits refuse it; block 0 is read-only
    ValueFormat = 0x15,       // the block is not in value block format
    BadParameter = 0x16,      // wrong payload length, request code, key type, sector, block,
                              // E2PROM address or clock field
    KeyNotLoaded = 0x17,      // no key loaded for that key type and sector
    NoTransferValue = 0x18,   // transfer without increment, decrement or restore before it
    UnknownCommand = 0x19,    // unknown command code, or a payload not led by 0xBB
    E2promProtected = 0x1A,   // E2PROM write into the read-only product information
    BadAccessBits = 0x1B,     // trailer write whose access bytes contradict themselves
};

constexpr std::uint8_t to_byte(Status s) {
    return static_cast<std::uint8_t>(s);
}

const char* status_name(Status s);

}  // namespace tqrf_sim
