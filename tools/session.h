// Card work of the tqrf tool on an open port: selecting the card, finding the key that opens a
// sector, block operations with the right key, whole-card dump and restore.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

// A failure that ends the command: its message goes to stderr, the tool exits with `status`.
class CommandError : public std::runtime_error {
  public:
    explicit CommandError(const std::string& message, int exit_status = 1)
        : std::runtime_error(message), status(exit_status) {}
    int status;
};

// The link to the reader failed (no reply, bad reply, port trouble): no point going on.
class LinkError : public CommandError {
  public:
    using CommandError::CommandError;
};

// "what: meaning of the code". A reader status byte is followed by its meaning when a
// status namer is set (the simulated reader's codes are known; a real reader's are its own).
std::string explain(const std::string& what, const std::error_code& ec);
void set_status_namer(const char* (*namer)(int status));

struct Login {
    KeyType type;
    Key key;
};

struct SectorDump {
    int sector = 0;
    std::optional<Key> key_a;  // the key that authenticated as key A
    std::optional<Key> key_b;  // the key that authenticated as key B
    std::array<std::optional<Block>, 4> blocks;
    std::array<std::string, 4> errors;  // why a block is missing
    bool opened() const { return key_a || key_b; }
};

struct CardDump {
    CardInfo card;
    std::array<SectorDump, mifare::kSectors> sectors;

    // The 1024-byte image: blocks that could not be read are zeros; each trailer gets the keys
    // that authenticated (key A always, key B where it authenticated).
    Image image() const;
};

// How one block of a restore went.
struct BlockOutcome {
    int block = 0;
    bool written = false;
    std::string error;
};

class CardSession {
  public:
    // `keys`: the candidate keys in order; `b_only`: use them as key B only (else key A first,
    // then key B).
    CardSession(Port& port, std::vector<Key> keys, bool b_only);

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

    // Writes the image's data blocks (never block 0) and, with `trailers`, its trailers. The
    // trailers must have been checked already. Keys found in the image's trailers are tried
    // before the candidate keys.
    std::vector<BlockOutcome> restore(const Image& image, bool trailers,
                                      const std::function<void(int)>& progress);

  private:
    bool authenticate(int sector, KeyType type, const Key& key);
    void lost();  // the card dropped its session after a refusal: select again next time
    void fail_if_link_error(const std::error_code& ec, const std::string& what);

    Port& port_;
    std::vector<Key> keys_;
    bool b_only_;
    std::optional<CardInfo> card_;
    std::optional<std::pair<int, KeyType>> authed_;
    std::array<std::array<std::optional<Key>, 2>, mifare::kSectors> found_{};
    std::array<std::array<bool, 2>, mifare::kSectors> searched_{};
    std::vector<Key> extra_[mifare::kSectors];  // restore: keys from the image, tried first
};

}  // namespace tqrf::tool
