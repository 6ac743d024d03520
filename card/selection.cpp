// Card selection: request, anticollision, select, find, halt.
#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr Command REQUEST{cmd::REQUEST, 4};
constexpr Command ANTICOLL{cmd::ANTICOLL, 4};
constexpr Command SELECT{cmd::SELECT, 7};
constexpr Command FIND{cmd::CARD_FIND_SELECT, 4};
constexpr Command HALT{cmd::HALT, 4};

// Positions of the answer to the find-and-select command among its data bytes.
constexpr std::uint32_t FIND_TYPE_AT = 0;
constexpr std::uint32_t FIND_SIZE_AT = 2;
constexpr std::uint32_t FIND_SERIAL_AT = 3;
constexpr std::uint32_t FIND_DATA_BYTES = CARD_TYPE_BYTES + SIZE_BYTES + SERIAL_BYTES;

auto request_params(std::int32_t mode) {
    return [=](std::uint8_t* p) {
        p[0] = request_code(mode);
        p[1] = 0x00;
    };
}

auto anticoll_params(std::int32_t arg) {
    return [=](std::uint8_t* p) {
        p[0] = 0x00;
        p[1] = low_byte(arg);
    };
}

auto select_params(const std::uint8_t* serial) {
    return [=](std::uint8_t* p) {
        for (std::uint32_t i = 0; i < SERIAL_BYTES; ++i) p[i] = serial[i];
        p[SERIAL_BYTES] = 0x00;
    };
}

void halt_params(std::uint8_t* p) {
    p[0] = 0x00;
    p[1] = 0x00;
}

int request(std::int32_t mode, std::uint8_t* card_type) {
    // Fixed positions: every valid frame has at least four bytes.
    return run_command(REQUEST, {card_type}, request_params(mode), [&](const Reply& r) {
        r.copy_positions(REPLY_DATA_OFFSET, card_type, CARD_TYPE_BYTES);
    });
}

auto copy_data_to(std::uint8_t* out, std::uint32_t count) {
    return [=](const Reply& r) { r.copy_data(out, count); };
}

}  // namespace

TQRF_API(int32_t) tqrf_request(int32_t mode, uint8_t* card_type) {
    return request(mode, card_type);
}

TQRF_API(int32_t) tqrf_request_2(int32_t mode, uint8_t* card_type) {
    return request(mode, card_type);
}

TQRF_API(int32_t) tqrf_anticoll(int32_t arg, uint8_t* serial) {
    // Positions beyond a short frame leave their output bytes as they were.
    return run_command(ANTICOLL, {serial}, anticoll_params(arg), [&](const Reply& r) {
        r.copy_positions(REPLY_DATA_OFFSET, serial, SERIAL_BYTES);
    });
}

TQRF_API(int32_t) tqrf_select(const uint8_t* serial, uint8_t* size) {
    return run_command(SELECT, {serial, size}, select_params(serial), [&](const Reply& r) {
        r.copy_positions(REPLY_DATA_OFFSET, size, SIZE_BYTES);
    });
}

TQRF_API(int32_t) tqrf_halt(void) {
    return run_command(HALT, {}, halt_params);
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_request(tqrf_reader* r, int32_t mode, uint8_t type[2]) {
    return run_checked(r, REQUEST, exactly(CARD_TYPE_BYTES), valid_flag(mode) && type != nullptr,
                       request_params(mode), copy_data_to(type, CARD_TYPE_BYTES));
}

TQRF_API(int32_t) tqrf_reader_anticoll(tqrf_reader* r, int32_t arg, uint8_t serial[4]) {
    return run_checked(r, ANTICOLL, exactly(SERIAL_BYTES),
                       in_range(arg, 0, 0xFF) && serial != nullptr, anticoll_params(arg),
                       copy_data_to(serial, SERIAL_BYTES));
}

TQRF_API(int32_t) tqrf_reader_select(tqrf_reader* r, const uint8_t serial[4], uint8_t* size) {
    return run_checked(r, SELECT, exactly(SIZE_BYTES), serial != nullptr && size != nullptr,
                       select_params(serial), copy_data_to(size, SIZE_BYTES));
}

TQRF_API(int32_t)
tqrf_reader_find(tqrf_reader* r, int32_t mode, uint8_t type[2], uint8_t serial[4], uint8_t* size) {
    const bool ok = valid_flag(mode) && type != nullptr && serial != nullptr && size != nullptr;
    return run_checked(r, FIND, exactly(FIND_DATA_BYTES), ok, request_params(mode),
                       [&](const Reply& reply) {
                           const std::uint8_t* d = reply.data();
                           for (std::uint32_t i = 0; i < CARD_TYPE_BYTES; ++i) {
                               type[i] = d[FIND_TYPE_AT + i];
                           }
                           *size = d[FIND_SIZE_AT];
                           for (std::uint32_t i = 0; i < SERIAL_BYTES; ++i) {
                               serial[i] = d[FIND_SERIAL_AT + i];
                           }
                       });
}

TQRF_API(int32_t) tqrf_reader_halt(tqrf_reader* r) {
    return run_checked(r, HALT, NO_DATA, true, halt_params);
}
