#include "session.h"

#include <algorithm>

namespace tqrf::tool {

namespace {

int type_index(KeyType t) {
    return t == KeyType::A ? 0 : 1;
}
const char* type_name(KeyType t) {
    return t == KeyType::A ? "A" : "B";
}

}  // namespace

namespace {
const char* (*status_namer)(int) = nullptr;
}  // namespace

void set_status_namer(const char* (*namer)(int status)) {
    status_namer = namer;
}

std::string explain(const std::string& what, const std::error_code& ec) {
    std::string text = what + ": " + ec.message();
    if (is_reader_status(ec) && status_namer != nullptr) {
        if (const char* name = status_namer(ec.value())) text += std::string(" (") + name + ")";
    }
    if (ec == errc::reply_frame) {
        text += " (is the reader connected to this port and powered?)";
    }
    return text;
}

Image CardDump::image() const {
    Image out{};
    for (const auto& s : sectors) {
        for (int i = 0; i < 4; ++i) {
            if (s.blocks[static_cast<std::size_t>(i)]) {
                set_image_block(out, mifare::first_block(s.sector) + i,
                                *s.blocks[static_cast<std::size_t>(i)]);
            }
        }
        const int t = mifare::trailer_of(s.sector);
        Block trailer = image_block(out, t);
        if (s.key_a) std::copy(s.key_a->begin(), s.key_a->end(), trailer.begin());
        if (s.key_b) std::copy(s.key_b->begin(), s.key_b->end(), trailer.begin() + 10);
        set_image_block(out, t, trailer);
    }
    return out;
}

CardSession::CardSession(Port& port, std::vector<Key> keys, bool b_only)
    : port_(port), keys_(std::move(keys)), b_only_(b_only) {}

void CardSession::fail_if_link_error(const std::error_code& ec, const std::string& what) {
    if (!is_reader_status(ec)) throw LinkError(explain(what, ec));
}

void CardSession::lost() {
    card_.reset();
    authed_.reset();
}

const CardInfo& CardSession::card() {
    if (card_) return *card_;
    auto info = port_.select_card(RequestMode::All);
    if (!info) {
        fail_if_link_error(info.error(), "selecting the card");
        throw CommandError(explain("no card in the field", info.error()));
    }
    card_ = *info;
    return *card_;
}

bool CardSession::authenticate(int sector, KeyType type, const Key& key) {
    if (card_ && authed_ && authed_->first == sector && authed_->second == type &&
        found_[static_cast<std::size_t>(sector)][static_cast<std::size_t>(type_index(type))] ==
            key) {
        return true;
    }
    (void)card();
    auto r = port_.login(sector, type, key);
    if (!r) {
        fail_if_link_error(r.error(), "authenticating sector " + std::to_string(sector));
        lost();  // a card that refuses an authentication leaves its session
        return false;
    }
    authed_ = std::make_pair(sector, type);
    return true;
}

std::optional<Key> CardSession::find_key(int sector, KeyType type) {
    const auto s = static_cast<std::size_t>(sector);
    const auto t = static_cast<std::size_t>(type_index(type));
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
    bool opened = false;
    for (KeyType type : {KeyType::A, KeyType::B}) {
        if (b_only_ && type == KeyType::A) continue;
        auto key = find_key(sector, type);
        if (!key) continue;
        opened = true;
        auto r = op();
        if (r) return Login{type, *key};
        fail_if_link_error(r.error(), what);
        refusal += std::string(refusal.empty() ? "" : "; ") +
                   explain(std::string("with key ") + type_name(type), r.error());
        lost();
    }
    if (!opened) {
        throw CommandError("no key opens sector " + std::to_string(sector) + " (tried " +
                           std::to_string(keys_.size()) + (keys_.size() == 1 ? " key" : " keys") +
                           (b_only_ ? " as key B" : " as key A and key B") +
                           "); give the right one with --key or --keys");
    }
    throw CommandError(what + " refused: " + refusal);
}

CardDump CardSession::dump(const std::function<void(int)>& progress) {
    CardDump out;
    out.card = card();
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
                auto data = port_.read(b);
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
        if (!b_only_) {
            sd.key_a = find_key(s, KeyType::A);
            if (sd.key_a) read_with(KeyType::A, *sd.key_a);
        }
        const bool all_read = std::all_of(sd.blocks.begin(), sd.blocks.end(),
                                          [](const auto& b) { return b.has_value(); });
        // Key B is worth a search when blocks are missing or its bytes are not readable.
        bool want_b = !all_read;
        if (!want_b && sd.blocks[3]) {
            auto ac = mifare::AccessConditions::from_trailer(*sd.blocks[3]);
            want_b = !ac || !mifare::key_b_readable(ac->block[3]);
        }
        if (want_b) {
            sd.key_b = find_key(s, KeyType::B);
            if (sd.key_b) read_with(KeyType::B, *sd.key_b);
        }
        if (!sd.opened()) {
            for (auto& e : sd.errors) e = "no key opens this sector";
        }
    }
    return out;
}

std::vector<BlockOutcome> CardSession::restore(const Image& image, bool trailers,
                                               const std::function<void(int)>& progress) {
    std::vector<BlockOutcome> out;
    (void)card();
    for (int s = 0; s < mifare::kSectors; ++s) {
        if (progress) progress(s);
        const Block trailer = image_block(image, mifare::trailer_of(s));
        Key ka, kb;
        std::copy(trailer.begin(), trailer.begin() + 6, ka.begin());
        std::copy(trailer.begin() + 10, trailer.end(), kb.begin());
        extra_[static_cast<std::size_t>(s)] = {ka};
        if (kb != ka) extra_[static_cast<std::size_t>(s)].push_back(kb);
        for (int i = 0; i < 4; ++i) {
            const int b = mifare::first_block(s) + i;
            if (b == 0) continue;  // the manufacturer block is never written
            if (mifare::is_trailer(b) && !trailers) continue;
            BlockOutcome o;
            o.block = b;
            const Block data = image_block(image, b);
            try {
                (void)with_block(b, "writing block " + std::to_string(b),
                                 [&] { return port_.write(b, data); });
                o.written = true;
            } catch (const LinkError&) {
                throw;
            } catch (const CommandError& e) {
                o.error = e.what();
            }
            out.push_back(o);
        }
    }
    return out;
}

}  // namespace tqrf::tool
