// access decode / access encode: a trailer's access bytes and the named conditions, without a
// reader.
#include <iostream>
#include <nlohmann/json.hpp>

#include "access_names.h"
#include "commands.h"

namespace tqrf::tool {

namespace {

nlohmann::json access_json(const mifare::AccessConditions& ac) {
    nlohmann::json blocks = nlohmann::json::array();
    for (int b = 0; b < 4; ++b) {
        const auto c = ac.block[static_cast<std::size_t>(b)];
        blocks.push_back({{"block", b == 3 ? nlohmann::json("trailer") : nlohmann::json(b)},
                          {"bits", mifare::condition_bits(c)},
                          {"rights", mifare::rights_text(c, b == 3)}});
    }
    return {{"blocks", blocks},
            {"key_b_readable", mifare::key_b_readable(ac.block[3])},
            {"permanent", mifare::access_bits_frozen(ac.block[3])}};
}

std::string hex_bytes(const std::uint8_t* p, std::size_t n) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0x0F];
    }
    return out;
}

}  // namespace

void run_access_decode(const Globals& g, const AccessDecodeArgs& a) {
    std::string hex;
    for (char c : a.hex) {
        if (c != ' ' && c != ':') hex += c;
    }
    std::optional<Block> trailer;
    std::array<std::uint8_t, 4> bytes{0, 0, 0, 0};
    bool user_byte = false;
    if (hex.size() == 32) {
        trailer = Block::from_hex(hex);
        if (trailer) {
            std::copy_n(trailer->begin() + 6, 4, bytes.begin());
            user_byte = true;
        }
    } else if (hex.size() == 6 || hex.size() == 8) {
        const auto parsed = Bytes<4, BlockTag>::from_hex(hex.size() == 6 ? hex + "00" : hex);
        if (parsed) {
            std::copy(parsed->begin(), parsed->end(), bytes.begin());
            user_byte = hex.size() == 8;
            trailer = Block{};
        }
    }
    if (!trailer) {
        throw usage_error(
            "access decode takes the access bytes (6 hex digits, or 8 with the "
            "user byte) or a whole trailer (32 hex digits), not \"" +
            a.hex + "\"");
    }
    const auto ac = mifare::AccessConditions::decode(bytes[0], bytes[1], bytes[2]);
    if (!ac) {
        throw CommandError("invalid_access_bits",
                           "the access bytes " + hex_bytes(bytes.data(), 3) +
                               " are invalid: their inverted copies do not match, and a card "
                               "given them blocks the sector for good",
                           kExitUsage);
    }
    if (g.json) {
        nlohmann::json j = access_json(*ac);
        j["access_bytes"] = hex_bytes(bytes.data(), 3);
        j["user_byte"] =
            user_byte ? nlohmann::json(hex_bytes(bytes.data() + 3, 1)) : nlohmann::json(nullptr);
        std::cout << j.dump(2) << '\n';
        return;
    }
    std::cout << "Access bytes " << hex_bytes(bytes.data(), 3);
    if (user_byte) std::cout << "  user byte " << hex_bytes(bytes.data() + 3, 1);
    std::cout << '\n';
    for (const auto& line : describe_access(*ac)) std::cout << line << '\n';
}

void run_access_encode(const Globals& g, const AccessEncodeArgs& a) {
    const mifare::AccessConditions ac = parse_access_items(a.items);
    if (const auto problem = access_problem(ac, a.force)) {
        throw CommandError("access_refused", "refusing these access conditions: " + *problem,
                           kExitUsage);
    }
    const auto user = Bytes<1, BlockTag>::from_hex(a.user_byte);
    if (!user) throw usage_error("--user-byte takes 2 hex digits, not \"" + a.user_byte + "\"");
    const auto bits = ac.encode();
    std::optional<Block> trailer;
    if (!a.key_a.empty() || !a.key_b.empty()) {
        const auto ka = Key::from_hex(a.key_a), kb = Key::from_hex(a.key_b);
        if (!ka || !kb) {
            throw usage_error("--key-a and --key-b both take 12 hex digits to build a trailer");
        }
        trailer = mifare::make_trailer(*ka, ac, *kb, (*user)[0]);
    }
    const std::string bytes = hex_bytes(bits.data(), 3);
    if (g.json) {
        nlohmann::json j = access_json(ac);
        j["access_bytes"] = bytes;
        j["user_byte"] = hex_bytes(user->data(), 1);
        j["trailer"] = trailer ? nlohmann::json(trailer->hex()) : nlohmann::json(nullptr);
        std::cout << j.dump(2) << '\n';
        return;
    }
    std::cout << "Access bytes " << bytes << "  user byte " << hex_bytes(user->data(), 1) << '\n';
    if (trailer) std::cout << "Trailer " << trailer->hex() << '\n';
    for (const auto& line : describe_access(ac)) std::cout << line << '\n';
}

}  // namespace tqrf::tool
