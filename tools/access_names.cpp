#include "access_names.h"

#include <array>

#include "errors.h"

namespace tqrf::tool {

mifare::AccessConditions parse_access_items(const std::vector<std::string>& items) {
    std::array<std::optional<mifare::Condition>, 4> got{};
    for (const auto& item : items) {
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos) {
            throw usage_error("--access " + item +
                              ": WHICH:RIGHTS expected, WHICH being data, 0, 1, 2 or trailer "
                              "(for example data:read=AB,write=B)");
        }
        const std::string which = item.substr(0, colon);
        std::vector<int> blocks;
        if (which == "data") blocks = {0, 1, 2};
        if (which == "0" || which == "1" || which == "2" || which == "3") blocks = {which[0] - '0'};
        if (which == "trailer") blocks = {3};
        if (blocks.empty()) {
            throw usage_error("--access " + item + ": \"" + which +
                              "\" is not data, 0, 1, 2, 3 or trailer");
        }
        std::string error;
        const auto c = mifare::parse_access_rights(item.substr(colon + 1), blocks[0] == 3, error);
        if (!c) throw usage_error("--access " + item + ": " + error);
        for (int b : blocks) {
            if (got[static_cast<std::size_t>(b)]) {
                throw usage_error("--access " + item + ": block " + std::to_string(b) +
                                  " of the sector is given twice");
            }
            got[static_cast<std::size_t>(b)] = *c;
        }
    }
    mifare::AccessConditions out;
    for (std::size_t b = 0; b < 4; ++b) {
        if (!got[b]) {
            throw usage_error(b == 3 ? std::string("--access gives no condition for the trailer "
                                                   "(trailer:RIGHTS)")
                                     : "--access gives no condition for data block " +
                                           std::to_string(b) +
                                           " of the sector (data:RIGHTS gives all three)");
        }
        out.block[b] = *got[b];
    }
    return out;
}

std::optional<std::string> access_problem(const mifare::AccessConditions& ac, bool force) {
    if (mifare::key_b_readable(ac.block[3])) {
        for (int b = 0; b < 3; ++b) {
            const auto a = ac.data(b);
            for (mifare::Keys who : {a.read, a.write, a.increment, a.decrement}) {
                if (who == mifare::Keys::B) {
                    return "data block " + std::to_string(b) + " gives rights to key B only (" +
                           mifare::rights_text(ac.block[static_cast<std::size_t>(b)], false) +
                           "), but the trailer condition " + mifare::condition_bits(ac.block[3]) +
                           " makes key B readable, and a readable key B opens nothing: those "
                           "rights would be nobody's";
                }
            }
        }
    }
    if (!force && mifare::access_bits_frozen(ac.block[3])) {
        return "the trailer condition " + mifare::condition_bits(ac.block[3]) +
               " lets no key write the access bits again: these conditions would be permanent "
               "(--force accepts that)";
    }
    return std::nullopt;
}

std::vector<std::string> describe_access(const mifare::AccessConditions& ac) {
    std::vector<std::string> out;
    for (int b = 0; b < 4; ++b) {
        const auto c = ac.block[static_cast<std::size_t>(b)];
        out.push_back((b == 3 ? std::string("trailer  ") : "block " + std::to_string(b) + "  ") +
                      mifare::condition_bits(c) + "  " + mifare::rights_text(c, b == 3));
    }
    if (mifare::key_b_readable(ac.block[3])) {
        out.push_back(
            "note: key B is readable under this trailer condition: it is data, and "
            "opens nothing");
    }
    if (mifare::access_bits_frozen(ac.block[3])) {
        out.push_back("note: no key can write these access bits again: they are permanent");
    }
    return out;
}

}  // namespace tqrf::tool
