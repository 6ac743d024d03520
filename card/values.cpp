// Value block operations. Values travel least significant byte first, without sign handling.
// Initialise, increment and decrement send the block's low byte unmasked; read, restore and
// transfer the masked block number and a 0x00 parameter byte.
#include "link/command.h"
#include "link/retry.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

int value_op(tqrf_reader* r, Op op, std::int32_t block, std::uint32_t value) {
    return run(r, op, {.args = {block, static_cast<std::int32_t>(value)}});
}

}  // namespace

TQRF_API(int32_t) tqrf_initval(int32_t block, uint32_t value) {
    return value_op(legacy(), Op::INIT_VALUE, block, value);
}

TQRF_API(int32_t) tqrf_increment(int32_t block, uint32_t amount) {
    return value_op(legacy(), Op::INCREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_decrement(int32_t block, uint32_t amount) {
    return value_op(legacy(), Op::DECREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_restore(int32_t block) {
    return run(legacy(), Op::RESTORE, {.args = {block}});
}

TQRF_API(int32_t) tqrf_transfer(int32_t block) {
    return run(legacy(), Op::TRANSFER, {.args = {block}});
}

TQRF_API(int32_t) tqrf_readval(int32_t block, uint32_t* value) {
    return run(legacy(), Op::READ_VALUE, {.args = {block}, .word = value});
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_initval(tqrf_reader* r, int32_t block, uint32_t value) {
    return value_op(r, Op::INIT_VALUE, block, value);
}

TQRF_API(int32_t) tqrf_reader_increment(tqrf_reader* r, int32_t block, uint32_t amount) {
    return value_op(r, Op::INCREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_reader_decrement(tqrf_reader* r, int32_t block, uint32_t amount) {
    return value_op(r, Op::DECREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_reader_restore(tqrf_reader* r, int32_t block) {
    return run(r, Op::RESTORE, {.args = {block}});
}

TQRF_API(int32_t) tqrf_reader_transfer(tqrf_reader* r, int32_t block) {
    return run(r, Op::TRANSFER, {.args = {block}});
}

TQRF_API(int32_t) tqrf_reader_readval(tqrf_reader* r, int32_t block, uint32_t* value) {
    return run(r, Op::READ_VALUE, {.args = {block}, .word = value});
}

TQRF_API(int32_t)
tqrf_reader_value_apply(tqrf_reader* r, int32_t block, int32_t delta, uint32_t* before,
                        uint32_t* after) {
    return apply_value(r, block, delta, before, after);
}
