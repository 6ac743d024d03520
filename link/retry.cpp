// Repeats where a repeat is safe, on handles only: a command whose reply was lost, late,
// garbled or of the wrong length is dealt with by its retry rule (link/retry_rules.h), within
// the reader's attempts; a value change settles a lost reply by reading the value back. Every
// step is an exchange of its own on the command path (no allocation, every wait bounded by its
// reply deadline, every loop by the attempts). The default reader never comes here.
#include "link/retry.h"

#include <cstring>

#include "link/command.h"
#include "link/retry_rules.h"
#include "os/serial.h"

namespace tqrf {

namespace {

// The failures after which the reply may have been lost on the way: the reader may have acted.
bool reply_lost(int result) {
    return result == TQRF_ERR_REPLY_FRAME || result == TQRF_ERR_REPLY_CHECKSUM ||
           result == TQRF_ERR_REPLY_LENGTH;
}

// A repeat (or a settling) in the trace and the counters.
void note(tqrf_reader& reader, Op op, std::uint32_t attempt, std::uint8_t what, int cause) {
    const std::uint8_t bytes[3] = {row(op).code, static_cast<std::uint8_t>(attempt), what};
    trace_event(reader, TQRF_TRACE_RETRY, cause, bytes, sizeof bytes);
    if (what != TQRF_RETRY_SETTLED) ++reader.stats.retries;
}

// What the reader has selected and authenticated, for a repeat that needs it.
void remember(tqrf_reader& reader, Op op, const Call& call) {
    if (op == Op::SELECT) {
        std::memcpy(reader.serial, call.in, SERIAL_BYTES);
        reader.has_serial = true;
        reader.has_auth = false;
    } else if (op == Op::CARD_FIND_SELECT) {
        std::memcpy(reader.serial, call.out[1], SERIAL_BYTES);
        reader.has_serial = true;
        reader.has_auth = false;
    } else if (op == Op::AUTHENTICATE) {
        reader.has_auth = true;
        reader.auth_key_type = call.args[0];
        reader.auth_sector = call.args[1];
    }
}

int attempt(tqrf_reader& reader, Op op, const Call& call, bool* troubled = nullptr);

// Selects the reader's last card again: a wake-up request for all cards, then its select.
int reselect(tqrf_reader& reader) {
    std::uint8_t type[CARD_TYPE_BYTES];
    std::uint8_t size = 0;
    std::uint8_t serial[SERIAL_BYTES];
    std::memcpy(serial, reader.serial, SERIAL_BYTES);
    const int woken = attempt(reader, Op::REQUEST, {.args = {TQRF_REQUEST_ALL}, .out = {type}});
    if (woken != 0) return woken;
    return attempt(reader, Op::SELECT, {.in = serial, .out = {&size}});
}

enum class Found : std::uint8_t { THERE, NOT_THERE, UNKNOWN };

// BCD byte to its number; 0xFF when it is no BCD.
std::uint32_t from_bcd(std::uint8_t b) {
    if ((b >> 4) > 9 || (b & 0x0F) > 9) return 0xFF;
    return (b >> 4) * 10u + (b & 0x0Fu);
}

// The clock reads back as set: bytes 1 to 6 (minutes to year) equal, the seconds at most
// `ahead` seconds past the ones set (a setting across a minute's end reads as not there and is
// made again, a few seconds behind: harmless).
bool clock_matches(const std::uint8_t* set, const std::uint8_t* read, std::uint32_t ahead) {
    if (std::memcmp(set + 1, read + 1, CLOCK_BYTES - 1) != 0) return false;
    const std::uint32_t s = from_bcd(set[0]);
    const std::uint32_t r = from_bcd(read[0]);
    if (s == 0xFF || r == 0xFF) return set[0] == read[0];
    return r >= s && r - s <= ahead;
}

// Reads back what a write whose reply was lost should have left.
Found read_back(tqrf_reader& reader, Op op, const Call& call, std::uint64_t started_us) {
    std::uint8_t data[REPLY_DATA_MAX];
    std::uint32_t length = 0;
    int result;
    std::uint32_t need;
    if (op == Op::WRITE_BLOCK) {
        // A trailer reads back without its keys: it cannot be told there.
        if (call.args[0] % 4 == 3) return Found::UNKNOWN;
        result = attempt(reader, Op::READ_BLOCK, {.args = {call.args[0]}, .out = {data}});
        length = BLOCK_BYTES;
        need = BLOCK_BYTES;
    } else if (op == Op::INIT_VALUE) {
        // The value is what a value read shows (the block's address bytes are not compared).
        std::uint32_t value = 0;
        result = attempt(reader, Op::READ_VALUE, {.args = {call.args[0]}, .word = &value});
        if (result != 0) return Found::UNKNOWN;
        return value == static_cast<std::uint32_t>(call.args[1]) ? Found::THERE : Found::NOT_THERE;
    } else if (op == Op::WRITE_E2) {
        result = attempt(
            reader, Op::READ_E2,
            {.args = {call.args[0]}, .out = {data}, .capacity = REPLY_DATA_MAX, .length = &length});
        need = E2_WRITE_BYTES;
    } else {
        result = attempt(reader, Op::READ_CLOCK,
                         {.out = {data}, .capacity = REPLY_DATA_MAX, .length = &length});
        need = CLOCK_BYTES;
    }
    if (result != 0 || length < need) return Found::UNKNOWN;
    if (op == Op::SET_CLOCK) {
        const std::uint64_t taken_s = (serial::now_us() - started_us) / 1'000'000;
        const std::uint32_t ahead = static_cast<std::uint32_t>(taken_s > 60 ? 60 : taken_s) + 1;
        return clock_matches(call.in, data, ahead) ? Found::THERE : Found::NOT_THERE;
    }
    return std::memcmp(data, call.in, need) == 0 ? Found::THERE : Found::NOT_THERE;
}

// One command with its retry rule, within the reader's attempts. The reader's lock is held
// and the arguments have passed. `troubled`, when given, is set when the first reply was lost.
int attempt(tqrf_reader& reader, Op op, const Call& call, bool* troubled) {
    const Retry rule = retry_rule(op);
    const std::uint64_t started_us = serial::now_us();
    int result = exchange_once(reader, op, call);
    if (troubled != nullptr && reply_lost(result)) *troubled = true;
    std::uint32_t made = 1;
    while (reply_lost(result) && rule != Retry::NEVER && reader.attempts > 1) {
        std::uint8_t what = TQRF_RETRY_REPEATED;
        if (rule == Retry::READ_BACK) {
            const Found found = read_back(reader, op, call, started_us);
            if (found == Found::UNKNOWN) break;
            if (found == Found::THERE) {
                note(reader, op, made, TQRF_RETRY_SETTLED, result);
                result = 0;
                break;
            }
            if (made >= reader.attempts) {
                result = TQRF_ERR_NOT_APPLIED;
                break;
            }
            what = TQRF_RETRY_NOT_THERE;
        } else if (made >= reader.attempts) {
            break;
        } else if (rule == Retry::RESELECT) {
            if (!reader.has_serial) break;
            what = TQRF_RETRY_RESELECTED;
        }
        ++made;
        note(reader, op, made, what, result);
        if (rule == Retry::RESELECT) {
            const int selected = reselect(reader);
            if (selected != 0) {
                result = selected;
                continue;  // a lost reply of the re-selection uses up this attempt
            }
        }
        result = exchange_once(reader, op, call);
    }
    if (result == 0) remember(reader, op, call);
    return result;
}

// Counts one call in the reader's stats.
void count(tqrf_reader& reader, bool troubled, int result) {
    if (result == 0 && troubled) ++reader.stats.recoveries;
    if (reply_lost(result) || result == TQRF_ERR_NOT_APPLIED || result == TQRF_ERR_VALUE_CONFLICT) {
        ++reader.stats.failures;
    }
}

// Selects the card and authenticates again, when this reader knows how.
int login_again(tqrf_reader& reader) {
    if (!reader.has_serial || !reader.has_auth) return 0;
    const std::int32_t key_type = reader.auth_key_type;
    const std::int32_t sector = reader.auth_sector;
    const int selected = reselect(reader);
    if (selected != 0) return selected;
    return attempt(reader, Op::AUTHENTICATE, {.args = {key_type, sector}});
}

// The value change of tqrf_reader_value_apply(); `troubled` tells whether a reply was lost.
int change_value(tqrf_reader& reader, std::int32_t block, std::int32_t delta, std::uint32_t* before,
                 std::uint32_t* after, bool* troubled) {
    const Op op = delta >= 0 ? Op::INCREMENT : Op::DECREMENT;
    const std::uint32_t amount =
        delta >= 0 ? static_cast<std::uint32_t>(delta) : 0u - static_cast<std::uint32_t>(delta);
    bool unchanged = false;  // a lost reply was settled as "not done"
    for (std::uint32_t made = 1;; ++made) {
        if (made > 1) {
            const int again = login_again(reader);
            if (again != 0) return unchanged && reply_lost(again) ? TQRF_ERR_NOT_APPLIED : again;
        }
        std::uint32_t value = 0;
        int result = attempt(reader, Op::READ_VALUE, {.args = {block}, .word = &value});
        if (result != 0) return unchanged && reply_lost(result) ? TQRF_ERR_NOT_APPLIED : result;
        const std::uint32_t expected = delta >= 0 ? value + amount : value - amount;

        result = exchange_once(reader, op, {.args = {block, static_cast<std::int32_t>(amount)}});
        Op lost = op;
        if (result == 0) {
            result = exchange_once(reader, Op::TRANSFER, {.args = {block}});
            if (result == 0) {
                *before = value;
                *after = expected;
                return 0;
            }
            lost = Op::TRANSFER;
        }
        if (!reply_lost(result)) return result;  // a reader status: that step was refused
        *troubled = true;
        if (lost == Op::TRANSFER) {
            // Did the transfer write the block? Read it back (after a fresh login when the
            // card no longer answers the read).
            std::uint32_t now = 0;
            int read = attempt(reader, Op::READ_VALUE, {.args = {block}, .word = &now});
            if (read > 0 && login_again(reader) == 0) {
                read = attempt(reader, Op::READ_VALUE, {.args = {block}, .word = &now});
            }
            if (read != 0) return result;  // not known whether it was done
            if (now == expected) {
                note(reader, lost, made, TQRF_RETRY_SETTLED, result);
                *before = value;
                *after = now;
                return 0;
            }
            if (now != value) {
                *before = value;
                *after = now;
                return TQRF_ERR_VALUE_CONFLICT;
            }
        }
        // Not done: the block holds the value before (an increment or decrement only fills the
        // card's transfer buffer).
        unchanged = true;
        if (made >= reader.attempts) return TQRF_ERR_NOT_APPLIED;
        note(reader, lost, made + 1, TQRF_RETRY_UNCHANGED, result);
    }
}

}  // namespace

int run_checked(tqrf_reader& reader, Op op, const Call& call) {
    ++reader.stats.requests;
    bool troubled = false;
    const int result = attempt(reader, op, call, &troubled);
    count(reader, troubled, result);
    return result;
}

int apply_value(tqrf_reader* reader, std::int32_t block, std::int32_t delta, std::uint32_t* before,
                std::uint32_t* after) {
    if (reader == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*reader);
    int result;
    if (reader->policy != Policy::CHECKED) {
        result = TQRF_ERR_BAD_ARGUMENT;
    } else if (reader->lost) {
        result = TQRF_ERR_DEVICE_LOST;
    } else if (!in_range(block, 0, 63) || before == nullptr || after == nullptr) {
        result = TQRF_ERR_BAD_ARGUMENT;
    } else {
        ++reader->stats.requests;
        bool troubled = false;
        std::uint32_t was = 0;
        std::uint32_t now = 0;
        result = change_value(*reader, block, delta, &was, &now, &troubled);
        count(*reader, troubled, result);
        if (result == 0 || result == TQRF_ERR_VALUE_CONFLICT) {
            *before = was;
            *after = now;
        }
    }
    trace_event(*reader, TQRF_TRACE_RESULT, result, nullptr, 0);
    return result;
}

}  // namespace tqrf
