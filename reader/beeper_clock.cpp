// Beeper and real-time clock.
#include "link/command.h"
#include "reader/read_all.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

TQRF_API(int32_t) tqrf_BeepControl(int32_t mode, int32_t duration) {
    const std::uint8_t mode_byte = low_byte(mode);
    std::uint8_t duration_byte = low_byte(duration);
    if (duration_byte > BEEP_DURATION_MAX) duration_byte = BEEP_DURATION_MAX;
    // Mode 0 answers when the beep is over: wait for it as well as for the reply.
    const std::uint32_t wait =
        mode_byte == 0 ? duration_byte * BEEP_UNIT_MS + REPLY_WAIT_MS : REPLY_WAIT_MS;
    return run_command(
        {cmd::BEEP, 4}, {},
        [&](std::uint8_t* p) {
            p[0] = mode_byte;
            p[1] = duration_byte;
        },
        NoCopy{}, wait);
}

TQRF_API(int32_t) tqrf_UploadRTC(uint8_t* clock) {
    return read_all_command(cmd::READ_CLOCK, 0x00, clock);
}

TQRF_API(int32_t) tqrf_DownloadRTC(const uint8_t* clock) {
    return run_command({cmd::SET_CLOCK, 9}, {clock}, [&](std::uint8_t* p) {
        for (std::uint32_t i = 0; i < CLOCK_BYTES; ++i) p[i] = clock[i];
    });
}
