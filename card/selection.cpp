// Card selection: request, anticollision, select, halt.
#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

int request(std::int32_t mode, std::uint8_t* card_type) {
    return run_command(
        {cmd::REQUEST, 4}, {card_type},
        [&](std::uint8_t* p) {
            p[0] = request_code(mode);
            p[1] = 0x00;
        },
        // Fixed positions: every valid frame has at least four bytes.
        [&](const Reply& r) { r.copy_positions(REPLY_DATA_OFFSET, card_type, CARD_TYPE_BYTES); });
}

}  // namespace

TQRF_API(int32_t) tqrf_request(int32_t mode, uint8_t* card_type) {
    return request(mode, card_type);
}

TQRF_API(int32_t) tqrf_request_2(int32_t mode, uint8_t* card_type) {
    return request(mode, card_type);
}

TQRF_API(int32_t) tqrf_anticoll(int32_t arg, uint8_t* serial) {
    return run_command(
        {cmd::ANTICOLL, 4}, {serial},
        [&](std::uint8_t* p) {
            p[0] = 0x00;
            p[1] = low_byte(arg);
        },
        // Positions beyond a short frame leave their output bytes as they were.
        [&](const Reply& r) { r.copy_positions(REPLY_DATA_OFFSET, serial, SERIAL_BYTES); });
}

TQRF_API(int32_t) tqrf_select(const uint8_t* serial, uint8_t* size) {
    return run_command(
        {cmd::SELECT, 7}, {serial, size},
        [&](std::uint8_t* p) {
            for (std::uint32_t i = 0; i < SERIAL_BYTES; ++i) p[i] = serial[i];
            p[SERIAL_BYTES] = 0x00;
        },
        [&](const Reply& r) { r.copy_positions(REPLY_DATA_OFFSET, size, SIZE_BYTES); });
}

TQRF_API(int32_t) tqrf_halt(void) {
    return run_command({cmd::HALT, 4}, {}, [](std::uint8_t* p) {
        p[0] = 0x00;
        p[1] = 0x00;
    });
}
