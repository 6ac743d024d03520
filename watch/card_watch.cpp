#include "card_watch.h"

#include <algorithm>

namespace tqrf::watch {

namespace {

bool same_card(const CardInfo& a, const CardInfo& b) {
    return a.uid == b.uid;
}

bool holds(const std::vector<CardInfo>& cards, const CardInfo& card) {
    return std::any_of(cards.begin(), cards.end(),
                       [&](const CardInfo& c) { return same_card(c, card); });
}

}  // namespace

bool poll_field(Reader& r, const std::vector<CardInfo>& before, std::vector<CardInfo>& now,
                Handler& h) {
    now.clear();
    RequestMode mode = RequestMode::All;  // wakes the cards the last poll halted
    for (int i = 0; i < kCardsPerPoll; ++i) {
        auto card = r.find_card(mode);
        mode = RequestMode::Idle;
        if (!card) {
            if (is_reader_status(card.error())) break;  // no (more) cards
            h.failed(r, "waiting for cards", card.error());
            return false;
        }
        if (holds(now, *card)) break;
        now.push_back(*card);
        if (!holds(before, *card) && !h.arrived(r, *card)) return false;
        auto halted = r.halt();
        if (!halted) {
            if (!is_reader_status(halted.error())) {
                h.failed(r, "halting a card", halted.error());
                return false;
            }
            break;  // a card that cannot be halted would answer again
        }
    }
    return true;
}

void run(Reader& reader, Handler& h, std::chrono::milliseconds interval) {
    std::vector<CardInfo> present, now;
    for (;;) {
        if (!reader.is_open()) {
            if (!h.reopen(reader)) {
                if (h.wait(kReopenEvery)) return;
                continue;
            }
            present.clear();
        }
        if (!poll_field(reader, present, now, h)) {
            reader = Reader{};
            present.clear();
            if (h.wait(kReopenEvery)) return;
            continue;
        }
        for (const auto& c : present) {
            if (!holds(now, c)) h.left(c);
        }
        present.swap(now);
        if (h.wait(interval)) return;
    }
}

}  // namespace tqrf::watch
