// Keys and authentication.
#include "card/card_params.h"
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr Command LOAD_KEY{cmd::LOAD_KEY, 10};
constexpr Command AUTHENTICATE{cmd::AUTHENTICATE, 4};

auto loadkey_params(std::int32_t key_type, std::int32_t sector, const std::uint8_t* key) {
    return [=](std::uint8_t* p) {
        p[0] = key_type_byte(key_type);
        p[1] = sector_byte(sector);
        for (std::uint32_t i = 0; i < KEY_BYTES; ++i) p[2 + i] = key[i];
    };
}

auto authenticate_params(std::int32_t key_type, std::int32_t sector) {
    return [=](std::uint8_t* p) {
        p[0] = key_type_byte(key_type);
        p[1] = sector_byte(sector);
    };
}

}  // namespace

TQRF_API(int32_t) tqrf_loadkey(int32_t key_type, int32_t sector, const uint8_t* key) {
    return run_command(LOAD_KEY, {key}, loadkey_params(key_type, sector, key));
}

TQRF_API(int32_t) tqrf_authentication(int32_t key_type, int32_t sector) {
    return run_command(AUTHENTICATE, {}, authenticate_params(key_type, sector));
}

TQRF_API(int32_t) tqrf_authentication_2(int32_t key_type, int32_t sector, int32_t block) {
    // The trailer check comes before everything, the port check included. It compares in full
    // width, so sector bytes of 64 and above never pass.
    const int trailer = int{low_byte(sector)} * 4 + 3;
    if (int{low_byte(block)} != trailer) return ERR_NOT_SECTOR_TRAILER;
    return tqrf_authentication(key_type, sector);
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t)
tqrf_reader_loadkey(tqrf_reader* r, int32_t key_type, int32_t sector, const uint8_t key[6]) {
    const bool ok = valid_flag(key_type) && valid_sector(sector) && key != nullptr;
    return run_checked(r, LOAD_KEY, NO_DATA, ok, loadkey_params(key_type, sector, key));
}

TQRF_API(int32_t) tqrf_reader_authenticate(tqrf_reader* r, int32_t key_type, int32_t sector) {
    const bool ok = valid_flag(key_type) && valid_sector(sector);
    return run_checked(r, AUTHENTICATE, NO_DATA, ok, authenticate_params(key_type, sector));
}
