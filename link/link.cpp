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
    const std::uint32_t taken = serial::read_bytes(reader.device, buffer, 0, max, 0);
    return taken <= max ? taken : max;
}

int link_send_frame(tqrf_reader& reader, std::uint8_t address, std::uint16_t length,
                    const std::uint8_t* payload) {
    serial::Device* device = reader.device;
    note_request(reader, address, nullptr, 0);
    // The fixed-pause exchange (the legacy exports' and a handle's in fixed mode) discards both
    // queues, as it always has. The complete-reply exchange discards its input only: every
    // write waits until its bytes have left, so nothing is left to send unless the last write
    // did not complete.
    serial::purge_input(device);
    if (reader.reply_mode != TQRF_REPLY_COMPLETE || reader.unsent) serial::purge_output(device);
    reader.unsent = false;

    // The ninth bit tells the reader's address from frame bytes: mark for the address byte.
    (void)serial::apply_mode(device, serial::LinkMode::Address);
    if (port_write(reader, &address, 1) != 1) {
        reader.unsent = true;
        return TQRF_ERR_SEND_FAILED;
    }
    trace_event(reader, TQRF_TRACE_ADDRESS, 0, &address, 1);
    serial::pause_ms(ADDRESS_PAUSE_MS);
    (void)serial::apply_mode(device, serial::LinkMode::Frame);

    std::uint8_t frame[REQUEST_FRAME_MAX];
    const std::uint32_t size = frame_encode(payload, length, frame, sizeof frame);
    if (size == 0) return TQRF_ERR_SEND_FAILED;
    note_request(reader, address, frame, size);
    const std::uint32_t written = port_write(reader, frame, size);
    if (written > 0) trace_event(reader, TQRF_TRACE_FRAME, 0, frame, written);
    if (written != size) {
        reader.unsent = true;
        return TQRF_ERR_SEND_FAILED;
    }
    return static_cast<int>(size);
}

int link_receive_reply(tqrf_reader& reader, std::uint8_t* out) {
    std::uint8_t received[REPLY_FRAME_MAX];
    const std::uint32_t n = port_read(reader, received, sizeof received);
    return finish_reply(reader, received, n, 0, out);
}

int link_await_reply(tqrf_reader& reader, std::uint8_t* out, std::uint64_t deadline_us) {
    std::uint8_t received[REPLY_FRAME_MAX];
    // First the two LEN bytes, then the rest of the frame they announce, sized from it: never a
    // byte more.
    std::uint32_t have = serial::read_bytes(reader.device, received, 2, 2, deadline_us);
    int verdict = 0;
    std::uint32_t need = 2;
    if (have == 2) {
        need = announced_size(received);
        if (need < REPLY_FRAME_MIN || need > REPLY_FRAME_MAX) {
            // No frame can have this size: waiting for more would not help.
            verdict = TQRF_ERR_REPLY_FRAME;
        } else {
            const std::uint32_t rest = need - 2;
            have += serial::read_bytes(reader.device, received + 2, rest, rest, deadline_us, true);
        }
    }
    if (verdict == 0 && have != need) verdict = TQRF_ERR_REPLY_FRAME;
    return finish_reply(reader, received, have, verdict, out);
}

void link_settle(tqrf_reader& reader, std::uint64_t deadline_us) {
    constexpr std::uint32_t quiet_us = SETTLE_QUIET_MS * 1000;
    std::uint8_t discard[REPLY_FRAME_MAX];
    for (;;) {
        const std::uint64_t now = serial::now_us();
        if (now >= deadline_us || serial::device_lost(reader.device)) break;
        const std::uint64_t left = deadline_us - now;
        const std::uint64_t until = now + (left < quiet_us ? left : quiet_us);
        // Quiet for the whole time, or gone: settled.
        if (serial::read_bytes(reader.device, discard, 1, sizeof discard, until) == 0) break;
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
