// Card work of the tqrf tool on an open reader: selecting the card, finding the key that opens
// a sector, block operations with the right key, whole-card dump and restore.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "images.h"
#include "restore_plan.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

struct Login {
    KeyType type;
    Key key;
};

// How one block of a restore went.
struct BlockOutcome {
    int block = 0;
    bool written = false;
    bool attempted = true;  // false: the restore stopped before this block
    std::string error;
};

class CardSession {
  public:
    // `keys`: the candidate keys in order; `b_only`: use them as key B only (else key A first,
    // then key B).
    CardSession(Reader& reader, std::vector<Key> keys, bool b_only);

    // Wakes and selects the card (WUPA, so a halted card answers too). Throws when no card.
    const CardInfo& card();

    // Authenticates the sector with the first candidate key of `type` that opens it.
    std::optional<Key> find_key(int sector, KeyType type);

    // Runs `op` on a block of `sector`, logged in with key A, then key B if A is refused or
    // cannot log in. Returns the login that worked. Throws CommandError when no key opens the
    // sector or every login is refused the operation.
    Login with_block(int block, const std::string& what, const std::function<Status()>& op);

    // Reads the whole card. `progress(sector)` is called before each sector.
    CardDump dump(const std::function<void(int)>& progress);

    // The keys of each sector to try before the candidate keys (a restore: the image's).
    void prefer_keys(const std::array<std::vector<Key>, mifare::kSectors>& keys);

    // Which key types open a sector, and its access conditions as the card holds them.
    CardSectorAccess sector_access(int sector);

    // Writes the planned blocks of the image in order and stops at the first that fails (the
    // card refused it, or left the field): that one and every later one are not written, and
    // their outcomes say so.
    std::vector<BlockOutcome> restore(const Image& image, const RestorePlan& plan,
                                      const std::function<void(int)>& progress);

  private:
    bool authenticate(int sector, KeyType type, const Key& key);
    void lost();  // the card dropped its session after a refusal: select again next time
    void fail_if_link_error(const std::error_code& ec, const std::string& what);

    Reader& reader_;
    std::vector<Key> keys_;
    bool b_only_;
    std::optional<CardInfo> card_;
    std::optional<std::pair<int, KeyType>> authed_;
    std::array<std::array<std::optional<Key>, 2>, mifare::kSectors> found_{};
    std::array<std::array<bool, 2>, mifare::kSectors> searched_{};
    std::array<std::vector<Key>, mifare::kSectors> extra_;  // restore: keys from the image
};

}  // namespace tqrf::tool
