// Card selection: request, anticollision, select, find, halt.
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

TQRF_API(int32_t) tqrf_request(int32_t mode, uint8_t* card_type) {
    return run(legacy(), Op::REQUEST, {.args = {mode}, .out = {card_type}});
}

TQRF_API(int32_t) tqrf_request_2(int32_t mode, uint8_t* card_type) {
    return tqrf_request(mode, card_type);
}

TQRF_API(int32_t) tqrf_anticoll(int32_t arg, uint8_t* serial) {
    return run(legacy(), Op::ANTICOLL, {.args = {arg}, .out = {serial}});
}

TQRF_API(int32_t) tqrf_select(const uint8_t* serial, uint8_t* size) {
    return run(legacy(), Op::SELECT, {.in = serial, .out = {size}});
}

TQRF_API(int32_t) tqrf_halt(void) {
    return run(legacy(), Op::HALT, {});
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_request(tqrf_reader* r, int32_t mode, uint8_t type[2]) {
    return run(r, Op::REQUEST, {.args = {mode}, .out = {type}});
}

TQRF_API(int32_t) tqrf_reader_anticoll(tqrf_reader* r, int32_t arg, uint8_t serial[4]) {
    return run(r, Op::ANTICOLL, {.args = {arg}, .out = {serial}});
}

TQRF_API(int32_t) tqrf_reader_select(tqrf_reader* r, const uint8_t serial[4], uint8_t* size) {
    return run(r, Op::SELECT, {.in = serial, .out = {size}});
}

TQRF_API(int32_t)
tqrf_reader_find(tqrf_reader* r, int32_t mode, uint8_t type[2], uint8_t serial[4], uint8_t* size) {
    return run(r, Op::CARD_FIND_SELECT, {.args = {mode}, .out = {type, serial, size}});
}

TQRF_API(int32_t) tqrf_reader_halt(tqrf_reader* r) {
    return run(r, Op::HALT, {});
}
