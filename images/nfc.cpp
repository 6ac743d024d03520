// Flipper Zero NFC files (.nfc), versions 2 to 4, of Mifare Classic 1K cards: "Key: value"
// lines, "??" for a byte not known.
#include <algorithm>

#include "codec.h"

namespace tqrf::image::detail {

namespace {

std::vector<std::uint8_t> spaced_hex(std::string_view v, std::size_t line, const char* field) {
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i < v.size()) {
        if (v[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= v.size() || hex_digit(v[i]) < 0 || hex_digit(v[i + 1]) < 0 ||
            (i + 2 < v.size() && v[i + 2] != ' ')) {
            fail_at(line, std::string(field) + ": hex bytes separated by spaces expected");
        }
        out.push_back(static_cast<std::uint8_t>(hex_digit(v[i]) * 16 + hex_digit(v[i + 1])));
        i += 2;
    }
    return out;
}

std::string spaced(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += (i ? " " : "") + hex2(p[i]);
    return out;
}

}  // namespace

CardImage read_nfc(std::string_view text) {
    const auto lines = lines_of(text);
    CardImage out;
    int version = 0;
    bool type_seen = false, kind_seen = false;
    std::optional<std::size_t> atqa_line;
    std::vector<std::uint8_t> atqa;
    std::array<bool, mifare::kBlocks> block_seen{};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view l = trim(lines[i]);
        if (l.empty() || l.front() == '#') continue;
        const std::size_t colon = l.find(':');
        if (colon == std::string_view::npos) fail_at(i, "\"Key: value\" expected");
        const std::string_view key = trim(l.substr(0, colon));
        const std::string_view value = trim(l.substr(colon + 1));
        if (key == "Filetype") {
            if (value != "Flipper NFC device") {
                fail_at(i, "Filetype: \"Flipper NFC device\" expected");
            }
        } else if (key == "Version") {
            if (value != "2" && value != "3" && value != "4") {
                fail_at(i, "Version: 2, 3 or 4 expected, not \"" + std::string(value) + "\"");
            }
            version = value[0] - '0';
        } else if (key == "Device type") {
            if (value != "Mifare Classic") {
                fail_at(i, "Device type: this is a \"" + std::string(value) +
                               "\" file; only \"Mifare Classic\" holds a card image");
            }
            type_seen = true;
        } else if (key == "UID") {
            const auto uid = spaced_hex(value, i, "UID");
            if (uid.size() == 7 || uid.size() == 10) {
                fail_at(i, "UID: a " + std::to_string(uid.size()) +
                               "-byte UID; the reader selects cards with a 4-byte UID only");
            }
            if (uid.size() != 4) fail_at(i, "UID: 4 bytes expected");
            Uid u;
            std::copy(uid.begin(), uid.end(), u.begin());
            out.uid = u;
        } else if (key == "ATQA") {
            atqa = spaced_hex(value, i, "ATQA");
            if (atqa.size() != 2) fail_at(i, "ATQA: 2 bytes expected");
            atqa_line = i;
        } else if (key == "SAK") {
            const auto sak = spaced_hex(value, i, "SAK");
            if (sak.size() != 1) fail_at(i, "SAK: 1 byte expected");
            out.sak = sak[0];
        } else if (key == "Mifare Classic type") {
            if (value == "4K" || value == "2K" || value == "MINI" || value == "Mini") {
                throw LineError{"line " + std::to_string(i + 1) + ": a Mifare Classic " +
                                std::string(value) + " card; " + kOnly1K};
            }
            if (value != "1K") fail_at(i, "Mifare Classic type: 1K expected");
            kind_seen = true;
        } else if (key == "Data format version") {
            if (value != "1" && value != "2") fail_at(i, "Data format version: 1 or 2 expected");
        } else if (key.substr(0, 6) == "Block ") {
            const std::string_view num = key.substr(6);
            if (num.empty() || num.size() > 3 ||
                !std::all_of(num.begin(), num.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                fail_at(i, "\"Block N: ...\" expected, with N a block number");
            }
            const int b = std::stoi(std::string(num));
            if (b >= mifare::kBlocks) {
                throw LineError{"line " + std::to_string(i + 1) + ": block " + std::to_string(b) +
                                " belongs to a larger card; " + kOnly1K};
            }
            if (block_seen[static_cast<std::size_t>(b)]) {
                fail_at(i, "block " + std::to_string(b) + " appears a second time");
            }
            block_seen[static_cast<std::size_t>(b)] = true;
            Block data;
            std::array<bool, 16> known{};
            std::size_t n = 0, p = 0;
            while (p < value.size()) {
                if (value[p] == ' ') {
                    ++p;
                    continue;
                }
                if (p + 1 >= value.size() || (p + 2 < value.size() && value[p + 2] != ' ') ||
                    n == 16) {
                    fail_at(i, "Block " + std::to_string(b) +
                                   ": 16 bytes expected, each two hex digits or ??");
                }
                const int hi = hex_digit(value[p]), lo = hex_digit(value[p + 1]);
                if (value[p] == '?' && value[p + 1] == '?') {
                    known[n] = false;
                    data[n] = 0;
                } else if (hi >= 0 && lo >= 0) {
                    known[n] = true;
                    data[n] = static_cast<std::uint8_t>(hi * 16 + lo);
                } else {
                    fail_at(i, "Block " + std::to_string(b) +
                                   ": 16 bytes expected, each two hex digits or ??");
                }
                ++n;
                p += 2;
            }
            if (n != 16) {
                fail_at(i, "Block " + std::to_string(b) + ": 16 bytes expected, " +
                               std::to_string(n) + " found");
            }
            store_partial(out, b, data, known);
        }
        // Other keys (newer versions add some) are not about the blocks.
    }
    if (version == 0) throw LineError{"has no \"Version:\" line"};
    if (!type_seen) throw LineError{"has no \"Device type: Mifare Classic\" line"};
    if (!kind_seen) throw LineError{"has no \"Mifare Classic type:\" line"};
    if (atqa_line) {
        // Version 3 on shows the ATQA most significant byte first; the wire sends it last.
        CardType t;
        t[0] = version >= 3 ? atqa[1] : atqa[0];
        t[1] = version >= 3 ? atqa[0] : atqa[1];
        out.atqa = t;
    }
    finish_marked(out);
    return out;
}

std::string write_nfc(const CardImage& img) {
    const Uid uid = uid_of(img);
    const CardType atqa = atqa_of(img);
    std::string out =
        "Filetype: Flipper NFC device\n"
        "Version: 4\n"
        "# Device type can be ISO14443-3A, ISO14443-3B, ISO14443-4A, ISO14443-4B, ISO15693-3, "
        "FeliCa, NTAG/Ultralight, Mifare Classic, Mifare Plus, Mifare DESFire, SLIX, ST25TB, "
        "EMV\n"
        "Device type: Mifare Classic\n"
        "# UID is common for all formats\n";
    out += "UID: " + spaced(uid.data(), uid.size()) + "\n";
    out += "# ISO14443-3A specific data\n";
    out += "ATQA: " + hex2(atqa[1]) + " " + hex2(atqa[0]) + "\n";
    out += "SAK: " + hex2(img.sak ? *img.sak : 0x08) + "\n";
    out +=
        "# Mifare Classic specific data\n"
        "Mifare Classic type: 1K\n"
        "Data format version: 2\n"
        "# Mifare Classic blocks, '\?\?' means unknown data\n";
    for (int b = 0; b < mifare::kBlocks; ++b) {
        out += "Block " + std::to_string(b) + ": " + marked_block(img, b, false, " ") + "\n";
    }
    return out;
}

}  // namespace tqrf::image::detail
