// Reader identity, hardware version, link test, reset and the RC500 chip's E2PROM.
#include "link/command.h"
#include "reader/read_all.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

// Commands whose parameters are two fixed bytes.
int fixed_command(std::uint8_t code, std::uint8_t first, std::uint8_t second) {
    return run_command({code, 4}, {}, [&](std::uint8_t* p) {
        p[0] = first;
        p[1] = second;
    });
}

}  // namespace

TQRF_API(int32_t) tqrf_reset(int32_t reserved) {
    (void)reserved;  // accepted for compatibility; it has no effect on the request
    return fixed_command(cmd::RESET, FIXED_PARAMETER, 0x00);
}

TQRF_API(int32_t) tqrf_Link_PCandRWD(void) {
    return fixed_command(cmd::LINK_TEST, FIXED_PARAMETER, 0x00);
}

TQRF_API(int32_t) tqrf_ReadHardwareVersionNumber(uint8_t* version) {
    return read_all_command(cmd::READ_VERSION, 0x00, version);
}

TQRF_API(int32_t) tqrf_Read_RC500E2(int32_t address, uint8_t* data) {
    return read_all_command(cmd::READ_E2, low_byte(address), data);
}

TQRF_API(int32_t) tqrf_Write_RC500E2(int32_t address, const uint8_t* data) {
    return run_command({cmd::WRITE_E2, 20}, {data}, [&](std::uint8_t* p) {
        p[0] = FIXED_PARAMETER;
        p[1] = low_byte(address) & E2_WRITE_ADDRESS_MASK;
        for (std::uint32_t i = 0; i < E2_WRITE_BYTES; ++i) p[2 + i] = data[i];
    });
}

TQRF_API(int32_t) tqrf_Read_RWD_ID(uint32_t* id) {
    return run_command(
        {cmd::READ_ID, 4}, {id},
        [](std::uint8_t* p) {
            p[0] = 0x00;
            p[1] = 0x00;
        },
        [&](const Reply& r) {
            // Least significant byte first; a fifth and later byte is added in again at the
            // position of byte k mod 4, with carry, modulo 2^32.
            std::uint32_t value = 0;
            for (std::uint32_t k = 0; k < r.data_count(); ++k) {
                value += std::uint32_t{r.data()[k]} << (8 * (k % 4));
            }
            *id = value;
        });
}
