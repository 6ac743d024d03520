// How a serial backend waits on its line: reads by a deadline sized from the line rate, and
// drains without polling. Backend-independent: the backend (and the recording test double, on
// its virtual clock) supplies the primitive operations, so that the same waits run on every
// platform and their wake-ups can be counted in tests.
#pragma once

#include <cstdint>

#include "os/serial.h"

namespace tqrf::serial {

// Margin added to a computed line time before the one read that follows it: the bytes are
// handed on by the driver a little after their stop bit.
inline constexpr std::uint64_t LINE_MARGIN_US = 100;

// Bits one character takes on the line: start bit, data bits, parity bit, stop bits (1.5
// counted as 2).
constexpr std::uint32_t character_bits(const LineMode& mode) {
    return 1u + mode.data_bits + (mode.parity == Parity::None ? 0u : 1u) +
           (mode.stop_tenths > 10 ? 2u : 1u);
}

// Microseconds `count` characters take on the line (rounded up); 0 for an unknown rate.
constexpr std::uint64_t line_time_us(std::uint32_t count, std::uint32_t bits, std::uint32_t rate) {
    if (rate == 0) return 0;
    return (std::uint64_t{count} * bits * 1'000'000 + rate - 1) / rate;
}

// Reads at least `at_least` and at most `at_most` bytes, by `deadline_us` at the latest.
//
//   ops.take(buffer, max)        one read of what waits, never blocking: the count taken
//   ops.await_input(deadline)    blocks until a byte waits or the deadline: false when none came
//                                (or the device is gone)
//   ops.sleep_until(time, n)     blocks until the time, by which the line brings n more bytes
//                                (the recording double ends it when they have come)
//   ops.now()                    monotonic microseconds
//   ops.lost()                   the device is gone
//
// Nothing arrived yet and none is known to be under way: one blocking wait for the first byte
// (the far end's own working time is not known). Once bytes flow, they come at the line rate:
// one sleep for the line time of the bytes still missing, then one read. Only when that read
// brings nothing (an adapter that holds bytes back, a far end that stalls) is the next byte
// waited for again. `under_way`: the caller knows the bytes are already on the line (the rest
// of a frame whose first bytes came). `at_least` 0: one read of what waits, no waiting.
template <class Ops>
std::uint32_t read_by_deadline(Ops& ops, std::uint8_t* buffer, std::uint32_t at_least,
                               std::uint32_t at_most, std::uint64_t deadline_us, bool under_way,
                               std::uint32_t character_us) {
    if (at_least > at_most) at_least = at_most;
    if (at_least == 0) return at_most == 0 ? 0 : ops.take(buffer, at_most);
    if (!under_way && !ops.await_input(deadline_us)) return 0;
    std::uint32_t got = ops.take(buffer, at_most);
    // Each round sleeps or blocks: the loop never spins, and it ends at the deadline.
    while (got < at_least && !ops.lost()) {
        const std::uint64_t now = ops.now();
        if (now >= deadline_us) break;
        const std::uint64_t until =
            now + std::uint64_t{at_least - got} * character_us + LINE_MARGIN_US;
        ops.sleep_until(until < deadline_us ? until : deadline_us, at_least - got);
        const std::uint32_t n = ops.take(buffer + got, at_most - got);
        got += n;
        if (n == 0 && got < at_least) {
            if (!ops.await_input(deadline_us)) break;
            got += ops.take(buffer + got, at_most - got);
        }
    }
    return got;
}

// Waits until the transmitter has sent everything written to it, by `deadline_us`:
//
//   ops.pending()                one look at the transmitter: the characters it still has to
//                                send (the driver's queue, plus one in the shift register), 0
//                                when it is empty
//   ops.sleep_until(time), ops.now()
//
// One look first (a pseudo-terminal is always empty); when busy, one sleep for the computed
// line time of what is pending and one more look; only a transmitter still busy then (flow
// control, an adapter that reports late) is looked at again, every `poll_us`, until the
// deadline. Returns true when the transmitter was seen empty.
template <class Ops>
bool drain_by_line_time(Ops& ops, std::uint32_t character_us, std::uint64_t poll_us,
                        std::uint64_t deadline_us) {
    const std::uint32_t pending = ops.pending();
    if (pending == 0) return true;
    std::uint64_t until = ops.now() + std::uint64_t{pending} * character_us + LINE_MARGIN_US;
    for (;;) {
        ops.sleep_until(until < deadline_us ? until : deadline_us);
        if (ops.pending() == 0) return true;
        const std::uint64_t now = ops.now();
        if (now >= deadline_us) return false;
        until = now + poll_us;
    }
}

}  // namespace tqrf::serial
