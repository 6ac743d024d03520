// Keys and authentication.
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

TQRF_API(int32_t) tqrf_loadkey(int32_t key_type, int32_t sector, const uint8_t* key) {
    return run(legacy(), Op::LOAD_KEY, {.args = {key_type, sector}, .in = key});
}

TQRF_API(int32_t) tqrf_authentication(int32_t key_type, int32_t sector) {
    return run(legacy(), Op::AUTHENTICATE, {.args = {key_type, sector}});
}

TQRF_API(int32_t) tqrf_authentication_2(int32_t key_type, int32_t sector, int32_t block) {
    // The trailer check comes before everything, the port check included. It compares in full
    // width, so sector bytes of 64 and above never pass.
    const int trailer = int{low_byte(sector)} * 4 + 3;
    if (int{low_byte(block)} != trailer) return TQRF_ERR_NOT_SECTOR_TRAILER;
    return tqrf_authentication(key_type, sector);
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t)
tqrf_reader_loadkey(tqrf_reader* r, int32_t key_type, int32_t sector, const uint8_t key[6]) {
    return run(r, Op::LOAD_KEY, {.args = {key_type, sector}, .in = key});
}

TQRF_API(int32_t) tqrf_reader_authenticate(tqrf_reader* r, int32_t key_type, int32_t sector) {
    return run(r, Op::AUTHENTICATE, {.args = {key_type, sector}});
}
