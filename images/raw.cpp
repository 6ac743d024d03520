// Plain images (.mfd, .bin, .dump, .dmp, and the bytes of .eml and Proxmark3 files): what they hold
// is read from the access bits and the keys.
#include <algorithm>

#include "codec.h"

namespace tqrf::image {

namespace {

constexpr Key kZeroKey{};

}  // namespace

CardImage interpret_raw_image(const Image& image) {
    CardImage out;
    out.image = image;
    for (int s = 0; s < mifare::kSectors; ++s) {
        const Block trailer = image_block(image, mifare::trailer_of(s));
        const auto ac = mifare::AccessConditions::from_trailer(trailer);
        const bool present = ac.has_value();
        for (int i = 0; i < 4; ++i) {
            out.read[static_cast<std::size_t>(mifare::first_block(s) + i)] = present;
        }
        if (s == 0 && present) {
            Uid uid;
            std::copy(image.begin(), image.begin() + 4, uid.begin());
            out.uid = uid;
        }
        Key a, b;
        std::copy_n(trailer.begin(), 6, a.begin());
        std::copy_n(trailer.begin() + 10, 6, b.begin());
        auto& known = out.key_known[static_cast<std::size_t>(s)];
        known[0] = present && a != kZeroKey;
        // A key B that the access bits make readable is data, read as it is: known.
        known[1] = present && (b != kZeroKey || mifare::key_b_readable(ac->block[3]));
    }
    return out;
}

namespace detail {

void apply_raw_rule(CardImage& out) {
    const CardImage raw = interpret_raw_image(out.image);
    out.read = raw.read;
    out.key_known = raw.key_known;
    if (!out.uid) out.uid = raw.uid;
}

// After a marking format: the UID from block 0 when the file gave none; a trailer whose

Image raw_bytes(const CardImage& img) {
    Image out = img.image;
    for (int s : incomplete_sectors(img)) {
        for (int i = 0; i < 4; ++i) set_image_block(out, mifare::first_block(s) + i, Block{});
    }
    return out;
}

}  // namespace detail

}  // namespace tqrf::image
