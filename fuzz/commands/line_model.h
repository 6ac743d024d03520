// A model of the line as the recording serial double plays it, for the commands fuzz target:
// the legacy exports' one-read exchanges (LineModel), the handle API's line in full (FullLine),
// and the reply bytes the input plans for each exchange. The oracle runs the model beside the
// library and compares the results and the virtual time each call ends at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace tqrf::fuzz::commands {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kReplyReadMax = 105;
constexpr std::uint32_t kReplyWait = 40;

struct Arrival {
    std::uint64_t at;
    Bytes bytes;
};

// Short writes as the double plays them: the write after `short_write_countdown` whole ones
// is cut short (-1: none is).
struct ShortWrites {
    int short_write_countdown = -1;

    bool write_whole() {
        if (short_write_countdown == 0) {
            short_write_countdown = -1;
            return false;
        }
        if (short_write_countdown > 0) --short_write_countdown;
        return true;
    }
};

struct LineModel : ShortWrites {
    std::uint64_t now = 0;
    std::vector<Arrival> in_flight;

    // One exchange: purge, address byte, 1 ms, frame, the reader's reply `delay` ms after the
    // frame, the wait, one read. Returns the transaction's result and the bytes read.
    int exchange(const Bytes* reply, std::uint32_t delay, std::uint32_t wait, Bytes* read);
};

// Reply bytes chosen by the input: a valid frame, a damaged one, raw bytes, or nothing (a
// reader that does not answer).
struct PlannedReply {
    Bytes bytes;
    std::uint32_t delay = 0;
};

PlannedReply plan_reply(Input& in);

// A valid reply frame of `payload`.
Bytes frame_of(const Bytes& payload);

// A model of the double's line in full: bytes that have arrived and wait in the input queue,
// and bytes still in flight, delivered in the order the double delivers them. It predicts the
// reply each exchange takes in fixed and in complete mode, the settle after a failure, and the
// virtual time every call ends at.
struct FullLine : ShortWrites {
    std::uint64_t now = 0;
    std::vector<Arrival> in_flight;
    Bytes input;

    void deliver();
    void purge();
    // The earliest time an arrival brings bytes, or none.
    bool next_arrival(std::uint64_t* at) const;
    // A wait for received bytes of at most `ms`: true when bytes are there.
    bool wait(std::uint64_t ms);
    Bytes take(std::size_t max);

    // Waits for 20 quiet ms, dropping what comes, until `deadline` at the latest; then purges.
    void settle(std::uint64_t deadline);

    static int verdict(const Bytes& f);

    // One exchange; `read` receives the bytes taken as the reply. `leftover` tells whether
    // bytes wait behind a complete frame.
    int exchange(const PlannedReply& reply, std::uint32_t wait_ms, bool complete,
                 std::uint32_t slack, Bytes* read, bool* leftover);
};

}  // namespace tqrf::fuzz::commands
