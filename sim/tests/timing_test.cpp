// The line's time model and the reader's working times, without a pseudo-terminal.
#include "tqrf_sim/timing.h"

#include <gtest/gtest.h>

#include <vector>

#include "tqrf_sim/frame.h"
#include "tqrf_sim/reader.h"
#include "tqrf_sim/status.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint8_t kOk = 0x00;

Bytes request_for(std::uint8_t code) {
    Bytes p(command_length(code), 0x00);
    p[0] = kCommandLead;
    p[1] = code;
    return p;
}

double micros(std::chrono::nanoseconds t) {
    return static_cast<double>(t.count()) / 1000.0;
}

TEST(Timing, ProfileNamesRoundTrip) {
    for (TimingProfile p : {TimingProfile::Instant, TimingProfile::Mf1k}) {
        EXPECT_EQ(parse_timing_profile(timing_profile_name(p)), p);
    }
    EXPECT_FALSE(parse_timing_profile("MF1K"));
    EXPECT_FALSE(parse_timing_profile(""));
    EXPECT_FALSE(parse_timing_profile("mf4k"));
}

TEST(Timing, InstantProfileTakesNoTimeForAnyCommand) {
    for (unsigned code = 0; code < 256; ++code) {
        const std::size_t length = command_length(static_cast<std::uint8_t>(code));
        Bytes p(length < 2 ? 2 : length, 0x00);
        p[0] = kCommandLead;
        p[1] = static_cast<std::uint8_t>(code);
        for (std::uint8_t status : {kOk, to_byte(Status::NoCard), to_byte(Status::AuthFailed)}) {
            EXPECT_EQ(processing_time(TimingProfile::Instant, p, status), 0ns) << code;
        }
    }
}

// The times of sim/README.md's table, in microseconds.
struct Case {
    const char* what;
    Bytes request;
    std::uint8_t status;
    double micros;
};

TEST(Timing, Mf1kTimesMatchTheTable) {
    const auto full = [](std::uint8_t code) { return request_for(code); };
    Bytes reqa = full(cmd::kRequest);
    reqa[2] = kRequestIdle;
    Bytes wupa = full(cmd::kRequest);
    wupa[2] = kRequestAll;
    Bytes find = full(cmd::kCardFind);
    find[2] = kRequestIdle;
    const std::uint8_t no_card = to_byte(Status::NoCard);
    const std::vector<Case> cases = {
        {"request REQA", reqa, kOk, 569.6},
        {"request WUPA (FDT after a 1 bit)", wupa, kOk, 574.3},
        {"anticollision", full(cmd::kAnticoll), kOk, 933.0},
        {"select", full(cmd::kSelect), kOk, 1357.8},
        {"find", find, kOk, 2633.3},
        {"halt", full(cmd::kHalt), kOk, 1568.1},
        {"load key", full(cmd::kLoadKey), kOk, 200.0},
        {"authenticate", full(cmd::kAuthenticate), kOk, 2853.9},
        {"read", full(cmd::kRead), kOk, 2187.2},
        {"write", full(cmd::kWrite), kOk, 6201.1},
        {"value init", full(cmd::kInitValue), kOk, 6201.1},
        {"value read", full(cmd::kReadValue), kOk, 2187.2},
        {"increment", full(cmd::kIncrement), kOk, 2322.6},
        {"decrement", full(cmd::kDecrement), kOk, 2322.6},
        {"restore", full(cmd::kRestore), kOk, 2322.6},
        {"transfer", full(cmd::kTransfer), kOk, 4427.1},
        {"reset", full(cmd::kReset), kOk, 6300.0},
        {"hardware version", full(cmd::kHardwareVersion), kOk, 200.0},
        {"identity", full(cmd::kReadId), kOk, 200.0},
        {"E2PROM read", full(cmd::kReadE2), kOk, 200.0},
        {"E2PROM write", full(cmd::kWriteE2), kOk, 4200.0},
        {"link test", full(cmd::kLinkTest), kOk, 200.0},
        {"beep (the beep itself is the reader model's hold)", full(cmd::kBeep), kOk, 200.0},
        {"clock read", full(cmd::kReadClock), kOk, 1120.0},
        {"clock set", full(cmd::kSetClock), kOk, 1010.0},
        // Failures: what the reader still has to do before it knows.
        {"request, no card answers", reqa, no_card, 1294.4},
        {"find, no card answers", find, no_card, 1294.4},
        {"anticollision, no ready card", full(cmd::kAnticoll), no_card, 1398.2},
        {"select, no such ready card", full(cmd::kSelect), no_card, 1992.9},
        {"read with no card selected", full(cmd::kRead), no_card, 200.0},
        {"halt with no card selected", full(cmd::kHalt), no_card, 200.0},
        {"authentication with a wrong key", full(cmd::kAuthenticate), to_byte(Status::AuthFailed),
         3382.2},
        {"read the access bits refuse", full(cmd::kRead), to_byte(Status::AccessDenied), 698.1},
        {"increment of no value block", full(cmd::kIncrement), to_byte(Status::ValueFormat), 698.1},
        {"value read of no value block", full(cmd::kReadValue), to_byte(Status::ValueFormat),
         2187.2},
        {"read outside the authenticated sector", full(cmd::kRead),
         to_byte(Status::NotAuthenticated), 200.0},
        {"authentication without a loaded key", full(cmd::kAuthenticate),
         to_byte(Status::KeyNotLoaded), 200.0},
        {"transfer with nothing to transfer", full(cmd::kTransfer),
         to_byte(Status::NoTransferValue), 200.0},
        {"trailer write with contradictory access bits", full(cmd::kWrite),
         to_byte(Status::BadAccessBits), 200.0},
        {"E2PROM write into the product information", full(cmd::kWriteE2),
         to_byte(Status::E2promProtected), 200.0},
        // Requests the reader refuses outright.
        {"unknown code", Bytes{kCommandLead, 0x50, 0x00, 0x00}, to_byte(Status::UnknownCommand),
         200.0},
        {"wrong length for its code", Bytes{kCommandLead, cmd::kRead, 0x04},
         to_byte(Status::BadParameter), 200.0},
        {"not led by 0xBB", Bytes{0xAA, cmd::kRead, 0x04, 0x00}, to_byte(Status::UnknownCommand),
         200.0},
        {"empty payload", Bytes{}, to_byte(Status::UnknownCommand), 200.0},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(micros(processing_time(TimingProfile::Mf1k, c.request, c.status)), c.micros,
                    0.1)
            << c.what;
    }
}

TEST(Timing, InboundLineCarriesOneBytePerByteTime) {
    const Clock::time_point t0 = Clock::time_point{} + 1h;
    InboundLine line;
    // Written at once (the pseudo-terminal delivers them together): spaced a byte time apart.
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(line.take(t0), t0 + kByteTime * i) << i;
    // A byte read while the line is still carrying earlier ones waits its turn.
    EXPECT_EQ(line.take(t0 + kByteTime), t0 + kByteTime * 5);
    // After a silence the next byte takes its own byte time from when it was sent.
    const Clock::time_point t1 = t0 + 10ms;
    EXPECT_EQ(line.take(t1), t1 + kByteTime);
    EXPECT_EQ(line.take(t1), t1 + kByteTime * 2);
}

TEST(Timing, PacedReplyBytesFallDueOnAbsoluteDeadlines) {
    const Clock::time_point start = Clock::time_point{} + 1h;
    EXPECT_EQ(paced_byte_done(start, 0), start + kByteTime);
    EXPECT_EQ(paced_byte_done(start, 22), start + kByteTime * 23);
    // 19200 baud, 11 bits a byte: 1745.45 bytes a second, so 1000 bytes take 572.917 ms.
    EXPECT_NEAR(micros(paced_byte_done(start, 999) - start), 572917.0, 1.0);
}

}  // namespace
}  // namespace tqrf_sim
