// MIFARE Classic Tool dumps (.mct): "+Sector: N", then four lines of 32 hex digits with '-'
// for a digit not known, or "*No keys found or dead sector".
#include <algorithm>

#include "codec.h"

namespace tqrf::image::detail {

namespace {

constexpr std::string_view kMctDead = "*No keys found or dead sector";

// One line of 32 characters, hex digits or '-' for a digit not known. Gives the bytes (unknown
// digits as 0) and which of the 16 bytes are whole.
void parse_mct_block(std::string_view l, std::size_t line, Block& data,
                     std::array<bool, 16>& known) {
    if (l.size() != 32) fail_at(line, "32 hex digits or '-' expected");
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = hex_digit(l[2 * i]), lo = hex_digit(l[2 * i + 1]);
        for (char c : {l[2 * i], l[2 * i + 1]}) {
            if (hex_digit(c) < 0 && c != '-') fail_at(line, "32 hex digits or '-' expected");
        }
        known[i] = hi >= 0 && lo >= 0;
        data[i] = known[i] ? static_cast<std::uint8_t>(hi * 16 + lo) : 0;
    }
}

// Stores a block whose bytes may be partly unknown: a data block counts only whole; a trailer

bool sector_touched(const CardImage& img, int s) {
    const auto si = static_cast<std::size_t>(s);
    bool any = img.key_known[si][0] || img.key_known[si][1];
    for (int i = 0; i < 4; ++i) any = any || img.read[static_cast<std::size_t>(s * 4 + i)];
    return any;
}

}  // namespace

CardImage read_mct(std::string_view text) {
    const auto lines = lines_of(text);
    CardImage out;
    std::array<bool, mifare::kSectors> seen{};
    std::size_t i = 0;
    while (i < lines.size()) {
        const std::string_view l = trim(lines[i]);
        if (l.empty()) {
            ++i;
            continue;
        }
        if (l.substr(0, 8) != "+Sector:") fail_at(i, "\"+Sector: N\" expected");
        const std::string_view num = trim(l.substr(8));
        if (num.empty() || num.size() > 3 ||
            !std::all_of(num.begin(), num.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            fail_at(i, "\"+Sector: N\" expected, with N a sector number");
        }
        const int sector = std::stoi(std::string(num));
        if (sector >= 16) {
            throw LineError{"line " + std::to_string(i + 1) + ": sector " + std::to_string(sector) +
                            " belongs to a larger card (2K or 4K); " + kOnly1K};
        }
        if (seen[static_cast<std::size_t>(sector)]) {
            fail_at(i, "sector " + std::to_string(sector) + " appears a second time");
        }
        seen[static_cast<std::size_t>(sector)] = true;
        ++i;
        if (i < lines.size() && trim(lines[i]) == kMctDead) {
            ++i;
            continue;
        }
        for (int b = 0; b < 4; ++b, ++i) {
            if (i >= lines.size() || trim(lines[i]).substr(0, 1) == "+") {
                throw LineError{"line " + std::to_string(i + 1) + ": sector " +
                                std::to_string(sector) + " has " + std::to_string(b) +
                                " block lines; 4 expected"};
            }
            Block data;
            std::array<bool, 16> known{};
            parse_mct_block(trim(lines[i]), i, data, known);
            store_partial(out, mifare::first_block(sector) + b, data, known);
        }
    }
    if (std::none_of(seen.begin(), seen.end(), [](bool v) { return v; })) {
        throw LineError{"holds no \"+Sector: N\" line"};
    }
    finish_marked(out);
    return out;
}

std::string write_mct(const CardImage& img) {
    std::string out;
    for (int s = 0; s < mifare::kSectors; ++s) {
        out += "+Sector: " + std::to_string(s) + "\n";
        if (!sector_touched(img, s)) {
            out += std::string(kMctDead) + "\n";
            continue;
        }
        for (int i = 0; i < 4; ++i) {
            out += marked_block(img, mifare::first_block(s) + i, true, "") + "\n";
        }
    }
    return out;
}

}  // namespace tqrf::image::detail
