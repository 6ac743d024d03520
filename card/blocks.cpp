// Block read and write.
#include "card/blocks.h"

#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace tqrf {

int read_block(std::int32_t block, std::uint8_t* data, std::uint32_t* copied) {
    return run_command(
        {cmd::READ_BLOCK, 4}, {data},
        [&](std::uint8_t* p) {
            p[0] = block_byte(block);
            p[1] = 0x00;
        },
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
    return run_command({cmd::WRITE_BLOCK, 19}, {data}, [&](std::uint8_t* p) {
        p[0] = block_byte(block);
        for (std::uint32_t i = 0; i < BLOCK_BYTES; ++i) p[1 + i] = data[i];
    });
}
