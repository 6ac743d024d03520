// Beeper and real-time clock.
#include "link/command.h"
#include "reader/read_all.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr Command BEEP{cmd::BEEP, 4};
constexpr Command SET_CLOCK{cmd::SET_CLOCK, 9};

auto beep_params(std::uint8_t mode, std::uint8_t duration) {
    return [=](std::uint8_t* p) {
        p[0] = mode;
        p[1] = duration;
    };
}

// Mode 0 answers when the beep is over: wait for it as well as for the reply.
std::uint32_t beep_wait(std::uint8_t mode, std::uint8_t duration) {
    return mode == 0 ? duration * BEEP_UNIT_MS + REPLY_WAIT_MS : REPLY_WAIT_MS;
}

auto clock_params(const std::uint8_t* clock) {
    return [=](std::uint8_t* p) {
        for (std::uint32_t i = 0; i < CLOCK_BYTES; ++i) p[i] = clock[i];
    };
}

}  // namespace

TQRF_API(int32_t) tqrf_BeepControl(int32_t mode, int32_t duration) {
    const std::uint8_t mode_byte = low_byte(mode);
    std::uint8_t duration_byte = low_byte(duration);
    if (duration_byte > BEEP_DURATION_MAX) duration_byte = BEEP_DURATION_MAX;
    return run_command(BEEP, {}, beep_params(mode_byte, duration_byte), NoCopy{},
                       beep_wait(mode_byte, duration_byte));
}

TQRF_API(int32_t) tqrf_UploadRTC(uint8_t* clock) {
    return read_all_command(cmd::READ_CLOCK, 0x00, clock);
}

TQRF_API(int32_t) tqrf_DownloadRTC(const uint8_t* clock) {
    return run_command(SET_CLOCK, {clock}, clock_params(clock));
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_beep(tqrf_reader* r, int32_t mode, int32_t duration) {
    const bool ok = in_range(mode, 0, 0xFF) && in_range(duration, 0, BEEP_DURATION_MAX);
    const std::uint8_t mode_byte = low_byte(mode);
    const std::uint8_t duration_byte = low_byte(duration);
    return run_checked(r, BEEP, NO_DATA, ok, beep_params(mode_byte, duration_byte), NoCopy{},
                       beep_wait(mode_byte, duration_byte));
}

TQRF_API(int32_t)
tqrf_reader_clock_read(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length) {
    return read_all_checked(r, cmd::READ_CLOCK, 0x00, true, out, capacity, length);
}

TQRF_API(int32_t) tqrf_reader_clock_set(tqrf_reader* r, const uint8_t clock[7]) {
    return run_checked(r, SET_CLOCK, NO_DATA, clock != nullptr, clock_params(clock));
}
