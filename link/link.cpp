#include "link/link.h"

#include <cstring>

#include "link/frame.h"
#include "link/port.h"
#include "link/serial.h"
#include "link/wire.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

std::uint32_t port_write(const std::uint8_t* bytes, std::uint32_t count) {
    return serial::write_bytes(port_handle, bytes, count);
}

std::uint32_t port_read(std::uint8_t* buffer, std::uint32_t max) {
    const std::uint32_t waiting = serial::bytes_waiting(port_handle);
    const std::uint32_t wanted = waiting < max ? waiting : max;
    if (wanted == 0) return 0;
    const std::uint32_t taken = serial::read_waiting(port_handle, buffer, wanted);
    return taken <= wanted ? taken : wanted;
}

int link_send_frame(std::uint8_t address, std::uint16_t length, const std::uint8_t* payload) {
    serial::purge_input(port_handle);
    serial::purge_output(port_handle);

    // The ninth bit tells the reader's address from frame bytes: mark for the address byte.
    (void)serial::apply_mode(port_handle, MODE_ADDRESS);
    if (port_write(&address, 1) != 1) return ERR_SEND_FAILED;
    serial::pause_ms(ADDRESS_PAUSE_MS);
    (void)serial::apply_mode(port_handle, MODE_FRAME);

    std::uint8_t frame[REQUEST_FRAME_MAX];
    const std::uint32_t size = frame_encode(payload, length, frame, sizeof frame);
    if (size == 0) return ERR_SEND_FAILED;
    if (port_write(frame, size) != size) return ERR_SEND_FAILED;
    return static_cast<int>(size);
}

int link_receive_reply(std::uint8_t* out) {
    std::uint8_t received[REPLY_FRAME_MAX];
    const std::uint32_t n = port_read(received, sizeof received);
    const int verdict = frame_check(received, n);
    if (verdict != 0) {
        std::memset(out, 0, n);
        return verdict;
    }
    std::memcpy(out, received, n);
    return static_cast<int>(n);
}

}  // namespace tqrf
