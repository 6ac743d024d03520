// Proxmark3 JSON dumps ("FileType": "mfc v2", or the older "mfcard").
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "codec.h"

namespace tqrf::image::detail {

using nlohmann::json;

namespace {

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

// The rights some key has, each followed by `by` and the keys that have it, "; " between them;
// "never" when no key has any.
std::string rights_text(std::initializer_list<std::pair<const char*, mifare::Keys>> rights,
                        const char* by) {
    std::string out;
    for (const auto& [what, who] : rights) {
        if (who == mifare::Keys::Never) continue;
        out += (out.empty() ? "" : "; ") + std::string(what) + by + mifare::to_string(who);
    }
    return out.empty() ? "never" : out;
}

std::string data_text(mifare::Condition c) {
    const auto a = mifare::data_access(c);
    return rights_text({{"read", a.read},
                        {"write", a.write},
                        {"increment", a.increment},
                        {"decrement transfer restore", a.decrement}},
                       " ");
}

std::string trailer_text(mifare::Condition c) {
    const auto a = mifare::trailer_access(c);
    return rights_text({{"write A", a.key_a_write},
                        {"read ACCESS", a.access_read},
                        {"write ACCESS", a.access_write},
                        {"read B", a.key_b_read},
                        {"write B", a.key_b_write}},
                       " by ");
}

}  // namespace

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
            // Kept as it is: the number of blocks says the card's size. A SAK of 18 over 64
            // blocks is the first kilobyte of a 4K card, as this library's own dumps of one
            // are written here.
            out.sak = static_cast<std::uint8_t>(hex_digit(s[0]) * 16 + hex_digit(s[1]));
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

}  // namespace tqrf::image::detail
