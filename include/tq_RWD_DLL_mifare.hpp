// tq_RWD_DLL_mifare.hpp - card data types and pure Mifare Classic 1K helpers (header-only,
// C++17 or later). Nothing here talks to a reader: these are the typed values that the C++ API
// of tq_RWD_DLL.hpp passes around, hex text conversion for them, the sector-trailer access bits
// and the value block layout.
//
//   tqrf::Key, tqrf::Block, tqrf::Uid, tqrf::CardType, tqrf::SizeByte
//       fixed-size byte values; distinct types, so a key cannot be passed where a block is meant.
//   tqrf::mifare::AccessConditions
//       the 3-bit access condition (C1 C2 C3) of each block of a sector; encode()/decode() of
//       the trailer's access bytes 6 to 8 with their inverted copies; what key A and key B may
//       do to each block.
//   tqrf::mifare::parse_access_rights(), data_condition(), trailer_condition()
//       access conditions by name: "read=AB,write=B" to the condition bits and back.
//   tqrf::mifare::ValueBlock, checked_increment(), checked_decrement()
//       encode, decode and validate the 16-byte value block layout; purse arithmetic that
//       refuses to go below zero or past 2147483647 unless asked to.
#ifndef TQ_RWD_DLL_MIFARE_HPP
#define TQ_RWD_DLL_MIFARE_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tqrf {

// ---- Fixed-size byte values ------------------------------------------------------------------

// N bytes with a tag that keeps different kinds of value apart. Byte 0 is the first byte on the
// wire and the first character pair of the hex text.
template <std::size_t N, class Tag>
struct Bytes {
    static constexpr std::size_t size_bytes = N;
    std::array<std::uint8_t, N> bytes{};

    constexpr std::uint8_t* data() noexcept { return bytes.data(); }
    constexpr const std::uint8_t* data() const noexcept { return bytes.data(); }
    static constexpr std::size_t size() noexcept { return N; }
    constexpr std::uint8_t& operator[](std::size_t i) noexcept { return bytes[i]; }
    constexpr const std::uint8_t& operator[](std::size_t i) const noexcept { return bytes[i]; }
    constexpr auto begin() noexcept { return bytes.begin(); }
    constexpr auto end() noexcept { return bytes.end(); }
    constexpr auto begin() const noexcept { return bytes.begin(); }
    constexpr auto end() const noexcept { return bytes.end(); }

    friend constexpr bool operator==(const Bytes& a, const Bytes& b) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            if (a.bytes[i] != b.bytes[i]) return false;
        }
        return true;
    }
    friend constexpr bool operator!=(const Bytes& a, const Bytes& b) noexcept { return !(a == b); }

    // Upper-case hex, two characters per byte, no separators.
    std::string hex() const {
        static constexpr char digits[] = "0123456789ABCDEF";
        std::string out(2 * N, '0');
        for (std::size_t i = 0; i < N; ++i) {
            out[2 * i] = digits[bytes[i] >> 4];
            out[2 * i + 1] = digits[bytes[i] & 0x0F];
        }
        return out;
    }

    // Parses exactly N bytes of hex text, either case. Spaces, ':' and '-' between bytes are
    // skipped; anything else, an odd digit count or a wrong length gives nullopt.
    static std::optional<Bytes> from_hex(std::string_view text) {
        Bytes out;
        std::size_t count = 0;
        int high = -1;
        for (char c : text) {
            int v;
            if (c >= '0' && c <= '9') {
                v = c - '0';
            } else if (c >= 'A' && c <= 'F') {
                v = c - 'A' + 10;
            } else if (c >= 'a' && c <= 'f') {
                v = c - 'a' + 10;
            } else if ((c == ' ' || c == ':' || c == '-') && high < 0) {
                continue;
            } else {
                return std::nullopt;
            }
            if (high < 0) {
                high = v;
                continue;
            }
            if (count == N) return std::nullopt;
            out.bytes[count++] = static_cast<std::uint8_t>(high * 16 + v);
            high = -1;
        }
        if (high >= 0 || count != N) return std::nullopt;
        return out;
    }
};

struct KeyTag {};
struct BlockTag {};
struct UidTag {};
struct CardTypeTag {};

using Key = Bytes<6, KeyTag>;            // a sector key, key A or key B
using Block = Bytes<16, BlockTag>;       // one card block
using Uid = Bytes<4, UidTag>;            // the serial number, in the order anticollision gives
using CardType = Bytes<2, CardTypeTag>;  // the answer to a request (ATQA), as it arrives
using SizeByte = std::uint8_t;           // the byte select returns (SAK)

// The factory key of a blank card.
inline constexpr Key kDefaultKey{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};

enum class KeyType : std::uint8_t { A = 0, B = 1 };

namespace mifare {

// ---- Card geometry (Mifare Classic 1K) -------------------------------------------------------

inline constexpr int kBlocks = 64;
inline constexpr int kSectors = 16;
inline constexpr int kBlocksPerSector = 4;
inline constexpr std::size_t kImageSize = 1024;

constexpr int sector_of(int block) noexcept {
    return block / kBlocksPerSector;
}
constexpr int first_block(int sector) noexcept {
    return sector * kBlocksPerSector;
}
constexpr int trailer_of(int sector) noexcept {
    return sector * kBlocksPerSector + 3;
}
constexpr bool is_trailer(int block) noexcept {
    return block % kBlocksPerSector == 3;
}

// ---- Access conditions -----------------------------------------------------------------------

// Who may do something: no key, key A, key B, or either.
enum class Keys : std::uint8_t { Never = 0, A = 1, B = 2, AB = 3 };

constexpr bool allows(Keys who, KeyType key) noexcept {
    return (static_cast<std::uint8_t>(who) & (key == KeyType::A ? 1 : 2)) != 0;
}

constexpr const char* to_string(Keys who) noexcept {
    constexpr const char* names[] = {"-", "A", "B", "AB"};  // in the order of Keys' values
    const auto i = static_cast<std::uint8_t>(who);
    return i < 4 ? names[i] : "?";
}

// What each key may do to a data block (blocks 0 to 2 of a sector).
struct DataAccess {
    Keys read;
    Keys write;
    Keys increment;
    Keys decrement;  // decrement, transfer and restore
};

// What each key may do to the sector trailer (block 3).
struct TrailerAccess {
    Keys key_a_read;  // always Never: key A never reads back
    Keys key_a_write;
    Keys access_read;
    Keys access_write;
    Keys key_b_read;
    Keys key_b_write;
};

// Access condition of one block: C1 C2 C3 as the three bits C1 << 2 | C2 << 1 | C3 (0 to 7).
using Condition = std::uint8_t;

constexpr Condition condition(bool c1, bool c2, bool c3) noexcept {
    return static_cast<Condition>((c1 ? 4 : 0) | (c2 ? 2 : 0) | (c3 ? 1 : 0));
}

// The card's table for data blocks, indexed by condition (C1 C2 C3).
constexpr DataAccess data_access(Condition c) noexcept {
    using K = Keys;
    constexpr DataAccess table[8] = {
        {K::AB, K::AB, K::AB, K::AB},              // 000 transport configuration
        {K::AB, K::Never, K::Never, K::AB},        // 001 value block, decrement only
        {K::AB, K::Never, K::Never, K::Never},     // 010 read-only
        {K::B, K::B, K::Never, K::Never},          // 011 key B only
        {K::AB, K::B, K::Never, K::Never},         // 100 read AB, write B
        {K::B, K::Never, K::Never, K::Never},      // 101 read B only
        {K::AB, K::B, K::B, K::AB},                // 110 value block, recharge with B
        {K::Never, K::Never, K::Never, K::Never},  // 111 locked
    };
    return table[c & 7];
}

// The card's table for the sector trailer, indexed by condition (C1 C2 C3).
constexpr TrailerAccess trailer_access(Condition c) noexcept {
    using K = Keys;
    constexpr TrailerAccess table[8] = {
        {K::Never, K::A, K::A, K::Never, K::A, K::A},               // 000
        {K::Never, K::A, K::A, K::A, K::A, K::A},                   // 001 transport configuration
        {K::Never, K::Never, K::A, K::Never, K::A, K::Never},       // 010
        {K::Never, K::B, K::AB, K::B, K::Never, K::B},              // 011
        {K::Never, K::B, K::AB, K::Never, K::Never, K::B},          // 100
        {K::Never, K::Never, K::AB, K::B, K::Never, K::Never},      // 101
        {K::Never, K::Never, K::AB, K::Never, K::Never, K::Never},  // 110
        {K::Never, K::Never, K::AB, K::Never, K::Never, K::Never},  // 111
    };
    return table[c & 7];
}

// When key B can be read from the trailer (conditions 000, 001, 010) the card treats it as
// data: it cannot serve for authentication, and every "B" in the tables above is void.
constexpr bool key_b_readable(Condition trailer) noexcept {
    return trailer_access(trailer).key_b_read != Keys::Never;
}

// True when no key can ever write the access bits again: the sector's access conditions, as
// written with this trailer, become permanent.
constexpr bool access_bits_frozen(Condition trailer) noexcept {
    return trailer_access(trailer).access_write == Keys::Never;
}

// The access conditions of a sector's four blocks (index 3 is the trailer) and the encoding
// of them in trailer bytes 6, 7 and 8. Byte 9 of the trailer is free user data.
struct AccessConditions {
    std::array<Condition, 4> block{};

    // Factory default ("transport configuration"): data blocks 000, trailer 001,
    // bytes FF 07 80 (byte 9 is usually 0x69).
    static constexpr AccessConditions transport() noexcept { return {{0, 0, 0, 1}}; }

    // Bytes 6 to 8 of the trailer:
    //   byte 6: ~C2 of blocks 3..0 (bits 7..4), ~C1 of blocks 3..0 (bits 3..0)
    //   byte 7:  C1 of blocks 3..0 (bits 7..4), ~C3 of blocks 3..0 (bits 3..0)
    //   byte 8:  C3 of blocks 3..0 (bits 7..4),  C2 of blocks 3..0 (bits 3..0)
    constexpr std::array<std::uint8_t, 3> encode() const noexcept {
        unsigned c1 = 0, c2 = 0, c3 = 0;
        for (unsigned i = 0; i < 4; ++i) {
            c1 |= ((block[i] >> 2) & 1u) << i;
            c2 |= ((block[i] >> 1) & 1u) << i;
            c3 |= (block[i] & 1u) << i;
        }
        return {static_cast<std::uint8_t>(((~c2 & 0xFu) << 4) | (~c1 & 0xFu)),
                static_cast<std::uint8_t>((c1 << 4) | (~c3 & 0xFu)),
                static_cast<std::uint8_t>((c3 << 4) | c2)};
    }

    // Decodes trailer bytes 6 to 8. nullopt when an inverted copy does not match: a card
    // given such bytes blocks the whole sector for good.
    static constexpr std::optional<AccessConditions> decode(std::uint8_t b6, std::uint8_t b7,
                                                            std::uint8_t b8) noexcept {
        const unsigned c1 = b7 >> 4, c2 = b8 & 0xFu, c3 = b8 >> 4;
        const unsigned nc1 = b6 & 0xFu, nc2 = b6 >> 4, nc3 = b7 & 0xFu;
        if ((c1 ^ nc1) != 0xFu || (c2 ^ nc2) != 0xFu || (c3 ^ nc3) != 0xFu) return std::nullopt;
        AccessConditions out;
        for (unsigned i = 0; i < 4; ++i) {
            out.block[i] =
                condition(((c1 >> i) & 1u) != 0, ((c2 >> i) & 1u) != 0, ((c3 >> i) & 1u) != 0);
        }
        return out;
    }

    // Decodes the access bytes of a whole trailer block (bytes 6 to 8).
    static constexpr std::optional<AccessConditions> from_trailer(const Block& trailer) noexcept {
        return decode(trailer[6], trailer[7], trailer[8]);
    }

    constexpr DataAccess data(int index) const noexcept { return data_access(block[index & 3]); }
    constexpr TrailerAccess trailer() const noexcept { return trailer_access(block[3]); }

    friend constexpr bool operator==(const AccessConditions& a,
                                     const AccessConditions& b) noexcept {
        return a.block[0] == b.block[0] && a.block[1] == b.block[1] && a.block[2] == b.block[2] &&
               a.block[3] == b.block[3];
    }
    friend constexpr bool operator!=(const AccessConditions& a,
                                     const AccessConditions& b) noexcept {
        return !(a == b);
    }
};

// "C1C2C3" of a condition, for example "001".
inline std::string condition_bits(Condition c) {
    return std::string{static_cast<char>('0' + ((c >> 2) & 1)),
                       static_cast<char>('0' + ((c >> 1) & 1)), static_cast<char>('0' + (c & 1))};
}

// One line of words for a data block: "read AB, write B, inc -, dec/transfer/restore AB".
inline std::string describe(const DataAccess& a) {
    return std::string("read ") + to_string(a.read) + ", write " + to_string(a.write) + ", inc " +
           to_string(a.increment) + ", dec/transfer/restore " + to_string(a.decrement);
}

// One line of words for a trailer: "key A write A; access bits read A write A; key B read A
// write A".
inline std::string describe(const TrailerAccess& a) {
    return std::string("key A write ") + to_string(a.key_a_write) + "; access bits read " +
           to_string(a.access_read) + " write " + to_string(a.access_write) + "; key B read " +
           to_string(a.key_b_read) + " write " + to_string(a.key_b_write);
}

// Builds a complete trailer block: key A, access bytes, general-purpose byte 9, key B.
constexpr Block make_trailer(const Key& key_a, const AccessConditions& access, const Key& key_b,
                             std::uint8_t user_byte = 0x69) noexcept {
    Block out;
    const auto bits = access.encode();
    for (std::size_t i = 0; i < 6; ++i) {
        out[i] = key_a[i];
        out[10 + i] = key_b[i];
    }
    out[6] = bits[0];
    out[7] = bits[1];
    out[8] = bits[2];
    out[9] = user_byte;
    return out;
}

// ---- Access conditions by name --------------------------------------------------------------

// The data block condition (C1 C2 C3) that gives exactly these rights, or nullopt when the card
// has no such condition.
constexpr std::optional<Condition> data_condition(const DataAccess& wanted) noexcept {
    for (Condition c = 0; c < 8; ++c) {
        const DataAccess a = data_access(c);
        if (a.read == wanted.read && a.write == wanted.write && a.increment == wanted.increment &&
            a.decrement == wanted.decrement) {
            return c;
        }
    }
    return std::nullopt;
}

// The trailer condition that gives exactly these rights (key_a_read is always Never), or
// nullopt when the card has no such condition.
constexpr std::optional<Condition> trailer_condition(const TrailerAccess& wanted) noexcept {
    for (Condition c = 0; c < 8; ++c) {
        const TrailerAccess a = trailer_access(c);
        if (a.key_a_read == wanted.key_a_read && a.key_a_write == wanted.key_a_write &&
            a.access_read == wanted.access_read && a.access_write == wanted.access_write &&
            a.key_b_read == wanted.key_b_read && a.key_b_write == wanted.key_b_write) {
            return c;
        }
    }
    return std::nullopt;
}

// "A", "B", "AB", "-" (also "never", "none", "BA"), either case: who may.
constexpr std::optional<Keys> parse_keys(std::string_view text) noexcept {
    auto is = [&](std::string_view word) {
        if (text.size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i) {
            const char c =
                text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
            if (c != word[i]) return false;
        }
        return true;
    };
    if (is("-") || is("NEVER") || is("NONE")) return Keys::Never;
    if (is("A")) return Keys::A;
    if (is("B")) return Keys::B;
    if (is("AB") || is("BA")) return Keys::AB;
    return std::nullopt;
}

// The rights of a block as "name=WHO" words, the names being those parse_access_rights takes:
//   data blocks: "read=AB,write=B,inc=-,dec=-"
//   trailer:     "keya-write=A,bits-read=A,bits-write=A,keyb-read=A,keyb-write=A"
inline std::string rights_text(Condition c, bool trailer) {
    if (trailer) {
        const TrailerAccess a = trailer_access(c);
        return std::string("keya-write=") + to_string(a.key_a_write) +
               ",bits-read=" + to_string(a.access_read) +
               ",bits-write=" + to_string(a.access_write) +
               ",keyb-read=" + to_string(a.key_b_read) + ",keyb-write=" + to_string(a.key_b_write);
    }
    const DataAccess a = data_access(c);
    return std::string("read=") + to_string(a.read) + ",write=" + to_string(a.write) +
           ",inc=" + to_string(a.increment) + ",dec=" + to_string(a.decrement);
}

// Parses rights by name into the condition that gives them: "read=AB,write=B" (a right not
// named is nobody's; commas or spaces between words), or the condition bits C1C2C3 ("100").
// Names for data blocks: read, write, inc, dec (decrement, transfer and restore); for the
// trailer: keya-write, bits-read, bits-write, keyb-read, keyb-write. On failure gives nullopt
// and says why in `error` (an unknown name, a combination the card does not have).
inline std::optional<Condition> parse_access_rights(std::string_view text, bool trailer,
                                                    std::string& error) {
    if (text.size() == 3 && (text[0] == '0' || text[0] == '1') &&
        (text[1] == '0' || text[1] == '1') && (text[2] == '0' || text[2] == '1')) {
        return condition(text[0] == '1', text[1] == '1', text[2] == '1');
    }
    DataAccess d{Keys::Never, Keys::Never, Keys::Never, Keys::Never};
    TrailerAccess t{Keys::Never, Keys::Never, Keys::Never, Keys::Never, Keys::Never, Keys::Never};
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ',' || text[i] == ' ') {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && text[end] != ',' && text[end] != ' ') ++end;
        const std::string_view word = text.substr(i, end - i);
        i = end;
        const std::size_t eq = word.find('=');
        if (eq == std::string_view::npos) {
            error = "\"" + std::string(word) + "\": name=WHO expected (WHO: A, B, AB or -)";
            return std::nullopt;
        }
        const std::string_view name = word.substr(0, eq);
        const auto who = parse_keys(word.substr(eq + 1));
        if (!who) {
            error = "\"" + std::string(word) + "\": who may is A, B, AB or -";
            return std::nullopt;
        }
        Keys* slot = nullptr;
        if (!trailer) {
            if (name == "read") slot = &d.read;
            if (name == "write") slot = &d.write;
            if (name == "inc" || name == "increment") slot = &d.increment;
            if (name == "dec" || name == "decrement") slot = &d.decrement;
        } else {
            if (name == "keya-write") slot = &t.key_a_write;
            if (name == "bits-read") slot = &t.access_read;
            if (name == "bits-write") slot = &t.access_write;
            if (name == "keyb-read") slot = &t.key_b_read;
            if (name == "keyb-write") slot = &t.key_b_write;
        }
        if (slot == nullptr) {
            error = "\"" + std::string(name) + "\" is not a right of " +
                    (trailer ? "a trailer (keya-write, bits-read, bits-write, keyb-read, "
                               "keyb-write)"
                             : "a data block (read, write, inc, dec)");
            return std::nullopt;
        }
        *slot = *who;
    }
    const auto c = trailer ? trailer_condition(t) : data_condition(d);
    if (!c) {
        error = "no access condition of the card gives exactly " +
                std::string(trailer ? "these trailer rights" : "these data block rights") +
                "; the " + (trailer ? "trailer" : "data block") + " conditions are:";
        for (Condition k = 0; k < 8; ++k) {
            error += "\n  " + condition_bits(k) + "  " + rights_text(k, trailer);
        }
        return std::nullopt;
    }
    return c;
}

// ---- Value blocks ----------------------------------------------------------------------------

// Purse arithmetic as the card does it (32-bit, wrapping), checked first: the new value of
// `value` + `amount` or `value` - `amount`, or nullopt when it goes past 2147483647 (unless
// `allow_wrap`) or, for a decrement, below zero (unless `allow_negative`; past -2147483648
// needs `allow_wrap`).
constexpr std::optional<std::int32_t> checked_increment(std::int32_t value, std::uint32_t amount,
                                                        bool allow_wrap = false) noexcept {
    const std::int64_t r = static_cast<std::int64_t>(value) + static_cast<std::int64_t>(amount);
    if (r > INT32_MAX && !allow_wrap) return std::nullopt;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + amount);
}
constexpr std::optional<std::int32_t> checked_decrement(std::int32_t value, std::uint32_t amount,
                                                        bool allow_negative = false,
                                                        bool allow_wrap = false) noexcept {
    const std::int64_t r = static_cast<std::int64_t>(value) - static_cast<std::int64_t>(amount);
    if (r < 0 && !allow_negative) return std::nullopt;
    if (r < INT32_MIN && !allow_wrap) return std::nullopt;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) - amount);
}

// A value block holds a signed 32-bit value three times (plain, inverted, plain, each least
// significant byte first) and a one-byte address four times (plain, inverted, plain,
// inverted). The address is free for the application; it is customary to store the block's
// own number there.
struct ValueBlock {
    std::int32_t value = 0;
    std::uint8_t address = 0;

    constexpr Block encode() const noexcept {
        Block out;
        const auto v = static_cast<std::uint32_t>(value);
        for (std::size_t i = 0; i < 4; ++i) {
            const auto b = static_cast<std::uint8_t>(v >> (8 * i));
            out[i] = b;
            out[4 + i] = static_cast<std::uint8_t>(~b);
            out[8 + i] = b;
        }
        out[12] = address;
        out[13] = static_cast<std::uint8_t>(~address);
        out[14] = address;
        out[15] = static_cast<std::uint8_t>(~address);
        return out;
    }

    // nullopt unless every copy agrees with the first.
    static constexpr std::optional<ValueBlock> decode(const Block& b) noexcept {
        for (std::size_t i = 0; i < 4; ++i) {
            if (b[i] != b[8 + i] || static_cast<std::uint8_t>(~b[i]) != b[4 + i]) {
                return std::nullopt;
            }
        }
        if (b[12] != b[14] || static_cast<std::uint8_t>(~b[12]) != b[13] ||
            static_cast<std::uint8_t>(~b[12]) != b[15]) {
            return std::nullopt;
        }
        const std::uint32_t v =
            static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
            (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
        return ValueBlock{static_cast<std::int32_t>(v), b[12]};
    }

    static constexpr bool is_valid(const Block& b) noexcept { return decode(b).has_value(); }

    friend constexpr bool operator==(const ValueBlock& a, const ValueBlock& b) noexcept {
        return a.value == b.value && a.address == b.address;
    }
};

}  // namespace mifare
}  // namespace tqrf

#endif  // TQ_RWD_DLL_MIFARE_HPP
