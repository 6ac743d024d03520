#include "image_formats.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace tqrf::tool {

// The tool's own JSON dump (image_file.cpp).
std::optional<CardImage> parse_tool_json(const nlohmann::json& doc, std::string& error);
std::string tool_json_text(const CardImage& image);

namespace {

using nlohmann::json;

constexpr Key kZeroKey{};
constexpr std::array<std::uint8_t, 4> kTransportAccess{0xFF, 0x07, 0x80, 0x69};

// A file larger than a few 4K dumps with comments is no card image.
constexpr std::size_t kMaxText = 1u << 20;

std::string hex2(unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

// The text without a UTF-8 byte order mark.
std::string_view without_bom(std::string_view s) {
    if (s.size() >= 3 && static_cast<unsigned char>(s[0]) == 0xEF &&
        static_cast<unsigned char>(s[1]) == 0xBB && static_cast<unsigned char>(s[2]) == 0xBF) {
        s.remove_prefix(3);
    }
    return s;
}

// The lines of a text, without their line ends ("\n" or "\r\n").
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out.push_back(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return out;
}

// A message that names the line.
struct LineError {
    std::string text;
};
[[noreturn]] void fail_at(std::size_t line_index, const std::string& what) {
    throw LineError{"line " + std::to_string(line_index + 1) + ": " + what};
}

const char* const kOnly1K = "the reader addresses blocks 0 to 63 only (Mifare Classic 1K)";

[[noreturn]] void refuse_size(const std::string& kind) {
    throw LineError{"is a Mifare Classic " + kind + " image; " + kOnly1K};
}

bool all_hex(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return hex_digit(c) >= 0; });
}

// Marks the whole sector read when its trailer holds valid access bits (the plain-image rule)
// and takes keys of 000000000000 as not known.
void apply_raw_rule(CardImage& out) {
    const CardImage raw = interpret_raw_image(out.image);
    out.read = raw.read;
    out.key_known = raw.key_known;
    if (!out.uid) out.uid = raw.uid;
}

// After a marking format: the UID from block 0 when the file gave none; a trailer whose
// access bits are invalid was not really read.
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

// ---- eml -------------------------------------------------------------------------------------

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

// ---- MIFARE Classic Tool ---------------------------------------------------------------------

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
// counts when its access bytes (6 to 9) are known, and each key when its six bytes are.
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

// A trailer with what is not known as `unknown` characters, `per_byte` of them a byte.
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

bool sector_touched(const CardImage& img, int s) {
    const auto si = static_cast<std::size_t>(s);
    bool any = img.key_known[si][0] || img.key_known[si][1];
    for (int i = 0; i < 4; ++i) any = any || img.read[static_cast<std::size_t>(s * 4 + i)];
    return any;
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

// ---- Flipper .nfc ----------------------------------------------------------------------------

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

std::string spaced(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += (i ? " " : "") + hex2(p[i]);
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

// ---- Proxmark3 JSON --------------------------------------------------------------------------

struct FieldError {
    std::string field;
    std::string what;
};

template <class T>
T hex_value(const json& parent, const std::string& name, const std::string& where) {
    const std::string field = where.empty() ? name : where + "." + name;
    if (!parent.contains(name)) throw FieldError{field, "missing"};
    const json& v = parent.at(name);
    std::optional<T> out;
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (all_hex(s)) out = T::from_hex(s);
    }
    if (!out) throw FieldError{field, std::to_string(2 * T::size()) + " hex digits expected"};
    return *out;
}

CardImage read_proxmark3(const json& doc) {
    const std::string type = doc["FileType"].get<std::string>();
    if (type != "mfc v2" && type != "mfcard") {
        throw FieldError{"FileType", "\"" + type +
                                         "\" is not a Mifare Classic dump (\"mfc v2\" or "
                                         "\"mfcard\" expected)"};
    }
    CardImage out;
    if (doc.contains("Card")) {
        const json& card = doc["Card"];
        if (!card.is_object()) throw FieldError{"Card", "an object expected"};
        if (card.contains("SAK")) {
            const json& sak = card["SAK"];
            if (!sak.is_string() || sak.get<std::string>().size() != 2 ||
                !all_hex(sak.get<std::string>())) {
                throw FieldError{"Card.SAK", "2 hex digits expected"};
            }
            const std::string s = sak.get<std::string>();
            out.sak = static_cast<std::uint8_t>(hex_digit(s[0]) * 16 + hex_digit(s[1]));
            if (*out.sak == 0x18) refuse_size("4K");
            if (*out.sak == 0x09) refuse_size("Mini");
        }
        if (card.contains("UID")) {
            const json& u = card["UID"];
            if (u.is_string() &&
                (u.get<std::string>().size() == 14 || u.get<std::string>().size() == 20)) {
                throw FieldError{"Card.UID",
                                 "a " + std::to_string(u.get<std::string>().size() / 2) +
                                     "-byte UID; the reader selects cards with a 4-byte UID "
                                     "only"};
            }
            out.uid = hex_value<Uid>(card, "UID", "Card");
        }
        if (card.contains("ATQA")) out.atqa = hex_value<CardType>(card, "ATQA", "Card");
    }
    if (!doc.contains("blocks") || !doc["blocks"].is_object()) {
        throw FieldError{"blocks", "an object with blocks \"0\" to \"63\" expected"};
    }
    const json& blocks = doc["blocks"];
    if (blocks.size() > 64) refuse_size(blocks.size() > 128 ? "4K" : "2K");
    if (blocks.size() == 20) refuse_size("Mini");
    for (int b = 0; b < mifare::kBlocks; ++b) {
        set_image_block(out.image, b, hex_value<Block>(blocks, std::to_string(b), "blocks"));
    }
    if (blocks.size() != 64) {
        throw FieldError{"blocks",
                         "64 blocks expected, " + std::to_string(blocks.size()) + " found"};
    }
    // The keys of each sector, when the file lists them: they go into the trailers.
    if (doc.contains("SectorKeys")) {
        const json& keys = doc["SectorKeys"];
        if (!keys.is_object()) throw FieldError{"SectorKeys", "an object expected"};
        for (int s = 0; s < mifare::kSectors; ++s) {
            const std::string name = std::to_string(s);
            if (!keys.contains(name)) continue;
            const json& sk = keys[name];
            const std::string where = "SectorKeys." + name;
            if (!sk.is_object()) throw FieldError{where, "an object expected"};
            const int t = mifare::trailer_of(s);
            Block trailer = image_block(out.image, t);
            if (sk.contains("KeyA")) {
                const Key k = hex_value<Key>(sk, "KeyA", where);
                std::copy(k.begin(), k.end(), trailer.begin());
            }
            if (sk.contains("KeyB")) {
                const Key k = hex_value<Key>(sk, "KeyB", where);
                std::copy(k.begin(), k.end(), trailer.begin() + 10);
            }
            set_image_block(out.image, t, trailer);
        }
    }
    const auto uid = out.uid;
    apply_raw_rule(out);
    if (uid) out.uid = uid;
    return out;
}

// Who may, as the card's tables say, in the words Proxmark3 files use ("read AB; write B").
std::string data_text(mifare::Condition c) {
    const auto a = mifare::data_access(c);
    std::string out;
    auto add = [&](const char* what, mifare::Keys who) {
        if (who == mifare::Keys::Never) return;
        out += (out.empty() ? "" : "; ") + std::string(what) + " " + mifare::to_string(who);
    };
    add("read", a.read);
    add("write", a.write);
    add("increment", a.increment);
    add("decrement transfer restore", a.decrement);
    return out.empty() ? "never" : out;
}

std::string trailer_text(mifare::Condition c) {
    const auto a = mifare::trailer_access(c);
    std::string out;
    auto add = [&](const char* what, mifare::Keys who) {
        if (who == mifare::Keys::Never) return;
        out += (out.empty() ? "" : "; ") + std::string(what) + " by " + mifare::to_string(who);
    };
    add("write A", a.key_a_write);
    add("read ACCESS", a.access_read);
    add("write ACCESS", a.access_write);
    add("read B", a.key_b_read);
    add("write B", a.key_b_write);
    return out.empty() ? "never" : out;
}

std::string write_proxmark3(const CardImage& img, const Image& bytes) {
    json blocks = json::object();
    json keys = json::object();
    for (int b = 0; b < mifare::kBlocks; ++b)
        blocks[std::to_string(b)] = image_block(bytes, b).hex();
    for (int s = 0; s < mifare::kSectors; ++s) {
        const int t = mifare::trailer_of(s);
        const std::string hex = image_block(bytes, t).hex();
        json text = json::object();
        if (const auto ac = mifare::AccessConditions::from_trailer(image_block(bytes, t))) {
            for (int i = 0; i < 4; ++i) {
                const auto cond = ac->block[static_cast<std::size_t>(i)];
                text["block" + std::to_string(mifare::first_block(s) + i)] =
                    i == 3 ? trailer_text(cond) : data_text(cond);
            }
        }
        text["UserData"] = hex.substr(18, 2);
        keys[std::to_string(s)] = {{"KeyA", hex.substr(0, 12)},
                                   {"KeyB", hex.substr(20, 12)},
                                   {"AccessConditions", hex.substr(12, 8)},
                                   {"AccessConditionsText", text}};
    }
    const Uid uid = uid_of(img);
    const CardType atqa = atqa_of(img);
    json doc = json::object();
    doc["Created"] = "tqrf";
    doc["FileType"] = "mfc v2";
    doc["Card"] = {
        {"UID", uid.hex()}, {"ATQA", atqa.hex()}, {"SAK", hex2(img.sak ? *img.sak : 0x08)}};
    doc["blocks"] = blocks;
    doc["SectorKeys"] = keys;
    return doc.dump(2) + "\n";
}

// The raw bytes of an image for a format that cannot mark what was not read.
Image raw_bytes(const CardImage& img) {
    Image out = img.image;
    for (int s : incomplete_sectors(img)) {
        for (int i = 0; i < 4; ++i) set_image_block(out, mifare::first_block(s) + i, Block{});
    }
    return out;
}

// ---- Detection -------------------------------------------------------------------------------

bool looks_like_eml(std::string_view text) {
    const auto lines = lines_of(text);
    if (lines.empty()) return false;
    const std::string_view first = trim(lines.front());
    return first.size() == 32 && all_hex(first);
}

}  // namespace

const char* format_name(ImageFormat format) {
    switch (format) {
        case ImageFormat::Mfd:
            return "mfd";
        case ImageFormat::Bin:
            return "bin";
        case ImageFormat::Eml:
            return "eml";
        case ImageFormat::Proxmark3:
            return "proxmark3";
        case ImageFormat::Nfc:
            return "nfc";
        case ImageFormat::Mct:
            return "mct";
        case ImageFormat::Json:
            return "json";
    }
    return "?";
}

const char* format_names() {
    return "mfd, bin, eml, proxmark3, nfc, mct or json";
}

std::optional<ImageFormat> parse_format(std::string_view name) {
    for (auto f : {ImageFormat::Mfd, ImageFormat::Bin, ImageFormat::Eml, ImageFormat::Proxmark3,
                   ImageFormat::Nfc, ImageFormat::Mct, ImageFormat::Json}) {
        if (name == format_name(f)) return f;
    }
    return std::nullopt;
}

std::optional<ImageFormat> format_of_path(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return std::nullopt;
    }
    std::string ext(path.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "dump") return ImageFormat::Mfd;
    if (ext == "proxmark3") return std::nullopt;  // not an extension anyone writes
    return parse_format(ext);
}

bool format_marks_unknown(ImageFormat format) {
    return format == ImageFormat::Json || format == ImageFormat::Nfc || format == ImageFormat::Mct;
}

Block image_block(const Image& image, int block) {
    Block b;
    std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(block) * 16, 16, b.begin());
    return b;
}

void set_image_block(Image& image, int block, const Block& data) {
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(block) * 16);
}

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

std::optional<ImageFile> read_image(std::string_view bytes, std::optional<ImageFormat> hint,
                                    std::string& error) {
    try {
        ImageFile out;
        const std::string_view text = without_bom(bytes);
        const std::string_view start = trim(text.substr(0, 64));
        const bool raw_hint = hint == ImageFormat::Mfd || hint == ImageFormat::Bin;
        if (bytes.size() == mifare::kImageSize && (raw_hint || !looks_like_eml(text))) {
            Image image{};
            std::copy(bytes.begin(), bytes.end(), image.begin());
            out.card = interpret_raw_image(image);
            out.format = hint == ImageFormat::Bin ? ImageFormat::Bin : ImageFormat::Mfd;
            return out;
        }
        if (bytes.size() > kMaxText) {
            error = "is " + std::to_string(bytes.size()) + " bytes; no card image is that large";
            return std::nullopt;
        }
        if (!start.empty() && (start.front() == '{' || start.front() == '[')) {
            json doc;
            try {
                doc = json::parse(text);
            } catch (const json::exception& e) {
                error = std::string("is not JSON (") + e.what() + ")";
                return std::nullopt;
            }
            if (doc.is_object() && doc.contains("FileType") && doc["FileType"].is_string()) {
                try {
                    out.card = read_proxmark3(doc);
                } catch (const FieldError& e) {
                    error = "is not a Proxmark3 Mifare Classic dump: " + e.field + ": " + e.what;
                    return std::nullopt;
                }
                out.format = ImageFormat::Proxmark3;
                return out;
            }
            auto card = parse_tool_json(doc, error);
            if (!card) return std::nullopt;
            out.card = *card;
            out.format = ImageFormat::Json;
            return out;
        }
        if (start.substr(0, 9) == "Filetype:") {
            out.card = read_nfc(text);
            out.format = ImageFormat::Nfc;
            return out;
        }
        if (start.substr(0, 8) == "+Sector:") {
            out.card = read_mct(text);
            out.format = ImageFormat::Mct;
            return out;
        }
        if (looks_like_eml(text)) {
            out.card = read_eml(text);
            out.format = ImageFormat::Eml;
            return out;
        }
        if (bytes.size() == 4096) refuse_size("4K");
        if (bytes.size() == 2048) refuse_size("2K");
        if (bytes.size() == 320) refuse_size("Mini");
        if (raw_hint) {
            error = "is " + std::to_string(bytes.size()) +
                    " bytes; a 1K card image (.mfd, .bin) is exactly 1024";
            return std::nullopt;
        }
        if (hint == ImageFormat::Json || hint == ImageFormat::Proxmark3) {
            try {
                const json doc = json::parse(text);
                (void)doc;
                error = "is JSON but not a card dump";
            } catch (const json::exception& e) {
                error = std::string("is not JSON (") + e.what() + ")";
            }
            return std::nullopt;
        }
        error = "is " + std::to_string(bytes.size()) +
                " bytes and not a card image in any format tqrf knows: a raw image (.mfd, "
                ".bin) is exactly 1024 bytes; .eml, .nfc, .mct and JSON images are text";
        return std::nullopt;
    } catch (const LineError& e) {
        error = e.text;
        return std::nullopt;
    } catch (const json::exception& e) {
        error = std::string("is not a card image: ") + e.what();
        return std::nullopt;
    } catch (const std::exception& e) {
        error = std::string("is not a card image: ") + e.what();
        return std::nullopt;
    }
}

std::string write_image(const CardImage& image, ImageFormat format) {
    switch (format) {
        case ImageFormat::Mfd:
        case ImageFormat::Bin: {
            const Image raw = raw_bytes(image);
            return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
        }
        case ImageFormat::Eml:
            return write_eml(raw_bytes(image));
        case ImageFormat::Proxmark3:
            return write_proxmark3(image, raw_bytes(image));
        case ImageFormat::Nfc:
            return write_nfc(image);
        case ImageFormat::Mct:
            return write_mct(image);
        case ImageFormat::Json:
            return tool_json_text(image);
    }
    return {};
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

std::uint8_t mad_crc(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t crc = 0xC7;  // x^8 + x^4 + x^3 + x^2 + 1, preset C7
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x1D : crc << 1);
        }
    }
    return crc;
}

std::optional<Mad> find_mad(const CardImage& img) {
    if (!img.read[1] || !img.read[2] || !img.read[3]) return std::nullopt;
    const Block trailer = image_block(img.image, 3);
    const std::uint8_t gpb = trailer[9];
    if ((gpb & 0x80) == 0 || (gpb & 0x03) == 0) return std::nullopt;
    Mad m;
    m.version = gpb & 0x03;
    std::array<std::uint8_t, 32> bytes{};
    const Block b1 = image_block(img.image, 1), b2 = image_block(img.image, 2);
    std::copy(b1.begin(), b1.end(), bytes.begin());
    std::copy(b2.begin(), b2.end(), bytes.begin() + 16);
    m.crc = bytes[0];
    m.info = bytes[1];
    m.crc_computed = mad_crc(bytes.data() + 1, 31);
    m.crc_ok = m.crc == m.crc_computed;
    for (std::size_t i = 0; i < 15; ++i) {
        m.aid[i] = static_cast<std::uint16_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
    }
    return m;
}

const char* mad_aid_name(std::uint16_t aid) {
    switch (aid) {
        case 0x0000:
            return "free";
        case 0x0001:
            return "defect";
        case 0x0002:
            return "reserved";
        case 0x0003:
            return "additional directory info";
        case 0x0004:
            return "card holder info";
        case 0x0005:
            return "not applicable";
        case 0xE103:
            return "NFC Forum NDEF";
        default:
            return "";
    }
}

}  // namespace tqrf::tool
