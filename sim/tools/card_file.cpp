// The card tqrf-sim puts in the field for an image file.
#include "card_file.h"

#include <algorithm>
#include <cstdio>

namespace tqrf_sim_tool {

namespace {

std::string hex_bytes(const std::uint8_t* p, std::size_t n) {
    std::string out;
    char buf[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        out += buf;
    }
    return out;
}

}  // namespace

std::optional<ServedCard> served_card(const tqrf::image::CardImage& card, std::string& error) {
    const bool anything_read =
        std::any_of(card.read.begin(), card.read.end(), [](bool v) { return v; });
    if (!card.uid) {
        error = anything_read
                    ? "holds no UID and block 0 was not read: the card's UID is not known"
                    : "holds no UID and no block that was read (a dump that failed?): there is "
                      "no card to put in the field";
        return std::nullopt;
    }
    ServedCard out;
    out.memory = tqrf::image::card_memory(card, out.notices);
    if (!card.read[0]) {
        // The manufacturer block of a card with that UID, as the simulator's factory-fresh
        // cards hold it: UID, BCC, SAK, ATQA (wire order), eight maker bytes.
        const tqrf::Uid& uid = *card.uid;
        tqrf::Block block0{};
        std::copy(uid.begin(), uid.end(), block0.begin());
        block0[4] = static_cast<std::uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);
        block0[5] = card.sak ? *card.sak : std::uint8_t{0x08};
        const tqrf::CardType atqa = card.atqa ? *card.atqa : tqrf::CardType{{0x04, 0x00}};
        block0[6] = atqa[0];
        block0[7] = atqa[1];
        for (std::size_t i = 8; i < 16; ++i) block0[i] = static_cast<std::uint8_t>(0x62 + i - 8);
        tqrf::image::set_image_block(out.memory, 0, block0);
        out.notices.push_back("block 0: " + hex_bytes(block0.data(), block0.size()) + " (the UID " +
                              hex_bytes(uid.data(), uid.size()) +
                              " with its BCC, SAK, ATQA and maker bytes)");
    }
    return out;
}

}  // namespace tqrf_sim_tool
