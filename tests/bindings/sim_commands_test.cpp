// The simulator keeps its own model of the reader. Every command of the library's table must be
// one it knows: the same payload length, an answer other than "unknown command", and, where a
// freshly powered reader carries the command out, as many data bytes as the library accepts.
// A new row fails here until the simulator answers it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>

#include "link/command.h"
#include "link/commands.h"
#include "tqrf_sim/frame.h"
#include "tqrf_sim/reader.h"

namespace {

using tqrf::CommandRow;
using tqrf::COMMANDS;

// A clock the simulator accepts: 12:34:56, 9 Dec 2026, a Wednesday (BCD).
constexpr std::array<std::uint8_t, 16> kInput = {0x56, 0x34, 0x12, 0x09, 0x12, 0x03, 0x26};

std::uint32_t payload_of(const CommandRow& row, std::uint8_t* payload) {
    tqrf::Call call{};
    call.in = kInput.data();
    tqrf::build_payload(row, call, payload);
    return row.length;
}

TEST(SimulatorAnswersTheTable, EveryCommandWithItsPayloadLength) {
    for (const CommandRow& row : COMMANDS) {
        SCOPED_TRACE(row.legacy_export);
        EXPECT_EQ(tqrf_sim::command_length(row.code), row.length);

        tqrf_sim::Reader reader;
        std::uint8_t payload[tqrf::REQUEST_PAYLOAD_MAX];
        const std::uint32_t length = payload_of(row, payload);
        const tqrf_sim::Reply reply =
            reader.handle(std::span(payload, length), tqrf_sim::Clock::now());
        ASSERT_FALSE(reply.payload.empty());
        EXPECT_NE(reply.status(), tqrf_sim::to_byte(tqrf_sim::Status::UnknownCommand));
        EXPECT_NE(reply.status(), tqrf_sim::to_byte(tqrf_sim::Status::BadParameter));
        if (reply.status() == 0) {
            const std::uint32_t data = static_cast<std::uint32_t>(reply.payload.size() - 1);
            EXPECT_GE(data, row.reply.min);
            EXPECT_LE(data, row.reply.max);
        }
    }
}

// The reader-device commands need no card: a fresh reader carries each of them out, so the
// data-count check above runs for every one of them.
TEST(SimulatorAnswersTheTable, ReaderCommandsSucceedWithoutACard) {
    for (tqrf::Op op :
         {tqrf::Op::RESET, tqrf::Op::READ_VERSION, tqrf::Op::READ_ID, tqrf::Op::READ_E2,
          tqrf::Op::LINK_TEST, tqrf::Op::BEEP, tqrf::Op::READ_CLOCK, tqrf::Op::SET_CLOCK}) {
        const CommandRow& row = tqrf::row(op);
        SCOPED_TRACE(row.legacy_export);
        tqrf_sim::Reader reader;
        std::uint8_t payload[tqrf::REQUEST_PAYLOAD_MAX];
        const std::uint32_t length = payload_of(row, payload);
        EXPECT_EQ(reader.handle(std::span(payload, length), tqrf_sim::Clock::now()).status(), 0);
    }
}

// The constants both sides of the line must agree on, each written once in each model.
TEST(SimulatorAnswersTheTable, LineConstantsAgree) {
    struct Pair {
        const char* name;
        std::size_t library;
        std::size_t simulator;
    };
    const Pair pairs[] = {
        {"address byte", tqrf::READER_ADDRESS, tqrf_sim::kReaderAddress},
        {"command lead", tqrf::COMMAND_LEAD, tqrf_sim::kCommandLead},
        {"longest request payload", tqrf::REQUEST_PAYLOAD_MAX, tqrf_sim::kMaxRequestPayload},
        {"longest reply frame", tqrf::REPLY_FRAME_MAX, tqrf_sim::kMaxReplyFrame},
        {"fixed parameter", tqrf::FIXED_PARAMETER, tqrf_sim::kFixedParameter},
        {"request idle", tqrf::REQUEST_IDLE, tqrf_sim::kRequestIdle},
        {"request all", tqrf::REQUEST_ALL, tqrf_sim::kRequestAll},
        {"key A", tqrf::KEY_TYPE_A, tqrf_sim::kKeyTypeA},
        {"key B", tqrf::KEY_TYPE_B, tqrf_sim::kKeyTypeB},
        {"clock bytes", tqrf::CLOCK_BYTES, tqrf_sim::kClockSize},
    };
    for (const Pair& p : pairs) EXPECT_EQ(p.library, p.simulator) << p.name;
}

}  // namespace
