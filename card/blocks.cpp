// Block read and write.
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

// The caller's buffer holds one block: never more than 16 bytes go into it.
TQRF_API(int32_t) tqrf_read(int32_t block, uint8_t* data) {
    return run(legacy(), Op::READ_BLOCK, {.args = {block}, .out = {data}});
}

TQRF_API(int32_t) tqrf_write(int32_t block, const uint8_t* data) {
    return run(legacy(), Op::WRITE_BLOCK, {.args = {block}, .in = data});
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_read(tqrf_reader* r, int32_t block, uint8_t data[16]) {
    return run(r, Op::READ_BLOCK, {.args = {block}, .out = {data}});
}

TQRF_API(int32_t) tqrf_reader_write(tqrf_reader* r, int32_t block, const uint8_t data[16]) {
    return run(r, Op::WRITE_BLOCK, {.args = {block}, .in = data});
}
