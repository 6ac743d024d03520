#include "session.h"

#include <algorithm>

namespace tqrf::tool {

namespace {

std::size_t type_index(KeyType t) {
    return t == KeyType::A ? 0 : 1;
}
const char* type_name(KeyType t) {
    return t == KeyType::A ? "A" : "B";
}

}  // namespace

CardSession::CardSession(Reader& reader, std::vector<Key> keys, bool b_only)
    : reader_(reader), keys_(std::move(keys)), b_only_(b_only) {}

void CardSession::fail_if_link_error(const std::error_code& ec, const std::string& what) {
    if (is_link_failure(ec)) throw_failure(what, ec, reader_);
}

void CardSession::lost() {
    card_.reset();
    authed_.reset();
}

const CardInfo& CardSession::selected(const CardInfo& info) {
    if (uid_ && info.uid != *uid_) {
        card_.reset();
        throw CommandError("card_changed", "card " + info.uid.hex() +
                                               " answered in place of card " + uid_->hex() +
                                               ", which has left the field; stopped there");
    }
    uid_ = info.uid;
    card_ = info;
    return *card_;
}

Status CardSession::exchange(const std::function<Status()>& op) {
    // The reader repeats an exchange whose reply was lost, late or garbled itself (the tool
    // opens it with --retries attempts), selecting the card again before it repeats an
    // authentication: what fails here failed on every attempt, or was refused.
    return op();
}

const CardInfo& CardSession::card() {
    if (card_) return *card_;
    std::optional<CardInfo> found;
    const Status r = exchange([&] {
        auto info = reader_.find_card(RequestMode::All);
        if (info) found = *info;
        return info ? Status{} : Status{info.error()};
    });
    if (!r) {
        fail_if_link_error(r.error(), "selecting the card");
        throw CommandError("no_card", explain("no card in the field", r.error()), kExitFailed,
                           r.error().value());
    }
    return selected(*found);
}

bool CardSession::authenticate(int sector, KeyType type, const Key& key) {
    const auto s = static_cast<std::size_t>(sector);
    if (card_ && authed_ && authed_->first == sector && authed_->second == type &&
        found_[s][type_index(type)] == key) {
        return true;
    }
    (void)card();
    const Status r = exchange([&] { return reader_.login(sector, type, key); });
    if (!r) {
        fail_if_link_error(r.error(), "authenticating sector " + std::to_string(sector));
        lost();  // a card that refuses an authentication leaves its session
        return false;
    }
    authed_ = std::make_pair(sector, type);
    return true;
}

Result<Block> CardSession::read_block(int block) {
    Block data{};
    const Status r = exchange([&] {
        auto got = reader_.read(block);
        if (got) data = *got;
        return got ? Status{} : Status{got.error()};
    });
    if (!r) return Result<Block>(r.error());
    return Result<Block>(data);
}

std::optional<Key> CardSession::find_key(int sector, KeyType type) {
    const auto s = static_cast<std::size_t>(sector);
    const auto t = type_index(type);
    if (searched_[s][t]) {
        if (found_[s][t] && !authenticate(sector, type, *found_[s][t])) return std::nullopt;
        return found_[s][t];
    }
    searched_[s][t] = true;
    std::vector<Key> order = extra_[s];
    for (const auto& k : keys_) {
        if (std::find(order.begin(), order.end(), k) == order.end()) order.push_back(k);
    }
    for (const auto& k : order) {
        if (authenticate(sector, type, k)) {
            found_[s][t] = k;
            return k;
        }
    }
    return std::nullopt;
}

Login CardSession::with_block(int block, const std::string& what,
                              const std::function<Status()>& op) {
    const int sector = mifare::sector_of(block);
    std::string refusal;
    std::optional<std::int32_t> last_status;
    bool opened = false;
    for (KeyType type : {KeyType::A, KeyType::B}) {
        if (b_only_ && type == KeyType::A) continue;
        auto key = find_key(sector, type);
        if (!key) continue;
        opened = true;
        auto r = op();
        if (r) return Login{type, *key};
        fail_if_link_error(r.error(), what);
        last_status = r.error().value();
        refusal += std::string(refusal.empty() ? "" : "; ") +
                   explain(std::string("with key ") + type_name(type), r.error());
        lost();
    }
    if (!opened) {
        throw CommandError("no_key", "no key opens sector " + std::to_string(sector) + " (tried " +
                                         std::to_string(keys_.size()) +
                                         (keys_.size() == 1 ? " key" : " keys") +
                                         (b_only_ ? " as key B" : " as key A and key B") +
                                         "); give the right one with --key or --keys");
    }
    throw CommandError("refused", what + " refused: " + refusal, kExitFailed, last_status);
}

CardDump CardSession::dump(const std::function<void(int)>& progress) {
    CardDump out;
    out.card = card();
    std::string gone;  // the reader's device is gone: the later sectors are not tried
    for (int s = 0; s < mifare::kSectors; ++s) {
        if (progress) progress(s);
        SectorDump& sd = out.sectors[static_cast<std::size_t>(s)];
        sd.sector = s;
        auto read_with = [&](KeyType type, const Key& key) {
            for (int i = 0; i < 4; ++i) {
                auto& slot = sd.blocks[static_cast<std::size_t>(i)];
                if (slot) continue;
                if (!authenticate(s, type, key)) return;
                const int b = mifare::first_block(s) + i;
                auto data = read_block(b);
                if (data) {
                    slot = *data;
                    sd.errors[static_cast<std::size_t>(i)].clear();
                } else {
                    fail_if_link_error(data.error(), "reading block " + std::to_string(b));
                    sd.errors[static_cast<std::size_t>(i)] = explain("read", data.error());
                    lost();
                }
            }
        };
        try {
            if (!gone.empty()) throw LinkError("device_lost", gone);
            if (!b_only_) {
                sd.key_a = find_key(s, KeyType::A);
                if (sd.key_a) read_with(KeyType::A, *sd.key_a);
            }
            // Key B is worth a search when blocks are missing or its bytes are not readable.
            bool want_b = !sd.complete();
            if (!want_b && sd.blocks[3]) {
                auto ac = mifare::AccessConditions::from_trailer(*sd.blocks[3]);
                want_b = !ac || !mifare::key_b_readable(ac->block[3]);
            }
            if (want_b) {
                sd.key_b = find_key(s, KeyType::B);
                if (sd.key_b) read_with(KeyType::B, *sd.key_b);
            }
        } catch (const LinkError& e) {
            // The reader did not answer, even after the retries: what was read stays, the
            // rest of the sector is marked unread, and the dump goes on.
            sd.failure = e.what();
            for (std::size_t i = 0; i < 4; ++i) {
                if (!sd.blocks[i]) sd.errors[i] = sd.failure;
            }
            if (e.kind() == "device_lost") gone = e.what();
            lost();
            continue;
        }
        if (!sd.opened()) {
            for (auto& e : sd.errors) e = "no key opens this sector";
        }
    }
    return out;
}

void CardSession::prefer_keys(const std::array<std::vector<Key>, mifare::kSectors>& keys) {
    extra_ = keys;
}

CardSectorAccess CardSession::sector_access(int sector) {
    CardSectorAccess out;
    for (KeyType type : {KeyType::A, KeyType::B}) {
        if (b_only_ && type == KeyType::A) continue;
        const auto key = find_key(sector, type);
        if (!key) continue;
        (type == KeyType::A ? out.key_a : out.key_b) = true;
        (type == KeyType::A ? out.found_a : out.found_b) = *key;
        for (int i = 0; i < 4; ++i) {
            auto& slot = out.blocks[static_cast<std::size_t>(i)];
            if (slot) continue;
            if (!authenticate(sector, type, *key)) break;
            const int b = mifare::first_block(sector) + i;
            auto data = read_block(b);
            if (data) {
                slot = *data;
            } else {
                fail_if_link_error(data.error(), "reading block " + std::to_string(b));
                lost();
            }
        }
    }
    if (out.blocks[3]) out.access = mifare::AccessConditions::from_trailer(*out.blocks[3]);
    // A readable key B is data: it opens nothing.
    if (out.access && mifare::key_b_readable(out.access->block[3])) out.key_b = false;
    return out;
}

std::vector<BlockOutcome> CardSession::restore(const Image& image, const RestorePlan& plan,
                                               bool verify,
                                               const std::function<void(int)>& progress) {
    std::vector<BlockOutcome> out;
    (void)card();
    prefer_keys(plan.image_keys);
    int last_sector = -1;
    bool stopped = false;
    int stopped_at = -1;
    for (int b : plan.writes) {
        BlockOutcome o;
        o.block = b;
        if (stopped) {
            o.attempted = false;
            o.error = "not written: the restore stopped at block " + std::to_string(stopped_at);
            out.push_back(o);
            continue;
        }
        const int s = mifare::sector_of(b);
        if (s != last_sector && progress) progress(s);
        last_sector = s;
        const Block data = image_block(image, b);
        try {
            (void)with_block(b, "writing block " + std::to_string(b),
                             [&] { return reader_.write(b, data); });
            if (verify) {
                Block back{};
                (void)with_block(b, "reading block " + std::to_string(b) + " back", [&] {
                    auto r = read_block(b);
                    if (r) back = *r;
                    return r ? Status{} : Status{r.error()};
                });
                if (const auto why = readback_mismatch(b, data, back)) {
                    throw CommandError(
                        "verify_failed",
                        "block " + std::to_string(b) + " does not read back as written: " + *why);
                }
                o.verified = true;
            }
            o.written = true;
        } catch (const CommandError& e) {
            // A refusal, a lost card or a block that reads back otherwise: nothing more is
            // written.
            o.error = e.what();
            stopped = true;
            stopped_at = b;
        }
        out.push_back(o);
    }
    return out;
}

}  // namespace tqrf::tool
