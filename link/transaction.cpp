#include "link/transaction.h"

#include "link/link.h"
#include "link/serial.h"
#include "link/wire.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

int transact_command(const std::uint8_t* payload, std::uint16_t length, std::uint8_t* reply,
                     std::uint32_t wait_ms) {
    const int sent = link_send_frame(READER_ADDRESS, length, payload);
    if (sent != static_cast<int>(length + FRAME_OVERHEAD)) return ERR_SEND_FAILED;

    // No polling: the reply frame must be complete in the input queue when the pause ends.
    serial::pause_ms(wait_ms);

    const int size = link_receive_reply(reply);
    if (size < 0) return size;
    return reply[size - 2];
}

}  // namespace tqrf
