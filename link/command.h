// The one path every reader command takes: port check, argument check, payload, one
// transaction, copy out, result. A command is described by its code, its payload length, how
// it fills its parameters and what it copies out of a valid reply.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "link/port.h"
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

struct NoCopy {
    void operator()(const Reply&) const {}
};

// Runs `command`: with no port open returns ERR_PORT_NOT_OPEN before anything else; with a
// null pointer among `required` returns ERR_FAILED; otherwise `fill` writes the parameters
// (payload bytes 2 onward), the transaction runs with `wait_ms`, and on a valid reply `copy`
// takes the command's data from it. Returns the transaction's result.
template <class Fill, class Copy = NoCopy>
int run_command(Command command, std::initializer_list<const void*> required, Fill&& fill,
                Copy&& copy = Copy{}, std::uint32_t wait_ms = REPLY_WAIT_MS) {
    if (const int closed = port_is_open()) return closed;
    for (const void* pointer : required) {
        if (pointer == nullptr) return ERR_FAILED;
    }
    std::uint8_t payload[REQUEST_PAYLOAD_MAX] = {COMMAND_LEAD, command.code};
    fill(payload + 2);
    std::uint8_t reply[REPLY_FRAME_MAX];
    const int result = transact_command(payload, command.length, reply, wait_ms);
    if (result >= 0) {
        const std::uint32_t size = ((std::uint32_t{reply[0]} << 8) | reply[1]) + FRAME_OVERHEAD;
        copy(Reply(reply, size));
    }
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

}  // namespace tqrf
