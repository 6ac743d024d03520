// Value block operations. Values travel least significant byte first, without sign handling.
#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

// Initialise, increment and decrement send the block's low byte unmasked, then the value.
int value_command(std::uint8_t code, std::int32_t block, std::uint32_t value) {
    return run_command({code, 7}, {}, [&](std::uint8_t* p) {
        p[0] = low_byte(block);
        put_value(p + 1, value);
    });
}

// Restore and transfer send the masked block number and a 0x00 parameter byte.
int block_command(std::uint8_t code, std::int32_t block) {
    return run_command({code, 4}, {}, [&](std::uint8_t* p) {
        p[0] = block_byte(block);
        p[1] = 0x00;
    });
}

}  // namespace

TQRF_API(int32_t) tqrf_initval(int32_t block, uint32_t value) {
    return value_command(cmd::INIT_VALUE, block, value);
}

TQRF_API(int32_t) tqrf_increment(int32_t block, uint32_t amount) {
    return value_command(cmd::INCREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_decrement(int32_t block, uint32_t amount) {
    return value_command(cmd::DECREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_restore(int32_t block) {
    return block_command(cmd::RESTORE, block);
}

TQRF_API(int32_t) tqrf_transfer(int32_t block) {
    return block_command(cmd::TRANSFER, block);
}

TQRF_API(int32_t) tqrf_readval(int32_t block, uint32_t* value) {
    return run_command(
        {cmd::READ_VALUE, 4}, {value},
        [&](std::uint8_t* p) {
            p[0] = block_byte(block);
            p[1] = 0x00;
        },
        [&](const Reply& r) {
            // A reply with fewer than four data bytes leaves the value as it was.
            if (r.data_count() < VALUE_BYTES) return;
            std::uint32_t v = 0;
            for (std::uint32_t i = 0; i < VALUE_BYTES; ++i)
                v |= std::uint32_t{r.data()[i]} << (8 * i);
            *value = v;
        });
}
