// Access conditions by name: a sector's conditions from WHICH:RIGHTS items, what should never
// be written, and the conditions in words.
#include <array>

#include "tq_RWD_DLL_image.hpp"

namespace tqrf::image {

std::optional<mifare::AccessConditions> parse_access_items(const std::vector<std::string>& items,
                                                           std::string& item, std::string& error) {
    std::array<std::optional<mifare::Condition>, 4> got{};
    auto fail = [&](const std::string& at, std::string why) {
        item = at;
        error = std::move(why);
        return std::nullopt;
    };
    for (const auto& it : items) {
        const std::size_t colon = it.find(':');
        if (colon == std::string::npos) {
            return fail(it,
                        "WHICH:RIGHTS expected, WHICH being data, 0, 1, 2 or trailer (for "
                        "example data:read=AB,write=B)");
        }
        const std::string which = it.substr(0, colon);
        std::vector<int> blocks;
        if (which == "data") blocks = {0, 1, 2};
        if (which == "0" || which == "1" || which == "2" || which == "3") blocks = {which[0] - '0'};
        if (which == "trailer") blocks = {3};
        if (blocks.empty()) return fail(it, "\"" + which + "\" is not data, 0, 1, 2, 3 or trailer");
        std::string why;
        const auto c = mifare::parse_access_rights(it.substr(colon + 1), blocks[0] == 3, why);
        if (!c) return fail(it, why);
        for (int b : blocks) {
            if (got[static_cast<std::size_t>(b)]) {
                return fail(it, "block " + std::to_string(b) + " of the sector is given twice");
            }
            got[static_cast<std::size_t>(b)] = *c;
        }
    }
    mifare::AccessConditions out;
    for (std::size_t b = 0; b < 4; ++b) {
        if (!got[b]) {
            return fail("", b == 3 ? std::string("no condition for the trailer (trailer:RIGHTS)")
                                   : "no condition for data block " + std::to_string(b) +
                                         " of the sector (data:RIGHTS gives all three)");
        }
        out.block[b] = *got[b];
    }
    item.clear();
    error.clear();
    return out;
}

std::optional<AccessProblem> access_problem(const mifare::AccessConditions& ac, bool permanent_ok) {
    if (mifare::key_b_readable(ac.block[3])) {
        for (int b = 0; b < 3; ++b) {
            const auto a = ac.data(b);
            for (mifare::Keys who : {a.read, a.write, a.increment, a.decrement}) {
                if (who == mifare::Keys::B) {
                    return AccessProblem{
                        false,
                        "data block " + std::to_string(b) + " gives rights to key B only (" +
                            mifare::rights_text(ac.block[static_cast<std::size_t>(b)], false) +
                            "), but the trailer condition " + mifare::condition_bits(ac.block[3]) +
                            " makes key B readable, and a readable key B opens nothing: those "
                            "rights would be nobody's"};
                }
            }
        }
    }
    if (!permanent_ok && mifare::access_bits_frozen(ac.block[3])) {
        return AccessProblem{true, "the trailer condition " + mifare::condition_bits(ac.block[3]) +
                                       " lets no key write the access bits again: these "
                                       "conditions would be permanent"};
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

}  // namespace tqrf::image
