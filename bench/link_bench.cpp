// CPU cost of the library's own work per command: frame building and checking, the hex codec,
// and a whole command on the recording serial double (its virtual clock makes the 40 ms
// waits free, so what is measured is the library's own path).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "link/frame.h"
#include "tests/support/recording_serial.h"
#include "text/hex.h"
#include "tq_RWD_DLL.h"

namespace {

void BM_FrameEncode(benchmark::State& state) {
    std::uint8_t payload[101] = {0xBB, 0x46};
    std::uint8_t out[104];
    const auto length = static_cast<std::uint16_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(tqrf::frame_encode(payload, length, out, sizeof out));
    }
    state.SetBytesProcessed(state.iterations() * length);
}
BENCHMARK(BM_FrameEncode)->Arg(4)->Arg(19)->Arg(101);

void BM_FrameCheck(benchmark::State& state) {
    const auto reply = tqrf::testing::reply_frame(std::vector<std::uint8_t>(17, 0x5A));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tqrf::frame_check(reply.data(), static_cast<std::uint32_t>(reply.size())));
    }
}
BENCHMARK(BM_FrameCheck);

void BM_HexRoundTrip(benchmark::State& state) {
    std::uint8_t block[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    char text[32];
    for (auto _ : state) {
        tqrf::hex_encode(block, text, 16);
        tqrf::hex_decode(text, block, 32);
        benchmark::DoNotOptimize(block);
    }
}
BENCHMARK(BM_HexRoundTrip);

void BM_ReadBlockCommand(benchmark::State& state) {
    auto& rec = tqrf::testing::recorder();
    rec.reset();
    tqrf_init_device("/dev/bench");
    std::vector<std::uint8_t> payload(16, 0x11);
    payload.push_back(0x00);
    const auto reply = tqrf::testing::reply_frame(payload);
    std::uint8_t block[16];
    for (auto _ : state) {
        rec.script_reply(reply);
        benchmark::DoNotOptimize(tqrf_read(4, block));
        state.PauseTiming();
        rec.clear_log();
        state.ResumeTiming();
    }
    tqrf_exit();
}
BENCHMARK(BM_ReadBlockCommand);

}  // namespace

BENCHMARK_MAIN();
