// Proxmark3 emulator files (.eml): 64 lines of 32 hex digits, one block a line.
#include "codec.h"

namespace tqrf::image::detail {

CardImage read_eml(std::string_view text) {
    auto lines = lines_of(text);
    while (!lines.empty() && trim(lines.back()).empty()) lines.pop_back();
    if (lines.size() == 256) refuse_size("4K");
    if (lines.size() == 128) refuse_size("2K");
    if (lines.size() == 20) refuse_size("Mini");
    CardImage out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i >= 64) fail_at(i, "a 1K image has 64 lines, one block each; this one goes on");
        const std::string_view l = trim(lines[i]);
        if (l.size() != 32 || !all_hex(l)) fail_at(i, "32 hex digits (one block) expected");
        set_image_block(out.image, static_cast<int>(i), *Block::from_hex(l));
    }
    if (lines.size() != 64) {
        throw LineError{"has " + std::to_string(lines.size()) +
                        " lines; a 1K .eml image has 64, one block each"};
    }
    apply_raw_rule(out);
    return out;
}

std::string write_eml(const Image& image) {
    std::string out;
    for (int b = 0; b < mifare::kBlocks; ++b) out += image_block(image, b).hex() + "\n";
    return out;
}

bool looks_like_eml(std::string_view text) {
    const auto lines = lines_of(text);
    if (lines.empty()) return false;
    const std::string_view first = trim(lines.front());
    return first.size() == 32 && all_hex(first);
}

}  // namespace tqrf::image::detail
