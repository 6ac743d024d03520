// A test of a library user's own program against the simulated reader in the same process
// (the sim component): the library's card session changes the simulated card.
#include <tq_RWD_DLL.h>
#include <tqrf_sim/simulator.h>

#include <array>
#include <cstdint>
#include <cstdio>

int main() {
    tqrf_sim::Simulator sim;
    sim.start();
    if (tqrf_init_device(sim.slave_path().c_str()) != 0) return 1;
    std::uint8_t type[2], serial[4], size = 0;
    const std::uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::array<std::uint8_t, 16> data{0xC0, 0xFF, 0xEE};
    int r = tqrf_request(0, type);
    if (r == 0) r = tqrf_anticoll(0, serial);
    if (r == 0) r = tqrf_select(serial, &size);
    if (r == 0) r = tqrf_loadkey(0, 1, key);
    if (r == 0) r = tqrf_authentication(0, 1);
    if (r == 0) r = tqrf_write(4, data.data());
    tqrf_exit();
    sim.stop();
    const auto image = sim.card_image(tqrf_sim::kDefaultUid);
    if (r != 0 || !image || (*image)[64] != 0xC0 || (*image)[66] != 0xEE) {
        std::fprintf(stderr, "sim: write gave %d\n", r);
        return 1;
    }
    std::printf("sim: block 4 written on the simulated card\n");
    return 0;
}
