// What a handle does when a command's reply is lost, late, garbled or of the wrong length:
// one entry per command, in the order of the command table (link/commands.h). The default
// reader never repeats anything.
#pragma once

#include <array>
#include <cstddef>

#include "link/commands.h"

namespace tqrf {

enum class Retry : std::uint8_t {
    NEVER,      // the reply's failure is the result: the command may have acted
    REPEAT,     // reads and selections: sent again after the line is purged
    RESELECT,   // authentication: sent again after the card is selected again
    READ_BACK,  // writes: sent again only when reading back shows them not there
};

struct RetryRule {
    Op op;
    Retry retry;
};

// clang-format off
inline constexpr std::array<RetryRule, 24> RETRY_RULES = {{
    {Op::REQUEST,          Retry::REPEAT},
    {Op::ANTICOLL,         Retry::REPEAT},
    {Op::SELECT,           Retry::REPEAT},
    {Op::HALT,             Retry::NEVER},      // a halted card does not answer a second halt
    {Op::CARD_FIND_SELECT, Retry::REPEAT},
    {Op::LOAD_KEY,         Retry::REPEAT},
    {Op::AUTHENTICATE,     Retry::RESELECT},   // a failed authentication drops the card
    {Op::READ_BLOCK,       Retry::REPEAT},
    {Op::WRITE_BLOCK,      Retry::READ_BACK},  // the block
    {Op::INIT_VALUE,       Retry::READ_BACK},  // a value read
    {Op::READ_VALUE,       Retry::REPEAT},
    {Op::INCREMENT,        Retry::NEVER},      // settled by tqrf_reader_value_apply()
    {Op::DECREMENT,        Retry::NEVER},
    {Op::RESTORE,          Retry::NEVER},
    {Op::TRANSFER,         Retry::NEVER},
    {Op::RESET,            Retry::NEVER},
    {Op::READ_VERSION,     Retry::REPEAT},
    {Op::READ_ID,          Retry::REPEAT},
    {Op::READ_E2,          Retry::REPEAT},
    {Op::WRITE_E2,         Retry::READ_BACK},  // an E2PROM read from the same address
    {Op::LINK_TEST,        Retry::REPEAT},
    {Op::BEEP,             Retry::NEVER},      // a repeat would sound twice
    {Op::READ_CLOCK,       Retry::REPEAT},
    {Op::SET_CLOCK,        Retry::READ_BACK},  // a clock read
}};
// clang-format on

constexpr bool retry_rules_follow_the_table() {
    if (RETRY_RULES.size() != COMMANDS.size()) return false;
    for (std::size_t i = 0; i < RETRY_RULES.size(); ++i) {
        if (RETRY_RULES[i].op != COMMANDS[i].op) return false;
    }
    return true;
}
static_assert(retry_rules_follow_the_table(), "one retry rule per command, in table order");

constexpr Retry retry_rule(Op op) {
    return RETRY_RULES[static_cast<std::size_t>(op)].retry;
}

}  // namespace tqrf
