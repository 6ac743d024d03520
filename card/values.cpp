// Value block operations. Values travel least significant byte first, without sign handling.
#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr Command READ_VALUE{cmd::READ_VALUE, 4};

Command value_command(std::uint8_t code) {
    return {code, 7};
}

Command block_command(std::uint8_t code) {
    return {code, 4};
}

// Initialise, increment and decrement send the block's low byte unmasked, then the value.
auto value_params(std::int32_t block, std::uint32_t value) {
    return [=](std::uint8_t* p) {
        p[0] = low_byte(block);
        put_value(p + 1, value);
    };
}

// Read, restore and transfer send the masked block number and a 0x00 parameter byte.
auto block_params(std::int32_t block) {
    return [=](std::uint8_t* p) {
        p[0] = block_byte(block);
        p[1] = 0x00;
    };
}

int legacy_value(std::uint8_t code, std::int32_t block, std::uint32_t value) {
    return run_command(value_command(code), {}, value_params(block, value));
}

int legacy_block(std::uint8_t code, std::int32_t block) {
    return run_command(block_command(code), {}, block_params(block));
}

int handle_value(tqrf_reader* r, std::uint8_t code, std::int32_t block, std::uint32_t value) {
    return run_checked(r, value_command(code), NO_DATA, valid_block(block),
                       value_params(block, value));
}

int handle_block(tqrf_reader* r, std::uint8_t code, std::int32_t block) {
    return run_checked(r, block_command(code), NO_DATA, valid_block(block), block_params(block));
}

}  // namespace

TQRF_API(int32_t) tqrf_initval(int32_t block, uint32_t value) {
    return legacy_value(cmd::INIT_VALUE, block, value);
}

TQRF_API(int32_t) tqrf_increment(int32_t block, uint32_t amount) {
    return legacy_value(cmd::INCREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_decrement(int32_t block, uint32_t amount) {
    return legacy_value(cmd::DECREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_restore(int32_t block) {
    return legacy_block(cmd::RESTORE, block);
}

TQRF_API(int32_t) tqrf_transfer(int32_t block) {
    return legacy_block(cmd::TRANSFER, block);
}

TQRF_API(int32_t) tqrf_readval(int32_t block, uint32_t* value) {
    return run_command(READ_VALUE, {value}, block_params(block), [&](const Reply& r) {
        // A reply with fewer than four data bytes leaves the value as it was.
        if (r.data_count() < VALUE_BYTES) return;
        *value = get_value(r.data());
    });
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_initval(tqrf_reader* r, int32_t block, uint32_t value) {
    return handle_value(r, cmd::INIT_VALUE, block, value);
}

TQRF_API(int32_t) tqrf_reader_increment(tqrf_reader* r, int32_t block, uint32_t amount) {
    return handle_value(r, cmd::INCREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_reader_decrement(tqrf_reader* r, int32_t block, uint32_t amount) {
    return handle_value(r, cmd::DECREMENT, block, amount);
}

TQRF_API(int32_t) tqrf_reader_restore(tqrf_reader* r, int32_t block) {
    return handle_block(r, cmd::RESTORE, block);
}

TQRF_API(int32_t) tqrf_reader_transfer(tqrf_reader* r, int32_t block) {
    return handle_block(r, cmd::TRANSFER, block);
}

TQRF_API(int32_t) tqrf_reader_readval(tqrf_reader* r, int32_t block, uint32_t* value) {
    return run_checked(r, READ_VALUE, exactly(VALUE_BYTES), valid_block(block) && value != nullptr,
                       block_params(block),
                       [&](const Reply& reply) { *value = get_value(reply.data()); });
}
