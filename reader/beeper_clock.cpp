// Beeper and real-time clock.
#include "link/command.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

// Durations above 2.4 s are cut to it; mode 0 waits for the beep as well as for the reply.
TQRF_API(int32_t) tqrf_BeepControl(int32_t mode, int32_t duration) {
    return run(legacy(), Op::BEEP, {.args = {mode, duration}});
}

TQRF_API(int32_t) tqrf_UploadRTC(uint8_t* clock) {
    return run(legacy(), Op::READ_CLOCK, {.out = {clock}});
}

TQRF_API(int32_t) tqrf_DownloadRTC(const uint8_t* clock) {
    return run(legacy(), Op::SET_CLOCK, {.in = clock});
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_beep(tqrf_reader* r, int32_t mode, int32_t duration) {
    return run(r, Op::BEEP, {.args = {mode, duration}});
}

TQRF_API(int32_t)
tqrf_reader_clock_read(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length) {
    return run(r, Op::READ_CLOCK, {.out = {out}, .capacity = capacity, .length = length});
}

TQRF_API(int32_t) tqrf_reader_clock_set(tqrf_reader* r, const uint8_t clock[7]) {
    return run(r, Op::SET_CLOCK, {.in = clock});
}
