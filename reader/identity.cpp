// Reader identity, hardware version, link test, reset and the RC500 chip's E2PROM.
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

TQRF_API(int32_t) tqrf_reset(int32_t reserved) {
    (void)reserved;  // accepted for compatibility; it has no effect on the request
    return run(legacy(), Op::RESET, {});
}

TQRF_API(int32_t) tqrf_Link_PCandRWD(void) {
    return run(legacy(), Op::LINK_TEST, {});
}

TQRF_API(int32_t) tqrf_ReadHardwareVersionNumber(uint8_t* version) {
    return run(legacy(), Op::READ_VERSION, {.out = {version}});
}

TQRF_API(int32_t) tqrf_Read_RC500E2(int32_t address, uint8_t* data) {
    return run(legacy(), Op::READ_E2, {.args = {address}, .out = {data}});
}

TQRF_API(int32_t) tqrf_Write_RC500E2(int32_t address, const uint8_t* data) {
    return run(legacy(), Op::WRITE_E2, {.args = {address}, .in = data});
}

TQRF_API(int32_t) tqrf_Read_RWD_ID(uint32_t* id) {
    return run(legacy(), Op::READ_ID, {.word = id});
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_reset(tqrf_reader* r) {
    return run(r, Op::RESET, {});
}

TQRF_API(int32_t) tqrf_reader_link_test(tqrf_reader* r) {
    return run(r, Op::LINK_TEST, {});
}

TQRF_API(int32_t)
tqrf_reader_hardware_version(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length) {
    return run(r, Op::READ_VERSION, {.out = {out}, .capacity = capacity, .length = length});
}

TQRF_API(int32_t) tqrf_reader_id(tqrf_reader* r, uint32_t* id) {
    return run(r, Op::READ_ID, {.word = id});
}

TQRF_API(int32_t)
tqrf_reader_e2_read(tqrf_reader* r, int32_t address, uint8_t* out, uint32_t capacity,
                    uint32_t* length) {
    return run(r, Op::READ_E2,
               {.args = {address}, .out = {out}, .capacity = capacity, .length = length});
}

TQRF_API(int32_t) tqrf_reader_e2_write(tqrf_reader* r, int32_t address, const uint8_t data[16]) {
    return run(r, Op::WRITE_E2, {.args = {address}, .in = data});
}
