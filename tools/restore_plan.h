// The rules that keep a restore from destroying data, all in one place:
//   - what a plain image (.mfd, .bin) can say about itself, and how a dump writes one so that
//     nothing it did not read can ever be restored;
//   - which blocks a restore writes, which it leaves alone and why, and when it refuses to
//     start at all.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "images.h"
#include "support.h"

namespace tqrf::tool {

// The 1024-byte image of a dump. A sector the dump could not read whole is all zeros there,
// trailer included: zeros are invalid access bits, which is how a restore knows the sector is
// not in the image. Each trailer carries the keys that authenticated; a key that did not
// stays as the card read it (000000000000 for key A and for a key B that cannot be read).
Image raw_image_of(const CardDump& dump);

// The sectors a dump could not read whole.
std::vector<int> incomplete_sectors(const CardDump& dump);

// What the card in the field holds of a sector, read in the same run as the restore: its
// access conditions and which key types open it.
struct CardSectorAccess {
    std::optional<mifare::AccessConditions> access;  // nullopt: the trailer could not be read
    bool key_a = false;                              // a known key opens it as key A
    bool key_b = false;                              // ... as key B (and key B is not readable)
    std::optional<Key> found_a, found_b;             // the keys that opened it
    // The sector's blocks as the card gives them (a trailer's key A reads as zeros, its key B
    // unless readable too); nullopt when no key could read it.
    std::array<std::optional<Block>, 4> blocks;
};

struct RestoreOptions {
    bool trailers = false;  // write the sector trailers too
    bool force = false;     // accept another card's image, and trailers that fix their bits
};

struct RestorePlan {
    std::vector<int> writes;          // the blocks to write, in order
    std::vector<int> unchanged;       // the card already holds them as in the image: not written
    std::vector<int> absent_sectors;  // no block of them is in the image: left as they are
    std::vector<int> unread_blocks;   // single blocks of present sectors the dump did not read
    // Trailers that --trailers leaves as they are, and why.
    std::vector<std::pair<int, std::string>> kept_trailers;
    // The image's known keys of each sector: tried before the candidate keys.
    std::array<std::vector<Key>, mifare::kSectors> image_keys;
    // Writes the card would refuse, with the reason (check_card_access), not in `writes`.
    std::vector<std::pair<int, std::string>> refused;
};

// Moves every planned write whose block the card already holds as in the image from
// plan.writes to plan.unchanged. A data block counts when its 16 bytes read as in the image; a
// trailer when its access bytes and user byte do and both of the image's keys are the sector's
// (the keys that opened it, or a key B that reads as in the image where the card lets it be
// read). A block the card would not let read is kept in plan.writes.
void skip_unchanged(RestorePlan& plan, const Image& image,
                    const std::array<CardSectorAccess, mifare::kSectors>& card);

// Why `read`, a block read back after `written` was written to it, is not what was written;
// nothing when it is. A trailer is compared in what the card lets read of it: its access bytes
// and user byte, and key B when the written access bits let it be read.
std::optional<std::string> readback_mismatch(int block, const Block& written, const Block& read);

// Moves every planned write that the card's access conditions and the keys that open each
// sector would refuse from plan.writes to plan.refused, with the reason. A trailer counts as
// refused when the key that would write it may not write all of it (key A, access bits, key B):
// the card would take only part of it.
void check_card_access(RestorePlan& plan,
                       const std::array<CardSectorAccess, mifare::kSectors>& card);

// The sectors that plan.writes touches.
std::vector<int> planned_sectors(const RestorePlan& plan);

// Plans a restore of `image` onto the card with `card_uid`. Throws CommandError, before
// anything is written, when the image is another card's (or says nothing of its card) and
// `force` is not set, and when a trailer to be written holds invalid access bits, or bits no
// key could ever change again without `force`. Never writes block 0, a block that was not
// read, or a trailer whose keys are not both known.
RestorePlan plan_restore(const CardImage& image, const Uid& card_uid,
                         const RestoreOptions& options);

}  // namespace tqrf::tool
