// What a dump found on a card, and what an image file says about the card it came from. No
// reader here: the session fills these, the image formats read and write them, the restore
// rules judge them.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "image_formats.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::image {

struct SectorDump {
    int sector = 0;
    std::optional<Key> key_a;                    // the key that authenticated as key A
    std::optional<Key> key_b;                    // the key that authenticated as key B
    std::array<std::optional<Block>, 4> blocks;  // as the card gave them (key A reads as zeros)
    std::array<std::string, 4> errors;           // why a block is missing
    // Why the sector could not be read when the reader failed (its replies were lost, late or
    // garbled on every attempt), as opposed to a key or access bits that refuse it; empty
    // otherwise.
    std::string failure;
    bool opened() const { return key_a || key_b; }
    bool complete() const {
        for (const auto& b : blocks) {
            if (!b) return false;
        }
        return true;
    }
};

struct CardDump {
    CardInfo card;
    std::array<SectorDump, mifare::kSectors> sectors;
};

}  // namespace tqrf::image
