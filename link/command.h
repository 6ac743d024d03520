// The one path every reader command takes: lock, port check, argument check, payload, one
// transaction, copy out, result. A command is a row of the command table (link/commands.h);
// a call hands over its arguments and outputs.
//
// The reader's policy decides what is checked. The default reader of the legacy exports runs
// the legacy policy: no port gives TQRF_ERR_PORT_NOT_OPEN before anything else, a null pointer
// TQRF_ERR_FAILED, numbers are cut to their fields without a check, and outputs are written from
// any valid reply, whatever its status. Handles run the checked policy: arguments are checked first
// (TQRF_ERR_BAD_ARGUMENT), a status-0 reply must carry the row's data bytes
// (TQRF_ERR_REPLY_LENGTH), and outputs are written only then; a device that is gone gives
// TQRF_ERR_DEVICE_LOST until close.
#pragma once

#include <cstdint>
#include <type_traits>

#include "link/commands.h"
#include "link/reader.h"
#include "link/transaction.h"
#include "link/wire.h"
#include "os/serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

// A valid reply frame of `size` bytes: LEN, data bytes, status byte, XOR.
class Reply {
  public:
    Reply(const std::uint8_t* frame, std::uint32_t size) : frame_(frame), size_(size) {}

    std::uint32_t size() const { return size_; }
    std::uint32_t data_count() const { return size_ - REPLY_FRAME_MIN; }
    const std::uint8_t* data() const { return frame_ + REPLY_DATA_OFFSET; }
    std::uint8_t at(std::uint32_t position) const { return frame_[position]; }

    // Copies the data bytes, at most `max` of them, to `out`. Returns the number copied.
    std::uint32_t copy_data(std::uint8_t* out, std::uint32_t max) const {
        const std::uint32_t n = data_count() < max ? data_count() : max;
        for (std::uint32_t i = 0; i < n; ++i) out[i] = frame_[REPLY_DATA_OFFSET + i];
        return n;
    }

    // Copies frame positions first .. first + count - 1 to `out`, leaving the output bytes
    // whose positions lie beyond the frame as they were.
    void copy_positions(std::uint32_t first, std::uint8_t* out, std::uint32_t count) const {
        for (std::uint32_t i = 0; i < count && first + i < size_; ++i) out[i] = frame_[first + i];
    }

  private:
    const std::uint8_t* frame_;
    std::uint32_t size_;
};

// One call of a command: its numeric arguments (taken by the row's fields in order), its input
// buffer and where its outputs go.
struct Call {
    std::int32_t args[2] = {};
    const std::uint8_t* in = nullptr;
    std::uint8_t* out[3] = {};
    std::uint32_t* word = nullptr;    // Copy::VALUE, Copy::ID
    std::uint32_t capacity = 0;       // sized Copy::DATA on a handle: room in out[0]
    std::uint32_t* length = nullptr;  // Copy::DATA: count of data bytes
};

// Parameter helpers: arguments are cut to their low byte first.
inline constexpr std::uint8_t low_byte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

// Writes a 32-bit value least significant byte first.
inline void put_value(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reads a 32-bit value least significant byte first.
inline std::uint32_t get_value(const std::uint8_t* in) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{in[i]} << (8 * i);
    return v;
}

// Argument checks of the handle API: nothing is folded.
inline constexpr bool in_range(std::int32_t value, std::int32_t low, std::int32_t high) {
    return value >= low && value <= high;
}

// Request mode flag: 0 wakes idle cards only (REQA), anything else halted cards too (WUPA).
inline constexpr std::uint8_t request_code(std::int32_t mode) {
    return low_byte(mode) == 0 ? REQUEST_IDLE : REQUEST_ALL;
}

// The command's outputs are all there (not null).
bool outputs_present(const CommandRow& row, const Call& call, Policy policy);

// Every number in the call fits its field (checked policy).
bool numbers_in_range(const CommandRow& row, const Call& call);

// Builds the payload of `row` for `call` into `payload` (REQUEST_PAYLOAD_MAX bytes). Returns
// the wait for its reply in milliseconds.
std::uint32_t build_payload(const CommandRow& row, const Call& call, std::uint8_t* payload);

// Writes the outputs of `call` from a valid reply under `policy` (for the checked policy a
// status-0 reply within the row's data bytes). Returns 0, or TQRF_ERR_BUFFER_TOO_SMALL.
int copy_outputs(const CommandRow& row, const Call& call, Policy policy, const Reply& reply);

namespace detail {

inline std::uint32_t frame_size(const std::uint8_t* reply) {
    return ((std::uint32_t{reply[0]} << 8) | reply[1]) + FRAME_OVERHEAD;
}

// The row's own output rule (copy_outputs).
struct RowCopy {
    int operator()(const CommandRow& row, const Call& call, Policy policy,
                   const Reply& reply) const {
        return copy_outputs(row, call, policy, reply);
    }
};

}  // namespace detail

namespace detail {

// One exchange of `cmd` for `call` on a reader whose lock is held and whose arguments have
// passed: payload, transaction, reply checks, outputs. Returns the result; traces no result.
template <class Special>
int exchange(tqrf_reader& reader, const CommandRow& cmd, const Call& call, Special&& special) {
    const Policy policy = reader.policy;
    std::uint8_t payload[REQUEST_PAYLOAD_MAX];
    const std::uint32_t wait_ms = build_payload(cmd, call, payload);
    std::uint8_t reply[REPLY_FRAME_MAX];
    int result = transact_command(reader, payload, cmd.length, reply, wait_ms);
    bool copy = result >= 0;
    if (policy == Policy::CHECKED) {
        copy = false;
        if (serial::device_lost(reader.device)) {
            reader.lost = true;
            result = TQRF_ERR_DEVICE_LOST;
        } else if (result == 0) {
            const std::uint32_t count = frame_size(reply) - REPLY_FRAME_MIN;
            if (count < cmd.reply.min || count > cmd.reply.max) {
                // Not this command's reply: its own may still be on its way.
                result = TQRF_ERR_REPLY_LENGTH;
                reader.settle = reader.settle_after_failure;
            } else {
                copy = true;
            }
        }
    }
    if (copy) {
        const Reply r(reply, frame_size(reply));
        const int copied = special(cmd, call, policy, r);
        if (copied != 0) result = copied;
    }
    return result;
}

}  // namespace detail

// One exchange with the row's own output rule (detail::exchange with RowCopy).
int exchange_once(tqrf_reader& reader, Op op, const Call& call);

// A checked command with the reader's attempts: repeated after a lost reply where the
// command's retry rule allows it (link/retry_rules.h), counted in the reader's stats.
int run_checked(tqrf_reader& reader, Op op, const Call& call);

// Runs command `op` for `call` on `reader` under the reader's policy. `special`, when given,
// writes the outputs in place of the row's rule (the text forms): it is called as the row's
// rule would be, with the row, the call, the policy and the reply, and returns 0 or a result.
template <class Special = detail::RowCopy>
int run(tqrf_reader* reader, Op op, const Call& call, Special&& special = Special{}) {
    if (reader == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    const CommandRow& cmd = row(op);
    const Policy policy = reader->policy;
    ReaderLock lock(*reader);
    int result = 0;
    if (policy == Policy::LEGACY) {
        if (reader->device == nullptr) return TQRF_ERR_PORT_NOT_OPEN;
        if (!outputs_present(cmd, call, policy)) result = TQRF_ERR_FAILED;
    } else if (reader->lost) {
        result = TQRF_ERR_DEVICE_LOST;
    } else if (!outputs_present(cmd, call, policy) || !numbers_in_range(cmd, call)) {
        result = TQRF_ERR_BAD_ARGUMENT;
    }
    if (result == 0) {
        if constexpr (std::is_same_v<std::decay_t<Special>, detail::RowCopy>) {
            result = policy == Policy::CHECKED ? run_checked(*reader, op, call)
                                               : exchange_once(*reader, op, call);
        } else {
            result = detail::exchange(*reader, cmd, call, special);
        }
    }
    reader->refused_op = op;
    reader->refused_status = result > 0 && result <= 255 ? result : 0;
    trace_event(*reader, TQRF_TRACE_RESULT, result, nullptr, 0);
    return result;
}

// The legacy exports' reader.
inline tqrf_reader* legacy() {
    return &default_reader();
}

}  // namespace tqrf
