#include "tqrf_sim/timing.h"

#include <utility>

#include "tqrf_sim/frame.h"
#include "tqrf_sim/reader.h"
#include "tqrf_sim/status.h"

namespace tqrf_sim {

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;

// ---- The radio link at 106 kbit/s ------------------------------------------------------------
// One bit is 128 carrier cycles of 13.56 MHz: 9.44 us.
constexpr std::int64_t kCarrierHz = 13'560'000;

constexpr nanoseconds carrier_cycles(std::int64_t cycles) {
    return nanoseconds(cycles * 1'000'000'000 / kCarrierHz);
}
constexpr nanoseconds bits(std::int64_t n) {
    return carrier_cycles(n * 128);
}

// A frame from the reader: start bit, 9 bits per byte (8 data bits and odd parity), and the end
// of frame (two bit times). A frame from the card: start bit, 9 bits per byte, one bit time of
// end. These reproduce the card data sheet's frame times (368 us for a 4-byte command, 1548 us
// for a 16-byte block with its CRC).
constexpr nanoseconds reader_frame(std::int64_t bytes) {
    return bits(9 * bytes + 3);
}
constexpr nanoseconds card_frame(std::int64_t bytes) {
    return bits(9 * bytes + 2);
}
// REQA and WUPA are short frames: start bit, 7 data bits, end of frame.
constexpr nanoseconds kShortFrame = bits(10);
// The card's 4-bit ACK or NAK, as the card data sheet gives it.
constexpr nanoseconds kAck = microseconds(59);

// Frame delay time from the reader's frame to the card's answer for REQA, WUPA, anticollision
// and select: (9 x 128 + 84) / fc when the reader's last bit is 1, (9 x 128 + 20) / fc when it
// is 0. The latter is also the least the reader waits after a card's frame before its next one.
constexpr nanoseconds kFdtAfterOne = carrier_cycles(9 * 128 + 84);   // 91.2 us
constexpr nanoseconds kFdtAfterZero = carrier_cycles(9 * 128 + 20);  // 86.4 us
constexpr nanoseconds kReaderGap = kFdtAfterZero;

// The card's answer times for its own commands (the data sheet's shortest time to ACK).
constexpr nanoseconds kCardTurnaround = microseconds(71);    // read, write, value, transfer
constexpr nanoseconds kAuthTurnaround1 = microseconds(661);  // token RB after the auth command
constexpr nanoseconds kAuthTurnaround2 = microseconds(113);  // token BA after token AB

// The card's EEPROM programming time: from the end of a write's data frame (or of a transfer)
// to its ACK. Chosen so that a whole write comes to the data sheet's typical 6.0 ms, and a
// transfer to about its 4.5 ms.
constexpr nanoseconds kCardProgramming = microseconds(3800);

// How long the reader waits for an answer that does not come: after HLTA (an answer within
// 1 ms would be a NAK), after the second part of increment, decrement and restore (the card
// acknowledges only a failure), and when no card answers at all.
constexpr nanoseconds kNoAnswerWait = microseconds(1000);

// ---- The reader itself ---------------------------------------------------------------------
// The reader's controller taking the request, driving the RC500 and building the reply.
constexpr nanoseconds kFirmware = microseconds(200);
// Reset: the field off, then on and unmodulated for 5.1 ms before a card can be asked again.
constexpr nanoseconds kFieldOff = microseconds(1000);
constexpr nanoseconds kFieldSettle = microseconds(5100);
// Programming a 16-byte block of the RC500's own E2PROM.
constexpr nanoseconds kReaderE2Programming = microseconds(4000);
// The clock chip on a 100 kHz two-wire bus: 9 bits per byte plus start, restart and stop.
constexpr nanoseconds kClockRead = microseconds(920);  // address, register, address, 7 bytes
constexpr nanoseconds kClockSet = microseconds(810);   // address, register, 7 bytes

// ---- Card commands -----------------------------------------------------------------------------
constexpr nanoseconds request_time(bool wupa) {
    // REQA 0x26 ends on a 0 bit, WUPA 0x52 on a 1 bit; ATQA is 2 bytes.
    return kShortFrame + (wupa ? kFdtAfterOne : kFdtAfterZero) + card_frame(2);
}
// SEL, NVB; the card answers its 4 UID bytes and BCC.
constexpr nanoseconds kAnticollision = reader_frame(2) + kFdtAfterOne + card_frame(5);
// SEL, NVB, UID, BCC, CRC; the card answers SAK and CRC.
constexpr nanoseconds kSelect = reader_frame(9) + kFdtAfterOne + card_frame(3);
// HLTA with CRC; no answer.
constexpr nanoseconds kHalt = reader_frame(4) + kNoAnswerWait;
// Auth command with CRC, token RB (4 bytes), token AB (8 bytes), token BA (4 bytes).
constexpr nanoseconds kAuthPart1 = reader_frame(4) + kAuthTurnaround1 + card_frame(4);
constexpr nanoseconds kAuthenticate =
    kAuthPart1 + kReaderGap + reader_frame(8) + kAuthTurnaround2 + card_frame(4);
// A wrong key: token BA never comes.
constexpr nanoseconds kAuthFailed = kAuthPart1 + kReaderGap + reader_frame(8) + kNoAnswerWait;
// Read command with CRC; 16 data bytes and CRC.
constexpr nanoseconds kRead = reader_frame(4) + kCardTurnaround + card_frame(18);
// A command the card turns down with a NAK.
constexpr nanoseconds kNak = reader_frame(4) + kCardTurnaround + kAck;
// Write: command with CRC, ACK; 16 data bytes with CRC, programming, ACK.
constexpr nanoseconds kWrite = reader_frame(4) + kCardTurnaround + kAck + kReaderGap +
                               reader_frame(18) + kCardProgramming + kAck;
// Increment, decrement, restore: command with CRC, ACK; 4 operand bytes with CRC, no answer.
constexpr nanoseconds kValue =
    reader_frame(4) + kCardTurnaround + kAck + kReaderGap + reader_frame(6) + kNoAnswerWait;
// Transfer: command with CRC, programming, ACK.
constexpr nanoseconds kTransfer = reader_frame(4) + kCardProgramming + kAck;

// The time on the card's side for a command that was carried out.
nanoseconds card_time(std::span<const std::uint8_t> p) {
    const bool wupa = p.size() > 2 && p[2] == kRequestAll;
    switch (p[1]) {
        case cmd::kRequest:
            return request_time(wupa);
        case cmd::kAnticoll:
            return kAnticollision;
        case cmd::kSelect:
            return kSelect;
        case cmd::kCardFind:
            return request_time(wupa) + kReaderGap + kAnticollision + kReaderGap + kSelect;
        case cmd::kHalt:
            return kHalt;
        case cmd::kAuthenticate:
            return kAuthenticate;
        case cmd::kRead:
        case cmd::kReadValue:
            return kRead;
        case cmd::kWrite:
        case cmd::kInitValue:
            return kWrite;
        case cmd::kIncrement:
        case cmd::kDecrement:
        case cmd::kRestore:
            return kValue;
        case cmd::kTransfer:
            return kTransfer;
        case cmd::kReset:
            return kFieldOff + kFieldSettle;
        case cmd::kWriteE2:
            return kReaderE2Programming;
        case cmd::kReadClock:
            return kClockRead;
        case cmd::kSetClock:
            return kClockSet;
        default:
            // Load key (the key stays in the controller), version, identity, E2PROM read,
            // link test, beep: the controller alone.
            return nanoseconds::zero();
    }
}

// The time on the card's side for a command that failed with `status`.
nanoseconds failure_time(std::span<const std::uint8_t> p, std::uint8_t status) {
    switch (static_cast<Status>(status)) {
        case Status::NoCard:
            // Nothing answered the reader's frame. For the block commands and halt the reader
            // knows without asking that no card is selected.
            switch (p[1]) {
                case cmd::kRequest:
                case cmd::kCardFind:
                    return kShortFrame + kNoAnswerWait;
                case cmd::kAnticoll:
                    return reader_frame(2) + kNoAnswerWait;
                case cmd::kSelect:
                    return reader_frame(9) + kNoAnswerWait;
                default:
                    return nanoseconds::zero();
            }
        case Status::AuthFailed:
            return kAuthFailed;
        case Status::AccessDenied:
            return kNak;
        case Status::ValueFormat:
            // Read value reads the block and finds it is no value block; the value commands
            // are turned down by the card.
            return p[1] == cmd::kReadValue ? kRead : kNak;
        default:
            // Refused by the controller before anything goes to the card.
            return nanoseconds::zero();
    }
}

}  // namespace

namespace {

// Each profile with the name it goes by on the command line.
constexpr std::pair<TimingProfile, const char*> kProfileNames[] = {
    {TimingProfile::Instant, "instant"},
    {TimingProfile::Mf1k, "mf1k"},
};

}  // namespace

const char* timing_profile_name(TimingProfile profile) {
    for (const auto& [p, name] : kProfileNames) {
        if (p == profile) return name;
    }
    return "?";
}

std::optional<TimingProfile> parse_timing_profile(std::string_view name) {
    for (const auto& [p, n] : kProfileNames) {
        if (name == n) return p;
    }
    return std::nullopt;
}

std::chrono::nanoseconds processing_time(TimingProfile profile,
                                         std::span<const std::uint8_t> request,
                                         std::uint8_t status) {
    if (profile == TimingProfile::Instant) return nanoseconds::zero();
    const bool well_formed = request.size() >= 2 && request[0] == kCommandLead &&
                             command_length(request[1]) == request.size();
    if (!well_formed) return kFirmware;
    const nanoseconds card =
        status == to_byte(Status::Ok) ? card_time(request) : failure_time(request, status);
    return kFirmware + card;
}

}  // namespace tqrf_sim
