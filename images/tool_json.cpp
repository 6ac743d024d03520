// The tqrf tool's own JSON dump (.json): each block read or not read, each key known or not,
// with the access rights and values spelled out. It is also what `tqrf --json dump` prints.
#include "tool_json.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "codec.h"

namespace tqrf::image {

using nlohmann::json;

namespace {

// Marks the JSON dump format and its version.
constexpr int kDumpVersion = 1;

std::string hex_byte(unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

json rights_json(int block_in_sector, mifare::Condition cond) {
    if (block_in_sector == 3) {
        const auto a = mifare::trailer_access(cond);
        return {{"key_a_read", mifare::to_string(a.key_a_read)},
                {"key_a_write", mifare::to_string(a.key_a_write)},
                {"access_bits_read", mifare::to_string(a.access_read)},
                {"access_bits_write", mifare::to_string(a.access_write)},
                {"key_b_read", mifare::to_string(a.key_b_read)},
                {"key_b_write", mifare::to_string(a.key_b_write)}};
    }
    const auto a = mifare::data_access(cond);
    return {{"read", mifare::to_string(a.read)},
            {"write", mifare::to_string(a.write)},
            {"increment", mifare::to_string(a.increment)},
            {"decrement_transfer_restore", mifare::to_string(a.decrement)}};
}

// A parse failure at a place in the document.
struct SchemaError {
    std::string where;
    std::string what;
};

std::string join(const std::string& where, const char* name) {
    return where.empty() ? std::string(name) : where + "." + name;
}

template <class T>
std::optional<T> hex_field(const json& parent, const char* name, const std::string& where) {
    if (!parent.contains(name)) throw SchemaError{join(where, name), "missing"};
    const json& v = parent.at(name);
    if (v.is_null()) return std::nullopt;
    if (!v.is_string()) {
        throw SchemaError{join(where, name),
                          std::to_string(2 * T::size()) + " hex digits or null expected"};
    }
    auto parsed = T::from_hex(v.get<std::string>());
    if (!parsed) {
        throw SchemaError{join(where, name),
                          std::to_string(2 * T::size()) + " hex digits or null expected"};
    }
    return parsed;
}

CardImage image_from_json(const json& doc) {
    if (!doc.is_object()) throw SchemaError{"the document", "a JSON object expected"};
    CardImage out;
    if (doc.contains("uid")) {
        if (auto uid = hex_field<Uid>(doc, "uid", "")) out.uid = *uid;
    }
    // What select and request answered, as the dump wrote them: both optional, so that a
    // document written by hand needs neither.
    if (doc.contains("card_type")) {
        if (auto type = hex_field<CardType>(doc, "card_type", "")) out.atqa = *type;
    }
    if (doc.contains("size_byte") && !doc["size_byte"].is_null()) {
        const json& v = doc["size_byte"];
        const std::string text = v.is_string() ? v.get<std::string>() : std::string();
        if (text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
            !std::isxdigit(static_cast<unsigned char>(text[1]))) {
            throw SchemaError{"size_byte", "2 hex digits or null expected"};
        }
        out.sak = static_cast<SizeByte>(std::stoul(text, nullptr, 16));
    }
    if (!doc.contains("sectors") || !doc["sectors"].is_array()) {
        throw SchemaError{"sectors", "an array of 16 sectors expected"};
    }
    const json& sectors = doc["sectors"];
    if (sectors.size() != mifare::kSectors) {
        throw SchemaError{"sectors",
                          "16 sectors expected, " + std::to_string(sectors.size()) + " found"};
    }
    for (int s = 0; s < mifare::kSectors; ++s) {
        const auto si = static_cast<std::size_t>(s);
        const std::string where = "sectors[" + std::to_string(s) + "]";
        const json& js = sectors[si];
        if (!js.is_object()) throw SchemaError{where, "an object expected"};
        if (js.contains("sector") && js["sector"] != s) {
            throw SchemaError{where + ".sector", std::to_string(s) + " expected"};
        }
        const auto key_a = hex_field<Key>(js, "key_a", where);
        const auto key_b = hex_field<Key>(js, "key_b", where);
        if (!js.contains("blocks") || !js["blocks"].is_array() || js["blocks"].size() != 4) {
            throw SchemaError{where + ".blocks", "an array of 4 blocks expected"};
        }
        for (int i = 0; i < 4; ++i) {
            const int b = mifare::first_block(s) + i;
            const std::string bw = where + ".blocks[" + std::to_string(i) + "]";
            const json& jb = js["blocks"][static_cast<std::size_t>(i)];
            if (!jb.is_object()) throw SchemaError{bw, "an object expected"};
            if (jb.contains("block") && jb["block"] != b) {
                throw SchemaError{bw + ".block", std::to_string(b) + " expected"};
            }
            const auto data = hex_field<Block>(jb, "data", bw);
            if (jb.contains("read")) {
                if (!jb["read"].is_boolean()) throw SchemaError{bw + ".read", "true or false"};
                if (jb["read"].get<bool>() != data.has_value()) {
                    throw SchemaError{bw + ".read", "must be true exactly when data is given"};
                }
            }
            if (data) {
                set_image_block(out.image, b, *data);
                out.read[static_cast<std::size_t>(b)] = true;
            }
        }
        const int t = mifare::trailer_of(s);
        Block trailer = image_block(out.image, t);
        std::optional<mifare::AccessConditions> ac;
        if (out.read[static_cast<std::size_t>(t)]) {
            ac = mifare::AccessConditions::from_trailer(trailer);
            if (!ac) {
                // No card hands out a sector whose access bits are invalid: nothing of it
                // counts as read.
                for (int i = 0; i < 4; ++i) {
                    out.read[static_cast<std::size_t>(mifare::first_block(s) + i)] = false;
                }
            }
        }
        if (key_a) std::copy(key_a->begin(), key_a->end(), trailer.begin());
        if (key_b) std::copy(key_b->begin(), key_b->end(), trailer.begin() + 10);
        set_image_block(out.image, t, trailer);
        out.key_known[si][0] = key_a.has_value();
        out.key_known[si][1] = key_b.has_value() || (ac && mifare::key_b_readable(ac->block[3]));
    }
    if (!out.uid && out.read[0]) {
        Uid uid;
        std::copy(out.image.begin(), out.image.begin() + 4, uid.begin());
        out.uid = uid;
    }
    return out;
}

}  // namespace

json dump_document(const CardDump& d) {
    json sectors = json::array();
    json missing = json::array();
    for (const auto& s : d.sectors) {
        if (!s.complete()) missing.push_back(s.sector);
        json js = {{"sector", s.sector},
                   {"key_a", s.key_a ? json(s.key_a->hex()) : json(nullptr)},
                   {"key_b", s.key_b ? json(s.key_b->hex()) : json(nullptr)},
                   {"opened", s.opened()}};
        std::optional<mifare::AccessConditions> ac;
        if (s.blocks[3]) {
            ac = mifare::AccessConditions::from_trailer(*s.blocks[3]);
            js["access_bytes"] = s.blocks[3]->hex().substr(12, 6);
            js["user_byte"] = s.blocks[3]->hex().substr(18, 2);
            js["access_valid"] = ac.has_value();
        }
        json blocks = json::array();
        for (int i = 0; i < 4; ++i) {
            const auto& b = s.blocks[static_cast<std::size_t>(i)];
            json jb = {{"block", mifare::first_block(s.sector) + i}, {"read", b.has_value()}};
            jb["data"] = b ? json(b->hex()) : json(nullptr);
            if (!b) jb["error"] = s.errors[static_cast<std::size_t>(i)];
            if (ac) {
                const auto cond = ac->block[static_cast<std::size_t>(i)];
                jb["access"] = mifare::condition_bits(cond);
                jb["rights"] = rights_json(i, cond);
            }
            if (b && i < 3 && !(s.sector == 0 && i == 0)) {
                if (auto v = mifare::ValueBlock::decode(*b)) {
                    jb["value"] = v->value;
                    jb["value_address"] = v->address;
                }
            }
            blocks.push_back(jb);
        }
        js["blocks"] = blocks;
        sectors.push_back(js);
    }
    return {{"tqrf_dump", kDumpVersion},   {"card_type", d.card.type.hex()},
            {"uid", d.card.uid.hex()},     {"size_byte", hex_byte(d.card.size)},
            {"complete", missing.empty()}, {"missing_sectors", missing},
            {"sectors", sectors}};
}

CardImage card_image_of(const CardDump& d) {
    CardImage out;
    out.uid = d.card.uid;
    out.atqa = d.card.type;
    out.sak = d.card.size;
    for (const auto& s : d.sectors) {
        const auto si = static_cast<std::size_t>(s.sector);
        for (int i = 0; i < 4; ++i) {
            const int b = mifare::first_block(s.sector) + i;
            const auto& data = s.blocks[static_cast<std::size_t>(i)];
            if (!data) continue;
            set_image_block(out.image, b, *data);
            out.read[static_cast<std::size_t>(b)] = true;
        }
        const int t = mifare::trailer_of(s.sector);
        Block trailer = image_block(out.image, t);
        if (s.key_a) std::copy(s.key_a->begin(), s.key_a->end(), trailer.begin());
        if (s.key_b) std::copy(s.key_b->begin(), s.key_b->end(), trailer.begin() + 10);
        set_image_block(out.image, t, trailer);
        const auto ac =
            s.blocks[3] ? mifare::AccessConditions::from_trailer(*s.blocks[3]) : std::nullopt;
        out.key_known[si][0] = s.key_a.has_value();
        out.key_known[si][1] = s.key_b.has_value() || (ac && mifare::key_b_readable(ac->block[3]));
    }
    return out;
}

CardDump card_dump_of(const CardImage& img) {
    CardDump d;
    d.card.uid = img.uid ? *img.uid : Uid{};
    d.card.type = img.atqa ? *img.atqa : CardType{{0x04, 0x00}};
    d.card.size = img.sak ? *img.sak : 0x08;
    for (int s = 0; s < mifare::kSectors; ++s) {
        const auto si = static_cast<std::size_t>(s);
        SectorDump& sd = d.sectors[si];
        sd.sector = s;
        const int t = mifare::trailer_of(s);
        const Block trailer = image_block(img.image, t);
        Key a, b;
        std::copy_n(trailer.begin(), 6, a.begin());
        std::copy_n(trailer.begin() + 10, 6, b.begin());
        const bool t_read = img.read[static_cast<std::size_t>(t)];
        const auto ac = t_read ? mifare::AccessConditions::from_trailer(trailer) : std::nullopt;
        const bool b_readable = ac && mifare::key_b_readable(ac->block[3]);
        if (img.key_known[si][0]) sd.key_a = a;
        // A readable key B is data, not a key: the dump of such a card names no key B.
        if (img.key_known[si][1] && !b_readable) sd.key_b = b;
        for (int i = 0; i < 4; ++i) {
            const int blk = mifare::first_block(s) + i;
            if (!img.read[static_cast<std::size_t>(blk)]) {
                sd.errors[static_cast<std::size_t>(i)] = "not in the image";
                continue;
            }
            Block data = image_block(img.image, blk);
            if (i == 3) {
                // As a card gives its trailer: key A reads as zeros, and so does a key B that
                // cannot be read.
                std::fill_n(data.begin(), 6, std::uint8_t{0});
                if (!b_readable) std::fill_n(data.begin() + 10, 6, std::uint8_t{0});
            }
            sd.blocks[static_cast<std::size_t>(i)] = data;
        }
    }
    return d;
}

namespace detail {

std::string tool_json_text(const CardImage& image) {
    return dump_document(card_dump_of(image)).dump(2) + "\n";
}

std::optional<CardImage> parse_tool_json(const json& doc, std::string& error) {
    try {
        return image_from_json(doc);
    } catch (const SchemaError& e) {
        error = "is not a tqrf card dump: " + (e.where.empty() ? "" : e.where + ": ") + e.what;
        return std::nullopt;
    } catch (const json::exception& e) {
        error = std::string("is not a tqrf card dump: ") + e.what();
        return std::nullopt;
    }
}

}  // namespace detail

}  // namespace tqrf::image
