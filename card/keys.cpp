// Keys and authentication.
#include "card/card_params.h"
#include "link/command.h"
#include "link/port.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

TQRF_API(int32_t) tqrf_loadkey(int32_t key_type, int32_t sector, const uint8_t* key) {
    return run_command({cmd::LOAD_KEY, 10}, {key}, [&](std::uint8_t* p) {
        p[0] = key_type_byte(key_type);
        p[1] = sector_byte(sector);
        for (std::uint32_t i = 0; i < KEY_BYTES; ++i) p[2 + i] = key[i];
    });
}

TQRF_API(int32_t) tqrf_authentication(int32_t key_type, int32_t sector) {
    return run_command({cmd::AUTHENTICATE, 4}, {}, [&](std::uint8_t* p) {
        p[0] = key_type_byte(key_type);
        p[1] = sector_byte(sector);
    });
}

TQRF_API(int32_t) tqrf_authentication_2(int32_t key_type, int32_t sector, int32_t block) {
    // The trailer check comes before everything, the port check included. It compares in full
    // width, so sector bytes of 64 and above never pass.
    const int trailer = int{low_byte(sector)} * 4 + 3;
    if (int{low_byte(block)} != trailer) return ERR_NOT_SECTOR_TRAILER;
    return tqrf_authentication(key_type, sector);
}
