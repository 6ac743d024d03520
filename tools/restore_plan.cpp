#include "restore_plan.h"

#include <algorithm>

#include "errors.h"

namespace tqrf::tool {

namespace {

Key key_at(const Block& trailer, std::size_t offset) {
    Key k;
    std::copy(trailer.begin() + static_cast<std::ptrdiff_t>(offset),
              trailer.begin() + static_cast<std::ptrdiff_t>(offset + 6), k.begin());
    return k;
}

bool same_bytes(const Block& x, const Block& y, std::size_t from, std::size_t to) {
    return std::equal(x.begin() + static_cast<std::ptrdiff_t>(from),
                      x.begin() + static_cast<std::ptrdiff_t>(to),
                      y.begin() + static_cast<std::ptrdiff_t>(from));
}

// Key B of a trailer with these bytes can be read (it is data, not a key).
bool key_b_readable_in(const Block& trailer) {
    const auto ac = mifare::AccessConditions::from_trailer(trailer);
    return ac && mifare::key_b_readable(ac->block[3]);
}

}  // namespace

void skip_unchanged(RestorePlan& plan, const Image& image,
                    const std::array<CardSectorAccess, mifare::kSectors>& card) {
    std::vector<int> kept;
    for (int b : plan.writes) {
        const CardSectorAccess& c = card[static_cast<std::size_t>(mifare::sector_of(b))];
        const auto& now = c.blocks[static_cast<std::size_t>(b % 4)];
        const Block want = image_block(image, b);
        bool same = false;
        if (now && !mifare::is_trailer(b)) {
            same = *now == want;
        } else if (now) {
            // Key A never reads; key B reads only where the access bits make it data.
            const bool key_b_same = key_b_readable_in(*now) ? same_bytes(*now, want, 10, 16)
                                                            : c.found_b == key_at(want, 10);
            same = same_bytes(*now, want, 6, 10) && c.found_a == key_at(want, 0) && key_b_same;
        }
        (same ? plan.unchanged : kept).push_back(b);
    }
    plan.writes = kept;
}

std::optional<std::string> readback_mismatch(int block, const Block& written, const Block& read) {
    if (!mifare::is_trailer(block)) {
        if (read == written) return std::nullopt;
        return "it reads " + read.hex() + ", " + written.hex() + " was written";
    }
    if (!same_bytes(read, written, 6, 10)) {
        return "its access bytes and user byte read " + read.hex().substr(12, 8) + ", " +
               written.hex().substr(12, 8) + " were written";
    }
    if (key_b_readable_in(written) && !same_bytes(read, written, 10, 16)) {
        return "its key B reads " + read.hex().substr(20) + ", " + written.hex().substr(20) +
               " was written";
    }
    return std::nullopt;
}

std::vector<int> incomplete_sectors(const CardDump& dump) {
    std::vector<int> out;
    for (const auto& s : dump.sectors) {
        if (!s.complete()) out.push_back(s.sector);
    }
    return out;
}

Image raw_image_of(const CardDump& dump) {
    Image out{};
    for (const auto& s : dump.sectors) {
        if (!s.complete()) continue;  // zeros: invalid access bits mark the sector absent
        for (int i = 0; i < 4; ++i) {
            set_image_block(out, mifare::first_block(s.sector) + i,
                            *s.blocks[static_cast<std::size_t>(i)]);
        }
        const int t = mifare::trailer_of(s.sector);
        Block trailer = image_block(out, t);
        if (s.key_a) std::copy(s.key_a->begin(), s.key_a->end(), trailer.begin());
        if (s.key_b) std::copy(s.key_b->begin(), s.key_b->end(), trailer.begin() + 10);
        set_image_block(out, t, trailer);
    }
    return out;
}

RestorePlan plan_restore(const CardImage& image, const Uid& card_uid,
                         const RestoreOptions& options) {
    RestorePlan plan;

    // The image must be this card's.
    if (!options.force) {
        if (!image.uid) {
            throw CommandError("uid_unknown",
                               "refusing to restore, nothing was written: the image does not "
                               "hold block 0, so it does not show which card it came from "
                               "(--force restores it anyway)");
        }
        const Uid image_uid = *image.uid;
        if (image_uid != card_uid) {
            throw CommandError("uid_mismatch",
                               "refusing to restore, nothing was written: the image is of card " +
                                   image_uid.hex() + ", the card in the field is " +
                                   card_uid.hex() + " (--force restores it anyway)");
        }
    }

    std::string frozen;
    for (int s = 0; s < mifare::kSectors; ++s) {
        const auto si = static_cast<std::size_t>(s);
        const int t = mifare::trailer_of(s);
        const Block trailer = image_block(image.image, t);
        bool any = false;
        for (int i = 0; i < 4; ++i) any = any || image.read[static_cast<std::size_t>(s * 4 + i)];
        if (!any) {
            plan.absent_sectors.push_back(s);
            continue;
        }
        if (image.key_known[si][0]) plan.image_keys[si].push_back(key_at(trailer, 0));
        if (image.key_known[si][1]) {
            const Key kb = key_at(trailer, 10);
            if (std::find(plan.image_keys[si].begin(), plan.image_keys[si].end(), kb) ==
                plan.image_keys[si].end()) {
                plan.image_keys[si].push_back(kb);
            }
        }
        for (int i = 0; i < 4; ++i) {
            const int b = mifare::first_block(s) + i;
            if (b == 0) continue;  // the manufacturer block is never written
            if (!image.read[static_cast<std::size_t>(b)]) {
                plan.unread_blocks.push_back(b);
                continue;
            }
            if (b != t) {
                plan.writes.push_back(b);
                continue;
            }
            if (!options.trailers) continue;
            const bool a_known = image.key_known[si][0], b_known = image.key_known[si][1];
            if (!a_known || !b_known) {
                plan.kept_trailers.emplace_back(t, std::string("the dump did not know its ") +
                                                       (!a_known && !b_known ? "keys A and B"
                                                        : !a_known           ? "key A"
                                                                             : "key B"));
                continue;
            }
            const TrailerCheck check = check_trailer(trailer);
            if (check == TrailerCheck::InvalidBits ||
                (check == TrailerCheck::Frozen && !options.force)) {
                frozen += "\n  sector " + std::to_string(s) + " (block " + std::to_string(t) +
                          "): " + describe(check);
                continue;
            }
            plan.writes.push_back(t);
        }
    }
    if (!frozen.empty()) {
        throw CommandError("trailer_refused",
                           "refusing to restore, nothing was written; these trailers are "
                           "refused (--force accepts the permanent ones, never invalid ones):" +
                               frozen);
    }
    return plan;
}

std::vector<int> planned_sectors(const RestorePlan& plan) {
    std::vector<int> out;
    for (int b : plan.writes) {
        const int s = mifare::sector_of(b);
        if (out.empty() || out.back() != s) out.push_back(s);
    }
    return out;
}

void check_card_access(RestorePlan& plan,
                       const std::array<CardSectorAccess, mifare::kSectors>& card) {
    std::vector<int> kept;
    for (int b : plan.writes) {
        const int s = mifare::sector_of(b);
        const CardSectorAccess& c = card[static_cast<std::size_t>(s)];
        std::string why;
        if (!c.key_a && !c.key_b) {
            why = "no known key opens sector " + std::to_string(s);
        } else if (!c.access) {
            why = "the access bits of sector " + std::to_string(s) + " could not be read";
        } else if (!mifare::is_trailer(b)) {
            const auto cond = c.access->block[static_cast<std::size_t>(b % 4)];
            const mifare::Keys who = mifare::data_access(cond).write;
            const bool ok = (c.key_a && mifare::allows(who, KeyType::A)) ||
                            (c.key_b && mifare::allows(who, KeyType::B));
            if (!ok) {
                why = std::string("the card's access bits (") + mifare::condition_bits(cond) +
                      ") let " +
                      (who == mifare::Keys::Never
                           ? std::string("no key")
                           : std::string("only key ") + mifare::to_string(who)) +
                      " write it, and the restore " +
                      (c.key_a && c.key_b ? "knows keys A and B of no use here"
                       : c.key_a          ? "knows only key A"
                                          : "knows only key B");
                if (who == mifare::Keys::Never) {
                    why = std::string("the card's access bits (") + mifare::condition_bits(cond) +
                          ") let no key write it";
                }
            }
        } else {
            const auto a = mifare::trailer_access(c.access->block[3]);
            auto full = [&](KeyType k) {
                return mifare::allows(a.key_a_write, k) && mifare::allows(a.access_write, k) &&
                       mifare::allows(a.key_b_write, k);
            };
            auto some = [&](KeyType k) {
                return mifare::allows(a.key_a_write, k) || mifare::allows(a.access_write, k) ||
                       mifare::allows(a.key_b_write, k);
            };
            // The write goes with key A when key A opens the sector and may write any of it.
            const bool by_a = c.key_a && some(KeyType::A);
            const bool ok = by_a ? full(KeyType::A) : c.key_b && full(KeyType::B);
            if (!ok) {
                why = std::string("the card's trailer access bits (") +
                      mifare::condition_bits(c.access->block[3]) + ": " + mifare::describe(a) +
                      ") do not let " +
                      (by_a      ? "key A"
                       : c.key_b ? "key B"
                                 : "the known key") +
                      " write all of it";
            }
        }
        if (why.empty()) {
            kept.push_back(b);
        } else {
            plan.refused.emplace_back(b, why);
        }
    }
    plan.writes = kept;
}

}  // namespace tqrf::tool
