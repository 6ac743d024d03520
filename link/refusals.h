// What a refusal of each reader command means to a user. A reader answers a command it cannot
// carry out with a non-zero status byte; the byte's meaning is the reader's own, but what a
// refusal of the command comes down to is the same on every reader: these words say it, and
// tqrf_refusal_text() puts the status byte after them. One row per command, in Op order.
#pragma once

#include <array>
#include <cstddef>

#include "link/commands.h"

namespace tqrf {

struct Refusal {
    Op op;
    const char* words;
};

// The longest words, so that "WORDS (reader status 0xNN)" fits TQRF_REFUSAL_TEXT_MAX.
inline constexpr std::size_t REFUSAL_WORDS_MAX = 200;

// clang-format off
inline constexpr std::array<Refusal, COMMANDS.size()> REFUSALS = {{
    {Op::REQUEST,          "no card answered: none is in the field, or the card is halted and only a request for all cards wakes it"},
    {Op::ANTICOLL,         "no card answered the anticollision: the card left the field, or no request came before it"},
    {Op::SELECT,           "the card did not answer the select: it left the field, or its serial number is another card's"},
    {Op::HALT,             "the card did not halt: no card is selected"},
    {Op::CARD_FIND_SELECT, "no card answered: none is in the field, or the card is halted and only a request for all cards wakes it"},
    {Op::LOAD_KEY,         "the reader did not take the key: a key type or sector it does not know"},
    {Op::AUTHENTICATE,     "the key is wrong, or the sector's access conditions keep this key out; find the card again before the next try"},
    {Op::READ_BLOCK,       "the block was not read: its sector is not authenticated, or its access conditions keep this key from reading it"},
    {Op::WRITE_BLOCK,      "the block was not written: its sector is not authenticated, its access conditions keep this key from writing it, or it is block 0, which is read-only"},
    {Op::INIT_VALUE,       "the value block was not written: its sector is not authenticated, its access conditions keep this key from writing it, or it is block 0 or a sector trailer"},
    {Op::READ_VALUE,       "the value was not read: the block is not a value block, its sector is not authenticated, or its access conditions keep this key from reading it"},
    {Op::INCREMENT,        "the increment was refused: the block is not a value block, its sector is not authenticated, or its access conditions allow this key no increment"},
    {Op::DECREMENT,        "the decrement was refused: the block is not a value block, its sector is not authenticated, or its access conditions allow this key no decrement"},
    {Op::RESTORE,          "the restore was refused: the block is not a value block, its sector is not authenticated, or its access conditions allow this key no restore"},
    {Op::TRANSFER,         "the transfer was refused: no increment, decrement or restore came before it, or the block's access conditions keep this key from writing it"},
    {Op::RESET,            "the reader refused the reset"},
    {Op::READ_VERSION,     "the reader did not give its hardware version"},
    {Op::READ_ID,          "the reader did not give its identity number"},
    {Op::READ_E2,          "the reader refused the E2PROM read: the address is beyond its E2PROM"},
    {Op::WRITE_E2,         "the reader refused the E2PROM write: the address is in its read-only part, or beyond its E2PROM"},
    {Op::LINK_TEST,        "the reader failed its link test: it is there but not well; reset it or switch its power off and on"},
    {Op::BEEP,             "the reader refused the beep: a mode or duration it does not take"},
    {Op::READ_CLOCK,       "the reader did not give its clock: it may have none"},
    {Op::SET_CLOCK,        "the reader refused the clock: the seven bytes are not a time it takes"},
}};
// clang-format on

constexpr const char* refusal_words(Op op) {
    return REFUSALS[static_cast<std::size_t>(op)].words;
}

// Every command has its words (a new row of COMMANDS without a row here leaves an empty one),
// in Op order, none too long.
constexpr bool refusals_are_complete() {
    for (std::size_t i = 0; i < REFUSALS.size(); ++i) {
        const Refusal& r = REFUSALS[i];
        if (static_cast<std::size_t>(r.op) != i || r.words == nullptr || r.words[0] == '\0') {
            return false;
        }
        std::size_t n = 0;
        while (r.words[n] != '\0') ++n;
        if (n > REFUSAL_WORDS_MAX) return false;
    }
    return true;
}
static_assert(refusals_are_complete(), "a command has no words for its refusal");

}  // namespace tqrf
