// The one path every reader command takes: lock, port check, argument check, payload, one
// transaction, copy out, result. A command is described by its code, its payload length, how
// it fills its parameters and what it copies out of a valid reply.
//
// The legacy exports run on the default reader with run_command(): outputs are written from
// any valid reply, whatever its status. The handle API runs with run_checked(): arguments are
// checked first, a status-0 reply must carry the command's data bytes, and outputs are written
// only then.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "link/reader.h"
#include "link/serial.h"
#include "link/transaction.h"
#include "link/wire.h"
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

struct Command {
    std::uint8_t code;
    std::uint16_t length;  // payload length, COMMAND_LEAD and code included
};

// The number of data bytes a status-0 reply must carry.
struct DataBytes {
    std::uint32_t min;
    std::uint32_t max;
};
inline constexpr DataBytes exactly(std::uint32_t n) {
    return {n, n};
}
inline constexpr DataBytes NO_DATA = exactly(0);
inline constexpr DataBytes ANY_DATA = {0, REPLY_DATA_MAX};

struct NoCopy {
    void operator()(const Reply&) const {}
};

namespace detail {

inline std::uint32_t frame_size(const std::uint8_t* reply) {
    return ((std::uint32_t{reply[0]} << 8) | reply[1]) + FRAME_OVERHEAD;
}

// Builds the payload and runs the transaction. Returns its result with the frame in `reply`.
template <class Fill>
int exchange(tqrf_reader& reader, Command command, Fill& fill, std::uint8_t* reply,
             std::uint32_t wait_ms) {
    std::uint8_t payload[REQUEST_PAYLOAD_MAX] = {COMMAND_LEAD, command.code};
    fill(payload + 2);
    return transact_command(reader, payload, command.length, reply, wait_ms);
}

}  // namespace detail

// Runs `command` on the default reader: with no port open returns ERR_PORT_NOT_OPEN before
// anything else; with a null pointer among `required` returns ERR_FAILED; otherwise `fill`
// writes the parameters (payload bytes 2 onward), the transaction runs with `wait_ms`, and on
// a valid reply `copy` takes the command's data from it. Returns the transaction's result.
template <class Fill, class Copy = NoCopy>
int run_command(Command command, std::initializer_list<const void*> required, Fill&& fill,
                Copy&& copy = Copy{}, std::uint32_t wait_ms = REPLY_WAIT_MS) {
    tqrf_reader& reader = default_reader();
    ReaderLock lock(reader);
    if (reader.device == nullptr) return ERR_PORT_NOT_OPEN;
    int result = 0;
    for (const void* pointer : required) {
        if (pointer == nullptr) result = ERR_FAILED;
    }
    if (result == 0) {
        std::uint8_t reply[REPLY_FRAME_MAX];
        result = detail::exchange(reader, command, fill, reply, wait_ms);
        if (result >= 0) copy(Reply(reply, detail::frame_size(reply)));
    }
    trace_event(reader, TQRF_TRACE_RESULT, result, nullptr, 0);
    return result;
}

// Runs `command` on a handle: ERR_BAD_ARGUMENT for a null reader or when `arguments_ok` is
// false, ERR_DEVICE_LOST once the device is gone; otherwise the transaction runs, a non-zero
// status is passed on, a status-0 reply whose data count is outside `expect` gives
// ERR_REPLY_LENGTH, and only then `copy` takes the data. `copy` returns nothing, or a result
// of its own (0, or ERR_BUFFER_TOO_SMALL) that becomes the call's.
template <class Fill, class Copy = NoCopy>
int run_checked(tqrf_reader* reader, Command command, DataBytes expect, bool arguments_ok,
                Fill&& fill, Copy&& copy = Copy{}, std::uint32_t wait_ms = REPLY_WAIT_MS) {
    if (reader == nullptr) return ERR_BAD_ARGUMENT;
    ReaderLock lock(*reader);
    int result = 0;
    if (reader->lost) {
        result = ERR_DEVICE_LOST;
    } else if (!arguments_ok) {
        result = ERR_BAD_ARGUMENT;
    } else {
        std::uint8_t reply[REPLY_FRAME_MAX];
        result = detail::exchange(*reader, command, fill, reply, wait_ms);
        if (serial::device_lost(reader->device)) {
            reader->lost = true;
            result = ERR_DEVICE_LOST;
        } else if (result == 0) {
            const Reply r(reply, detail::frame_size(reply));
            if (r.data_count() < expect.min || r.data_count() > expect.max) {
                // Not this command's reply: its own may still be on its way.
                result = ERR_REPLY_LENGTH;
                reader->settle = reader->settle_after_failure;
            } else if constexpr (std::is_void_v<decltype(copy(r))>) {
                copy(r);
            } else {
                result = copy(r);
            }
        }
    }
    trace_event(*reader, TQRF_TRACE_RESULT, result, nullptr, 0);
    return result;
}

// Parameter helpers: arguments are cut to their low byte first.
inline std::uint8_t low_byte(std::int32_t value) {
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
inline bool in_range(std::int32_t value, std::int32_t low, std::int32_t high) {
    return value >= low && value <= high;
}

// Copies a variable-length reply into a caller's buffer of `capacity` bytes, reporting the
// length; ERR_BUFFER_TOO_SMALL, with nothing copied, when it does not fit.
struct CopyAll {
    std::uint8_t* out;
    std::uint32_t capacity;
    std::uint32_t* length;
    int operator()(const Reply& r) const {
        *length = r.data_count();
        if (r.data_count() > capacity) return ERR_BUFFER_TOO_SMALL;
        r.copy_data(out, capacity);
        return 0;
    }
};

}  // namespace tqrf
