#include "link/link.h"

#include <cstring>

#include "link/answer.h"
#include "link/frame.h"
#include "link/wire.h"
#include "os/serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

namespace {

std::uint32_t announced_size(const std::uint8_t* frame) {
    return ((std::uint32_t{frame[0]} << 8) | frame[1]) + FRAME_OVERHEAD;
}

// Hands the bytes taken as the reply to the trace, then validates them into `out`.
int finish_reply(tqrf_reader& reader, const std::uint8_t* received, std::uint32_t n, int verdict,
                 std::uint8_t* out) {
    trace_event(reader, TQRF_TRACE_REPLY, 0, received, n);
    if (verdict == 0) verdict = frame_check(received, n);
    note_reply(reader, received, n, verdict == 0);
    if (verdict != 0) {
        std::memset(out, 0, n);
        return verdict;
    }
    std::memcpy(out, received, n);
    return static_cast<int>(n);
}

}  // namespace

std::uint32_t port_write(tqrf_reader& reader, const std::uint8_t* bytes, std::uint32_t count) {
    return serial::write_bytes(reader.device, bytes, count);
}

std::uint32_t port_read(tqrf_reader& reader, std::uint8_t* buffer, std::uint32_t max) {
    const std::uint32_t waiting = serial::bytes_waiting(reader.device);
    const std::uint32_t wanted = waiting < max ? waiting : max;
    if (wanted == 0) return 0;
    const std::uint32_t taken = serial::read_waiting(reader.device, buffer, wanted);
    return taken <= wanted ? taken : wanted;
}

int link_send_frame(tqrf_reader& reader, std::uint8_t address, std::uint16_t length,
                    const std::uint8_t* payload) {
    serial::Device* device = reader.device;
    note_request(reader, address, nullptr, 0);
    serial::purge_input(device);
    serial::purge_output(device);

    // The ninth bit tells the reader's address from frame bytes: mark for the address byte.
    (void)serial::apply_mode(device, serial::LinkMode::Address);
    if (port_write(reader, &address, 1) != 1) return TQRF_ERR_SEND_FAILED;
    trace_event(reader, TQRF_TRACE_ADDRESS, 0, &address, 1);
    serial::pause_ms(ADDRESS_PAUSE_MS);
    (void)serial::apply_mode(device, serial::LinkMode::Frame);

    std::uint8_t frame[REQUEST_FRAME_MAX];
    const std::uint32_t size = frame_encode(payload, length, frame, sizeof frame);
    if (size == 0) return TQRF_ERR_SEND_FAILED;
    note_request(reader, address, frame, size);
    const std::uint32_t written = port_write(reader, frame, size);
    if (written > 0) trace_event(reader, TQRF_TRACE_FRAME, 0, frame, written);
    if (written != size) return TQRF_ERR_SEND_FAILED;
    return static_cast<int>(size);
}

int link_receive_reply(tqrf_reader& reader, std::uint8_t* out) {
    std::uint8_t received[REPLY_FRAME_MAX];
    const std::uint32_t n = port_read(reader, received, sizeof received);
    return finish_reply(reader, received, n, 0, out);
}

int link_await_reply(tqrf_reader& reader, std::uint8_t* out, std::uint64_t deadline_us) {
    std::uint8_t received[REPLY_FRAME_MAX];
    std::uint32_t have = 0;
    // First the two LEN bytes, then the rest of the frame they announce: never a byte more.
    std::uint32_t need = 2;
    int verdict = 0;
    for (;;) {
        const std::uint32_t taken = port_read(reader, received + have, need - have);
        if (taken > 0) {
            have += taken;
            if (need == 2 && have == 2) {
                const std::uint32_t size = announced_size(received);
                if (size < REPLY_FRAME_MIN || size > REPLY_FRAME_MAX) {
                    // No frame can have this size: waiting for more would not help.
                    verdict = TQRF_ERR_REPLY_FRAME;
                    break;
                }
                need = size;
            }
            if (have == need && need > 2) break;
            continue;
        }
        const std::uint64_t now = serial::now_us();
        if (now >= deadline_us || serial::device_lost(reader.device)) break;
        const std::uint64_t left = deadline_us - now;
        const std::uint32_t wait_us =
            left > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(left);
        if (serial::wait_readable(reader.device, wait_us) == serial::Wait::Lost) break;
    }
    if (verdict == 0 && have != need) verdict = TQRF_ERR_REPLY_FRAME;
    return finish_reply(reader, received, have, verdict, out);
}

void link_settle(tqrf_reader& reader, std::uint64_t deadline_us) {
    constexpr std::uint32_t quiet_us = SETTLE_QUIET_MS * 1000;
    for (;;) {
        const std::uint64_t now = serial::now_us();
        if (now >= deadline_us) break;
        const std::uint64_t left = deadline_us - now;
        const std::uint32_t wait_us = left < quiet_us ? static_cast<std::uint32_t>(left) : quiet_us;
        const serial::Wait wait = serial::wait_readable(reader.device, wait_us);
        if (wait != serial::Wait::Ready) break;  // quiet for the whole time, or gone
        serial::purge_input(reader.device);
    }
    serial::purge_input(reader.device);
}

int link_send_frame(std::uint8_t address, std::uint16_t length, const std::uint8_t* payload) {
    return link_send_frame(default_reader(), address, length, payload);
}

int link_receive_reply(std::uint8_t* out) {
    return link_receive_reply(default_reader(), out);
}

}  // namespace tqrf
