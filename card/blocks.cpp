// Block read and write.
#include "card/blocks.h"

#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr Command READ_BLOCK{cmd::READ_BLOCK, 4};
constexpr Command WRITE_BLOCK{cmd::WRITE_BLOCK, 19};

auto read_params(std::int32_t block) {
    return [=](std::uint8_t* p) {
        p[0] = block_byte(block);
        p[1] = 0x00;
    };
}

auto write_params(std::int32_t block, const std::uint8_t* data) {
    return [=](std::uint8_t* p) {
        p[0] = block_byte(block);
        for (std::uint32_t i = 0; i < BLOCK_BYTES; ++i) p[1 + i] = data[i];
    };
}

}  // namespace

namespace tqrf {

int read_block(std::int32_t block, std::uint8_t* data, std::uint32_t* copied) {
    return run_command(READ_BLOCK, {data}, read_params(block),
                       // The caller's buffer holds one block: never more than 16 bytes go into it.
                       [&](const Reply& r) {
                           const std::uint32_t n = r.copy_data(data, BLOCK_BYTES);
                           if (copied != nullptr) *copied = n;
                       });
}

}  // namespace tqrf

TQRF_API(int32_t) tqrf_read(int32_t block, uint8_t* data) {
    return read_block(block, data, nullptr);
}

TQRF_API(int32_t) tqrf_write(int32_t block, const uint8_t* data) {
    return run_command(WRITE_BLOCK, {data}, write_params(block, data));
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_read(tqrf_reader* r, int32_t block, uint8_t data[16]) {
    return run_checked(r, READ_BLOCK, exactly(BLOCK_BYTES), valid_block(block) && data != nullptr,
                       read_params(block),
                       [&](const Reply& reply) { reply.copy_data(data, BLOCK_BYTES); });
}

TQRF_API(int32_t) tqrf_reader_write(tqrf_reader* r, int32_t block, const uint8_t data[16]) {
    return run_checked(r, WRITE_BLOCK, NO_DATA, valid_block(block) && data != nullptr,
                       write_params(block, data));
}
