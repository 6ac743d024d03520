// What a card image knows: its blocks, what it does not know, and the card made from it.
#include <algorithm>

#include "codec.h"

namespace tqrf::image {

namespace {

constexpr std::array<std::uint8_t, 4> kTransportAccess{0xFF, 0x07, 0x80, 0x69};

}  // namespace

namespace detail {

void finish_marked(CardImage& out) {
    for (int s = 0; s < mifare::kSectors; ++s) {
        const int t = mifare::trailer_of(s);
        if (out.read[static_cast<std::size_t>(t)] &&
            !mifare::AccessConditions::from_trailer(image_block(out.image, t))) {
            for (int i = 0; i < 4; ++i) {
                out.read[static_cast<std::size_t>(mifare::first_block(s) + i)] = false;
            }
        }
    }
    if (!out.uid && out.read[0]) {
        Uid uid;
        std::copy(out.image.begin(), out.image.begin() + 4, uid.begin());
        out.uid = uid;
    }
}

void store_partial(CardImage& out, int block, const Block& data, const std::array<bool, 16>& k) {
    const auto bi = static_cast<std::size_t>(block);
    if (!mifare::is_trailer(block)) {
        if (std::all_of(k.begin(), k.end(), [](bool v) { return v; })) {
            set_image_block(out.image, block, data);
            out.read[bi] = true;
        }
        return;
    }
    const auto s = static_cast<std::size_t>(mifare::sector_of(block));
    Block t = image_block(out.image, block);
    const bool a = std::all_of(k.begin(), k.begin() + 6, [](bool v) { return v; });
    const bool bits = std::all_of(k.begin() + 6, k.begin() + 10, [](bool v) { return v; });
    const bool b = std::all_of(k.begin() + 10, k.end(), [](bool v) { return v; });
    for (std::size_t i = 0; i < 16; ++i) {
        if (k[i]) t[i] = data[i];
    }
    set_image_block(out.image, block, t);
    out.read[bi] = bits;
    out.key_known[s][0] = a;
    out.key_known[s][1] = b;
}

std::string marked_block(const CardImage& img, int block, bool per_digit, const char* sep) {
    const Block data = image_block(img.image, block);
    const auto s = static_cast<std::size_t>(mifare::sector_of(block));
    std::array<bool, 16> known{};
    if (!mifare::is_trailer(block)) {
        known.fill(img.read[static_cast<std::size_t>(block)]);
    } else {
        for (std::size_t i = 0; i < 6; ++i) {
            known[i] = img.key_known[s][0];
            known[10 + i] = img.key_known[s][1];
        }
        for (std::size_t i = 6; i < 10; ++i) known[i] = img.read[static_cast<std::size_t>(block)];
    }
    std::string out;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i != 0) out += sep;
        out += known[i] ? hex2(data[i]) : (per_digit ? "--" : "??");
    }
    return out;
}

Uid uid_of(const CardImage& img) {
    if (img.uid) return *img.uid;
    Uid u;
    std::copy(img.image.begin(), img.image.begin() + 4, u.begin());
    return u;
}

CardType atqa_of(const CardImage& img) {
    return img.atqa ? *img.atqa : CardType{{0x04, 0x00}};
}

}  // namespace detail

using namespace detail;

Block image_block(const Image& image, int block) noexcept {
    Block b;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(block) * 16, 16, b.begin());
    return b;
}

void set_image_block(Image& image, int block, const Block& data) noexcept {
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(block) * 16);
}

std::string block_text(const CardImage& image, int block) {
    return marked_block(image, block, true, "");
}

std::vector<int> incomplete_sectors(const CardImage& image) {
    std::vector<int> out;
    for (int s = 0; s < mifare::kSectors; ++s) {
        for (int i = 0; i < 4; ++i) {
            if (!image.read[static_cast<std::size_t>(s * 4 + i)]) {
                out.push_back(s);
                break;
            }
        }
    }
    return out;
}

Image card_memory(const CardImage& img, std::vector<std::string>& filled) {
    Image out = img.image;
    for (int s = 0; s < mifare::kSectors; ++s) {
        const auto si = static_cast<std::size_t>(s);
        const int t = mifare::trailer_of(s);
        std::vector<int> blocks;
        for (int i = 0; i < 3; ++i) {
            const int b = mifare::first_block(s) + i;
            if (!img.read[static_cast<std::size_t>(b)]) {
                set_image_block(out, b, Block{});
                blocks.push_back(b);
            }
        }
        Block trailer = image_block(out, t);
        std::string what;
        for (int b : blocks) what += (what.empty() ? "block " : ", ") + std::to_string(b);
        if (!img.read[static_cast<std::size_t>(t)]) {
            std::copy(kTransportAccess.begin(), kTransportAccess.end(), trailer.begin() + 6);
            what += std::string(what.empty() ? "" : "; ") + "the access bits (transport: FF0780)";
        }
        for (int k = 0; k < 2; ++k) {
            if (img.key_known[si][static_cast<std::size_t>(k)]) continue;
            std::fill_n(trailer.begin() + (k == 0 ? 0 : 10), 6, std::uint8_t{0xFF});
            what += std::string(what.empty() ? "" : "; ") + (k == 0 ? "key A" : "key B") +
                    " (FFFFFFFFFFFF)";
        }
        set_image_block(out, t, trailer);
        if (!what.empty()) filled.push_back("sector " + std::to_string(s) + ": " + what);
    }
    return out;
}

}  // namespace tqrf::image
