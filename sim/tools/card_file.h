// The card tqrf-sim puts in the field for an image file (--card): what the file knows, and the
// card's own content for what it does not. Part of the program, not of the simulator library.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tq_RWD_DLL_image.hpp"

namespace tqrf_sim_tool {

struct ServedCard {
    tqrf::image::Memory memory{};
    // One line a sector of what the file did not know and the card holds instead ("sector 3:
    // block 12, 13, 14; the access bits (transport: FF0780); key A (FFFFFFFFFFFF); ..."), and
    // one for block 0 when the card's manufacturer block was built from the file's UID.
    std::vector<std::string> notices;
};

// Every format by the same rule, whether it marks what was not read (nfc, mct, json) or
// leaves it as zeros (mfd, bin, eml, proxmark3: a sector with invalid access bits was not
// read, a key of 000000000000 is not known): a block not read is zeros, a trailer not read has
// the transport access bits FF0780 69, a key not known is FFFFFFFFFFFF. A block 0 not read is
// built from the file's UID as a card of that UID holds it. An image without a UID (neither
// given nor in a block 0 that was read) gives nothing and says why in `error`: there is no
// card to put in the field.
std::optional<ServedCard> served_card(const tqrf::image::CardImage& card, std::string& error);

}  // namespace tqrf_sim_tool
