// Watching one reader for cards: the polling that singles out each card in the field and tells
// which arrived and which left, and the loop around it that reports a reader that stops
// answering as lost and opens it again every second until it answers. The tqrf tool's watch and
// tqrf-gateway both run it, one thread per reader.
#pragma once

#include <chrono>
#include <system_error>
#include <vector>

#include "tq_RWD_DLL.hpp"

namespace tqrf::watch {

// The most cards one poll singles out on one reader.
inline constexpr int kCardsPerPoll = 8;
// How often a lost reader is opened again.
inline constexpr auto kReopenEvery = std::chrono::seconds(1);

// What a watch asks of its user; called on the watching thread only.
class Handler {
  public:
    virtual ~Handler() = default;
    // A card new in the field, selected on `reader`: the handler may read it before the poll
    // halts it. False when the reader was found lost meanwhile (the handler reported it).
    virtual bool arrived(Reader& reader, const CardInfo& card) = 0;
    // A card that was in the field at the last poll and is not any more.
    virtual void left(const CardInfo& card) = 0;
    // A poll failed with something other than a reader status while `doing` ("waiting for
    // cards", "halting a card"). The handler reports the reader lost and returns true, or ends
    // the watch by throwing.
    virtual bool failed(Reader& reader, const char* doing, const std::error_code& error) = 0;
    // The reader is not open: the handler opens it again into `reader` and, once it answers,
    // reports it back and returns true.
    virtual bool reopen(Reader& reader) = 0;
    // Waits `d` (bounded); true when the watch is to stop.
    virtual bool wait(std::chrono::milliseconds d) = 0;
};

// Polls the field once: singles out each card in turn (halting each so that the next answers)
// and passes those not in `before` to the handler. Fills `now` with the cards in the field;
// false when the reader was lost.
bool poll_field(Reader& reader, const std::vector<CardInfo>& before, std::vector<CardInfo>& now,
                Handler& handler);

// Watches `reader` until the handler's wait says stop: polls every `interval`, reports cards
// that arrive and leave, and a reader that is lost (it is closed then) and back. A reader that
// is not open at the start is opened through the handler first. The cards a lost reader saw
// are not known to have left: a reader that comes back reports the cards in its field as
// arriving.
void run(Reader& reader, Handler& handler, std::chrono::milliseconds interval);

}  // namespace tqrf::watch
