// A simulated Mifare Classic 1K card: 64 blocks of 16 bytes in 16 sectors of four, the last
// block of each sector being its trailer (key A, access bits, general-purpose byte, key B).
// The card enforces the access conditions of its trailers and the value block format; it
// keeps its ISO/IEC 14443-3 state (idle, ready, active, halt). The reader keeps the session
// (selected card, authenticated sector, transfer buffer) and asks the card for each access.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tqrf_sim/status.h"

namespace tqrf_sim {

inline constexpr std::size_t kBlockSize = 16;
inline constexpr std::size_t kBlockCount = 64;
inline constexpr std::size_t kSectorCount = 16;
inline constexpr std::size_t kCardSize = kBlockSize * kBlockCount;  // 1024 bytes

using Uid = std::array<std::uint8_t, 4>;
using Block = std::array<std::uint8_t, kBlockSize>;
using Key = std::array<std::uint8_t, 6>;
using CardImage = std::array<std::uint8_t, kCardSize>;

// What a card answers to a request, and the size byte (SAK) of its answer to select.
inline constexpr std::array<std::uint8_t, 2> kAtqa{0x04, 0x00};
inline constexpr std::uint8_t kSak = 0x08;

// The factory key (both keys of every sector) and access bytes of a new card.
inline constexpr Key kFactoryKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr std::array<std::uint8_t, 4> kFactoryAccess{0xFF, 0x07, 0x80, 0x69};

enum class KeyType : std::uint8_t { A, B };

enum class CardState : std::uint8_t { Idle, Ready, Active, Halt };

// The four access rights the access bits grant on a data block.
enum class Access : std::uint8_t { Read, Write, Increment, DecrementTransferRestore };

constexpr bool is_trailer(std::size_t block) {
    return block % 4 == 3;
}
constexpr std::size_t trailer_of(std::size_t sector) {
    return sector * 4 + 3;
}

// The access condition of one block of a sector, as its three bits C1 C2 C3 (C1 the most
// significant bit of the returned 0..7).
using AccessConditions = std::array<std::uint8_t, 4>;  // blocks 0, 1, 2 of the sector, trailer

// Decodes trailer bytes 6..8. Returns nothing when the inverted copies disagree with the bits.
std::optional<AccessConditions> decode_access(std::span<const std::uint8_t, 3> bytes);
// Encodes the conditions (each 0..7) into trailer bytes 6..8.
std::array<std::uint8_t, 3> encode_access(const AccessConditions& conditions);

// The 16-byte value block format: value, inverted value, value (each least significant byte
// first), then address, inverted address, address, inverted address.
Block make_value_block(std::uint32_t value, std::uint8_t address);
// The value of a block in value block format, or nothing when the block is not one.
std::optional<std::uint32_t> parse_value_block(const Block& block);

class MifareClassic {
  public:
    // A factory-fresh card: manufacturer block with `uid`, its BCC, SAK 0x08 and ATQA 0x04 0x00;
    // data blocks zero; every trailer holds the factory keys and access bytes.
    explicit MifareClassic(const Uid& uid);
    // A card holding a 1024-byte image (block 0 first). Its UID is the image's bytes 0..3.
    explicit MifareClassic(const CardImage& image);

    Uid uid() const;
    const CardImage& memory() const { return memory_; }
    // The card as a reader with both keys would see it: key A reads as zeros, key B only
    // where the access bits let it be read, zeros elsewhere.
    CardImage image_as_read() const;

    // ---- ISO/IEC 14443-3 states -----------------------------------------------------------
    CardState state() const { return state_; }
    // REQA (wakeup false) wakes an idle card; WUPA (wakeup true) an idle or a halted one.
    // Returns true when the card answers (it is then ready).
    bool on_request(bool wakeup);
    // Select: a ready card with this UID becomes active. Returns true when it did.
    bool on_select(const Uid& uid);
    // Back to where an unfinished sequence leaves the card: idle, or halt when it was woken from
    // halt (the ISO/IEC 14443-3 ready* and active* states).
    void to_rest();
    void halt();
    // Field reset: every card starts again as idle.
    void power_cycle();

    // ---- Memory access (the card must be active; the reader checks the session) -----------
    // Checks `key` against the sector's key of `type`. Key B cannot authenticate where the
    // access bits let it be read.
    Status authenticate(KeyType type, std::size_t sector, const Key& key) const;
    Status read(std::size_t block, KeyType by, Block& out) const;
    Status write(std::size_t block, KeyType by, const Block& data);
    Status read_value(std::size_t block, KeyType by, std::uint32_t& value) const;
    Status init_value(std::size_t block, KeyType by, std::uint32_t value);
    // Increment (right Access::Increment) or decrement / restore
    // (Access::DecrementTransferRestore): checks the right and the format and gives the value block
    // as it stands.
    Status load_value(std::size_t block, KeyType by, Access right, Block& out) const;
    // Transfer: writes a value block held in the transfer buffer.
    Status transfer(std::size_t block, KeyType by, const Block& value_block);

    // Whether the key of `by` grants `right` on data block `block` (never on block 0's write,
    // never on trailers).
    bool allows(std::size_t block, KeyType by, Access right) const;
    bool key_b_readable(std::size_t sector) const;

  private:
    Block block_at(std::size_t block) const;
    void put_block(std::size_t block, const Block& data);
    std::optional<AccessConditions> conditions(std::size_t sector) const;

    CardImage memory_{};
    CardState state_ = CardState::Idle;
    bool woken_from_halt_ = false;
};

}  // namespace tqrf_sim
