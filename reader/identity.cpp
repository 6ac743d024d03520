// Reader identity, hardware version, link test, reset and the RC500 chip's E2PROM.
#include "link/command.h"
#include "reader/read_all.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr Command RESET{cmd::RESET, 4};
constexpr Command LINK_TEST{cmd::LINK_TEST, 4};
constexpr Command READ_ID{cmd::READ_ID, 4};
constexpr Command WRITE_E2{cmd::WRITE_E2, 20};

// The highest E2PROM address each command can carry.
constexpr std::int32_t E2_READ_LAST = 0xFF;
constexpr std::int32_t E2_WRITE_LAST = E2_WRITE_ADDRESS_MASK;
// The identity number is 1 to 4 data bytes.
constexpr DataBytes ID_DATA{1, 4};

// Commands whose parameters are two fixed bytes.
auto fixed_params(std::uint8_t first, std::uint8_t second) {
    return [=](std::uint8_t* p) {
        p[0] = first;
        p[1] = second;
    };
}

auto e2_write_params(std::int32_t address, const std::uint8_t* data) {
    return [=](std::uint8_t* p) {
        p[0] = FIXED_PARAMETER;
        p[1] = low_byte(address) & E2_WRITE_ADDRESS_MASK;
        for (std::uint32_t i = 0; i < E2_WRITE_BYTES; ++i) p[2 + i] = data[i];
    };
}

// Least significant byte first; a fifth and later byte is added in again at the position of
// byte k mod 4, with carry, modulo 2^32.
std::uint32_t assemble_id(const Reply& r) {
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k < r.data_count(); ++k) {
        value += std::uint32_t{r.data()[k]} << (8 * (k % 4));
    }
    return value;
}

}  // namespace

TQRF_API(int32_t) tqrf_reset(int32_t reserved) {
    (void)reserved;  // accepted for compatibility; it has no effect on the request
    return run_command(RESET, {}, fixed_params(FIXED_PARAMETER, 0x00));
}

TQRF_API(int32_t) tqrf_Link_PCandRWD(void) {
    return run_command(LINK_TEST, {}, fixed_params(FIXED_PARAMETER, 0x00));
}

TQRF_API(int32_t) tqrf_ReadHardwareVersionNumber(uint8_t* version) {
    return read_all_command(cmd::READ_VERSION, 0x00, version);
}

TQRF_API(int32_t) tqrf_Read_RC500E2(int32_t address, uint8_t* data) {
    return read_all_command(cmd::READ_E2, low_byte(address), data);
}

TQRF_API(int32_t) tqrf_Write_RC500E2(int32_t address, const uint8_t* data) {
    return run_command(WRITE_E2, {data}, e2_write_params(address, data));
}

TQRF_API(int32_t) tqrf_Read_RWD_ID(uint32_t* id) {
    return run_command(READ_ID, {id}, fixed_params(0x00, 0x00),
                       [&](const Reply& r) { *id = assemble_id(r); });
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_reset(tqrf_reader* r) {
    return run_checked(r, RESET, NO_DATA, true, fixed_params(FIXED_PARAMETER, 0x00));
}

TQRF_API(int32_t) tqrf_reader_link_test(tqrf_reader* r) {
    return run_checked(r, LINK_TEST, NO_DATA, true, fixed_params(FIXED_PARAMETER, 0x00));
}

TQRF_API(int32_t)
tqrf_reader_hardware_version(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length) {
    return read_all_checked(r, cmd::READ_VERSION, 0x00, true, out, capacity, length);
}

TQRF_API(int32_t) tqrf_reader_id(tqrf_reader* r, uint32_t* id) {
    return run_checked(r, READ_ID, ID_DATA, id != nullptr, fixed_params(0x00, 0x00),
                       [&](const Reply& reply) { *id = assemble_id(reply); });
}

TQRF_API(int32_t)
tqrf_reader_e2_read(tqrf_reader* r, int32_t address, uint8_t* out, uint32_t capacity,
                    uint32_t* length) {
    return read_all_checked(r, cmd::READ_E2, low_byte(address), in_range(address, 0, E2_READ_LAST),
                            out, capacity, length);
}

TQRF_API(int32_t) tqrf_reader_e2_write(tqrf_reader* r, int32_t address, const uint8_t data[16]) {
    const bool ok = in_range(address, 0, E2_WRITE_LAST) && data != nullptr;
    return run_checked(r, WRITE_E2, NO_DATA, ok, e2_write_params(address, data));
}
