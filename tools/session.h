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
    bool written = false;   // written (and, unless verify is off, read back as written)
    bool attempted = true;  // false: the restore stopped before this block
    bool verified = false;  // read back after the write and found as written
    std::string error;
};

// How many times an exchange is tried in all when its reply is lost, late or garbled.

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

    // Reads one block in the sector authenticated now (retried like every read).
    Result<Block> read_block(int block);

    // Reads the whole card. `progress(sector)` is called before each sector. A sector whose
    // reads or authentications still fail on the link after the retries is left unread, with
    // SectorDump::failure saying why, and the dump goes on with the next one.
    CardDump dump(const std::function<void(int)>& progress);

    // The keys of each sector to try before the candidate keys (a restore: the image's).
    void prefer_keys(const std::array<std::vector<Key>, mifare::kSectors>& keys);

    // Which key types open a sector, its access conditions and the blocks it holds now.
    CardSectorAccess sector_access(int sector);

    // Writes the planned blocks of the image in order and, when `verify`, reads each back and
    // compares it with the image (for a trailer, what the card lets read of it). Stops at the
    // first that fails (the card refused it, left the field, or it reads back otherwise):
    // that one and every later one count as not written, and their outcomes say so.
    std::vector<BlockOutcome> restore(const Image& image, const RestorePlan& plan, bool verify,
                                      const std::function<void(int)>& progress);

  private:
    // One exchange with the card; the reader repeats it where a repeat is safe.
    Status exchange(const std::function<Status()>& op);

    bool authenticate(int sector, KeyType type, const Key& key);
    void lost();  // the card dropped its session after a refusal: select again next time
    // Keeps the card just selected; throws when it is not the card the session started with
    // (another card took its place in the field).
    const CardInfo& selected(const CardInfo& info);
    void fail_if_link_error(const std::error_code& ec, const std::string& what);

    Reader& reader_;
    std::vector<Key> keys_;
    bool b_only_;
    std::optional<CardInfo> card_;
    std::optional<Uid> uid_;  // the card the session started with
    std::optional<std::pair<int, KeyType>> authed_;
    std::array<std::array<std::optional<Key>, 2>, mifare::kSectors> found_{};
    std::array<std::array<bool, 2>, mifare::kSectors> searched_{};
    std::array<std::vector<Key>, mifare::kSectors> extra_;  // restore: keys from the image
};

}  // namespace tqrf::tool
