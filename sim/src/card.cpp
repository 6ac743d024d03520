#include "tqrf_sim/card.h"

#include <algorithm>
#include <iterator>

namespace tqrf_sim {

namespace {

// Who may do what, per access condition (C1 C2 C3 as 0..7). Bit 0: key A, bit 1: key B.
constexpr std::uint8_t kA = 1;
constexpr std::uint8_t kB = 2;
constexpr std::uint8_t kAB = kA | kB;

// Data blocks: read, write, increment, decrement/transfer/restore.
constexpr std::uint8_t kDataRights[8][4] = {
    {kAB, kAB, kAB, kAB},  // 000: transport configuration
    {kAB, 0, 0, kAB},      // 001: value block, decrement only
    {kAB, 0, 0, 0},        // 010: read only
    {kB, kB, 0, 0},        // 011
    {kAB, kB, 0, 0},       // 100
    {kB, 0, 0, 0},         // 101
    {kAB, kB, kB, kAB},    // 110: value block, recharge with key B
    {0, 0, 0, 0},          // 111: blocked
};

// Trailers: write key A, read access bits, write access bits, read key B, write key B.
// Key A can never be read.
struct TrailerRights {
    std::uint8_t write_key_a, read_access, write_access, read_key_b, write_key_b;
};
constexpr TrailerRights kTrailerRights[8] = {
    {kA, kA, 0, kA, kA},   // 000
    {kA, kA, kA, kA, kA},  // 001: transport configuration
    {0, kA, 0, kA, 0},     // 010
    {kB, kAB, kB, 0, kB},  // 011
    {kB, kAB, 0, 0, kB},   // 100
    {0, kAB, kB, 0, 0},    // 101
    {0, kAB, 0, 0, 0},     // 110
    {0, kAB, 0, 0, 0},     // 111
};

constexpr std::uint8_t key_bit(KeyType k) {
    return k == KeyType::A ? kA : kB;
}

constexpr std::size_t kAccessOffset = 6;
constexpr std::size_t kKeyBOffset = 10;

}  // namespace

std::optional<AccessConditions> decode_access(std::span<const std::uint8_t, 3> b) {
    AccessConditions out{};
    for (unsigned i = 0; i < 4; ++i) {
        const unsigned c1 = (b[1] >> (4 + i)) & 1u;
        const unsigned c2 = (b[2] >> i) & 1u;
        const unsigned c3 = (b[2] >> (4 + i)) & 1u;
        const unsigned n1 = (b[0] >> i) & 1u;
        const unsigned n2 = (b[0] >> (4 + i)) & 1u;
        const unsigned n3 = (b[1] >> i) & 1u;
        if (c1 == n1 || c2 == n2 || c3 == n3) return std::nullopt;
        out[i] = static_cast<std::uint8_t>((c1 << 2) | (c2 << 1) | c3);
    }
    return out;
}

std::array<std::uint8_t, 3> encode_access(const AccessConditions& c) {
    unsigned c1 = 0, c2 = 0, c3 = 0;
    for (unsigned i = 0; i < 4; ++i) {
        c1 |= ((c[i] >> 2) & 1u) << i;
        c2 |= ((c[i] >> 1) & 1u) << i;
        c3 |= (c[i] & 1u) << i;
    }
    return {static_cast<std::uint8_t>(((~c2 & 0xFu) << 4) | (~c1 & 0xFu)),
            static_cast<std::uint8_t>((c1 << 4) | (~c3 & 0xFu)),
            static_cast<std::uint8_t>((c3 << 4) | c2)};
}

Block make_value_block(std::uint32_t value, std::uint8_t address) {
    Block b{};
    for (unsigned i = 0; i < 4; ++i) {
        const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
        b[i] = byte;
        b[4 + i] = static_cast<std::uint8_t>(~byte);
        b[8 + i] = byte;
    }
    b[12] = address;
    b[13] = static_cast<std::uint8_t>(~address);
    b[14] = address;
    b[15] = static_cast<std::uint8_t>(~address);
    return b;
}

std::optional<std::uint32_t> parse_value_block(const Block& b) {
    for (unsigned i = 0; i < 4; ++i) {
        if (b[i] != b[8 + i] || b[i] != static_cast<std::uint8_t>(~b[4 + i])) return std::nullopt;
    }
    if (b[12] != b[14] || b[13] != b[15] || b[12] != static_cast<std::uint8_t>(~b[13])) {
        return std::nullopt;
    }
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
}

MifareClassic::MifareClassic(const Uid& uid) {
    std::copy(uid.begin(), uid.end(), memory_.begin());
    memory_[4] = static_cast<std::uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);
    memory_[5] = kSak;
    memory_[6] = kAtqa[0];
    memory_[7] = kAtqa[1];
    // Manufacturer data: a fixed, recognisable pattern.
    constexpr std::uint8_t kMaker[8] = {0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69};
    std::copy(std::begin(kMaker), std::end(kMaker), memory_.begin() + 8);
    for (std::size_t s = 0; s < kSectorCount; ++s) {
        Block t{};
        std::copy(kFactoryKey.begin(), kFactoryKey.end(), t.begin());
        std::copy(kFactoryAccess.begin(), kFactoryAccess.end(), t.begin() + kAccessOffset);
        std::copy(kFactoryKey.begin(), kFactoryKey.end(), t.begin() + kKeyBOffset);
        put_block(trailer_of(s), t);
    }
}

MifareClassic::MifareClassic(const CardImage& image) : memory_(image) {}

Uid MifareClassic::uid() const {
    return {memory_[0], memory_[1], memory_[2], memory_[3]};
}

Block MifareClassic::block_at(std::size_t block) const {
    Block b{};
    std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(block * kBlockSize), kBlockSize,
                b.begin());
    return b;
}

void MifareClassic::put_block(std::size_t block, const Block& data) {
    std::copy(data.begin(), data.end(),
              memory_.begin() + static_cast<std::ptrdiff_t>(block * kBlockSize));
}

std::optional<AccessConditions> MifareClassic::conditions(std::size_t sector) const {
    const std::size_t at = trailer_of(sector) * kBlockSize + kAccessOffset;
    const std::array<std::uint8_t, 3> bytes{memory_[at], memory_[at + 1], memory_[at + 2]};
    return decode_access(bytes);
}

bool MifareClassic::key_b_readable(std::size_t sector) const {
    const auto c = conditions(sector);
    return c && kTrailerRights[(*c)[3]].read_key_b != 0;
}

CardImage MifareClassic::image_as_read() const {
    CardImage out = memory_;
    for (std::size_t s = 0; s < kSectorCount; ++s) {
        const std::size_t base = trailer_of(s) * kBlockSize;
        std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(base), 6, std::uint8_t{0});
        if (!key_b_readable(s)) {
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(base + kKeyBOffset), 6,
                        std::uint8_t{0});
        }
    }
    return out;
}

bool MifareClassic::on_request(bool wakeup) {
    if (state_ == CardState::Idle || (wakeup && state_ == CardState::Halt)) {
        woken_from_halt_ = state_ == CardState::Halt;
        state_ = CardState::Ready;
        return true;
    }
    return false;
}

bool MifareClassic::on_select(const Uid& uid) {
    if (state_ != CardState::Ready || uid != this->uid()) return false;
    state_ = CardState::Active;
    return true;
}

void MifareClassic::to_rest() {
    if (state_ == CardState::Ready || state_ == CardState::Active) {
        state_ = woken_from_halt_ ? CardState::Halt : CardState::Idle;
    }
}

void MifareClassic::halt() {
    state_ = CardState::Halt;
    woken_from_halt_ = false;
}

void MifareClassic::power_cycle() {
    state_ = CardState::Idle;
    woken_from_halt_ = false;
}

Status MifareClassic::authenticate(KeyType type, std::size_t sector, const Key& key) const {
    if (sector >= kSectorCount) return Status::BadParameter;
    if (type == KeyType::B && key_b_readable(sector)) return Status::AuthFailed;
    const std::size_t at = trailer_of(sector) * kBlockSize + (type == KeyType::A ? 0 : kKeyBOffset);
    if (!std::equal(key.begin(), key.end(), memory_.begin() + static_cast<std::ptrdiff_t>(at))) {
        return Status::AuthFailed;
    }
    return Status::Ok;
}

bool MifareClassic::allows(std::size_t block, KeyType by, Access right) const {
    if (block >= kBlockCount || is_trailer(block)) return false;
    if (block == 0 && right != Access::Read) return false;
    const auto c = conditions(block / 4);
    if (!c) return false;  // a sector with contradictory access bits is locked for good
    return (kDataRights[(*c)[block % 4]][static_cast<int>(right)] & key_bit(by)) != 0;
}

Status MifareClassic::read(std::size_t block, KeyType by, Block& out) const {
    if (block >= kBlockCount) return Status::BadParameter;
    if (!is_trailer(block)) {
        if (!allows(block, by, Access::Read)) return Status::AccessDenied;
        out = block_at(block);
        return Status::Ok;
    }
    const auto c = conditions(block / 4);
    if (!c) return Status::AccessDenied;
    const TrailerRights& r = kTrailerRights[(*c)[3]];
    const std::uint8_t k = key_bit(by);
    if ((r.read_access & k) == 0) return Status::AccessDenied;
    out = block_at(block);
    std::fill_n(out.begin(), 6, std::uint8_t{0});  // key A never reads back
    if ((r.read_key_b & k) == 0) std::fill_n(out.begin() + kKeyBOffset, 6, std::uint8_t{0});
    return Status::Ok;
}

Status MifareClassic::write(std::size_t block, KeyType by, const Block& data) {
    if (block >= kBlockCount) return Status::BadParameter;
    if (!is_trailer(block)) {
        if (!allows(block, by, Access::Write)) return Status::AccessDenied;
        put_block(block, data);
        return Status::Ok;
    }
    // A trailer is written field by field: each of key A, the access bytes with the
    // general-purpose byte, and key B only where the current access bits allow it.
    const auto c = conditions(block / 4);
    if (!c) return Status::AccessDenied;
    const TrailerRights& r = kTrailerRights[(*c)[3]];
    const std::uint8_t k = key_bit(by);
    const bool key_a = (r.write_key_a & k) != 0;
    const bool access = (r.write_access & k) != 0;
    const bool key_b = (r.write_key_b & k) != 0;
    if (!key_a && !access && !key_b) return Status::AccessDenied;
    if (access) {
        const std::array<std::uint8_t, 3> bytes{data[6], data[7], data[8]};
        if (!decode_access(bytes)) return Status::BadAccessBits;
    }
    Block t = block_at(block);
    if (key_a) std::copy_n(data.begin(), 6, t.begin());
    if (access) std::copy_n(data.begin() + kAccessOffset, 4, t.begin() + kAccessOffset);
    if (key_b) std::copy_n(data.begin() + kKeyBOffset, 6, t.begin() + kKeyBOffset);
    put_block(block, t);
    return Status::Ok;
}

Status MifareClassic::read_value(std::size_t block, KeyType by, std::uint32_t& value) const {
    if (block >= kBlockCount) return Status::BadParameter;
    if (!allows(block, by, Access::Read)) return Status::AccessDenied;
    const auto v = parse_value_block(block_at(block));
    if (!v) return Status::ValueFormat;
    value = *v;
    return Status::Ok;
}

Status MifareClassic::init_value(std::size_t block, KeyType by, std::uint32_t value) {
    if (block >= kBlockCount) return Status::BadParameter;
    if (!allows(block, by, Access::Write)) return Status::AccessDenied;
    put_block(block, make_value_block(value, static_cast<std::uint8_t>(block)));
    return Status::Ok;
}

Status MifareClassic::load_value(std::size_t block, KeyType by, Access right, Block& out) const {
    if (block >= kBlockCount) return Status::BadParameter;
    if (!allows(block, by, right)) return Status::AccessDenied;
    const Block b = block_at(block);
    if (!parse_value_block(b)) return Status::ValueFormat;
    out = b;
    return Status::Ok;
}

Status MifareClassic::transfer(std::size_t block, KeyType by, const Block& value_block) {
    if (block >= kBlockCount) return Status::BadParameter;
    if (!allows(block, by, Access::DecrementTransferRestore)) return Status::AccessDenied;
    put_block(block, value_block);
    return Status::Ok;
}

namespace {

// The names of the status bytes from NoCard (0x11) on, in order.
constexpr const char* kFailureNames[] = {
    "no card",
    "authentication failed",
    "not authenticated",
    "access denied",
    "value format error",
    "bad parameter",
    "key not loaded",
    "nothing to transfer",
    "unknown command",
    "E2PROM area protected",
    "contradictory access bits",
};
static_assert(std::size(kFailureNames) ==
              to_byte(Status::BadAccessBits) - to_byte(Status::NoCard) + 1);

}  // namespace

const char* status_name(Status s) {
    if (s == Status::Ok) return "ok";
    const std::size_t i = to_byte(s) - std::size_t{to_byte(Status::NoCard)};
    return i < std::size(kFailureNames) ? kFailureNames[i] : "?";
}

}  // namespace tqrf_sim
