#include "link/transaction.h"

#include "link/link.h"
#include "link/wire.h"
#include "os/serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

int transact_command(tqrf_reader& reader, const std::uint8_t* payload, std::uint16_t length,
                     std::uint8_t* reply, std::uint32_t wait_ms) {
    const bool complete = reader.reply_mode == TQRF_REPLY_COMPLETE;
    const std::uint64_t window_us =
        (std::uint64_t{wait_ms} + (complete ? reader.slack_ms : 0)) * 1000;

    // A reply that came too late for the last exchange may still be on its way: let it land and
    // drop it, so that it is never taken for this command's.
    if (reader.settle) {
        reader.settle = false;
        link_settle(reader, serial::now_us() + window_us);
    }

    const int sent = link_send_frame(reader, READER_ADDRESS, length, payload);
    if (sent != static_cast<int>(length + FRAME_OVERHEAD)) return TQRF_ERR_SEND_FAILED;

    int size;
    if (complete) {
        size = link_await_reply(reader, reply, serial::now_us() + window_us);
        // Bytes behind the frame: whatever they are, they are not the next command's reply.
        if (size > 0 && serial::bytes_waiting(reader.device) > 0) {
            reader.settle = reader.settle_after_failure;
        }
    } else {
        // No polling: the reply frame must be complete in the input queue when the pause ends.
        serial::pause_ms(wait_ms);
        size = link_receive_reply(reader, reply);
    }
    if (size < 0) {
        reader.settle = reader.settle_after_failure;
        return size;
    }
    return reply[size - 2];
}

int transact_command(const std::uint8_t* payload, std::uint16_t length, std::uint8_t* reply,
                     std::uint32_t wait_ms) {
    return transact_command(default_reader(), payload, length, reply, wait_ms);
}

}  // namespace tqrf
