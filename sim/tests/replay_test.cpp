#include "tqrf_sim/replay.h"

#include <gtest/gtest.h>

#include "tqrf_sim/frame.h"

namespace tqrf_sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Recorded with the library of this tree against tqrf-sim: a program on the legacy exports
// (tqrf_init_device, request, anticoll, select, loadkey, authentication of sector 1, read of
// block 4, read of block 0) run with TQRF_TRACE set.
constexpr const char* kLibraryTrace = R"(810.570245 address 58
810.576132 frame 00 04 BB 41 26 00 D8
810.620224 reply 00 03 04 00 00 07
810.620255 result 0 done
810.620299 address 58
810.624105 frame 00 04 BB 42 00 00 FD
810.664186 reply 00 05 3A 7C 91 E5 00 37
810.664207 result 0 done
810.664246 address 58
810.665281 frame 00 07 BB 43 3A 7C 91 E5 00 CD
810.705378 reply 00 02 08 00 0A
810.705398 result 0 done
810.705429 address 58
810.706506 frame 00 0A BB 61 60 01 ** ** ** ** ** ** **
810.746602 reply 00 01 00 01
810.746627 result 0 done
810.746661 address 58
810.752116 frame 00 04 BB 44 60 01 9A
810.796112 reply 00 01 00 01
810.796139 result 0 done
810.796177 address 58
810.800147 frame 00 04 BB 45 04 00 FE
810.844108 reply 00 11 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 11
810.844135 result 0 done
810.844166 address 58
810.848103 frame 00 04 BB 45 00 00 FA
810.892091 reply 00 01 13 12
810.892124 result 19 reader status 19 (0x13)
)";

// Recorded with `tqrf --port PTY --trace read 4 2>trace.txt` against
// `tqrf-sim --fault noreply@0x45/1`: the read got no reply.
constexpr const char* kToolTrace = R"(trace    0.000000  > 58  (address, mark parity)
trace    0.003900  > 00 04 BB 62 52 00 8F  (frame, space parity)
trace    0.007121  < 00 08 04 00 08 3A 7C 91 E5 00 36  (reply, space parity)
trace    0.007143  = 0 done
trace    0.007154  > 58  (address, mark parity)
trace    0.008186  > 00 0A BB 61 60 01 ** ** ** ** ** ** **  (frame, space parity)
trace    0.011331  < 00 01 00 01  (reply, space parity)
trace    0.011351  = 0 done
trace    0.011360  > 58  (address, mark parity)
trace    0.015664  > 00 04 BB 44 60 01 9A  (frame, space parity)
trace    0.018829  < 00 01 00 01  (reply, space parity)
trace    0.018851  = 0 done
trace    0.018863  > 58  (address, mark parity)
trace    0.019905  > 00 04 BB 45 04 00 FE  (frame, space parity)
trace    0.063874  < (nothing)  (reply, space parity)
trace    0.063919  = -86 no reply from the reader (check its power, the cable and the line rate)
tqrf: reading block 4: no reply from the reader (check its power, the cable and the line rate)
)";

std::vector<RecordedByte> recorded(std::initializer_list<int> bytes) {
    std::vector<RecordedByte> out;
    for (int b : bytes) {
        out.push_back(b < 0 ? RecordedByte{} : RecordedByte{static_cast<std::uint8_t>(b)});
    }
    return out;
}

constexpr int H = -1;  // a hidden byte

TEST(ParseTrace, ReadsBothFormatsAsTheyAreWritten) {
    struct Expected {
        std::size_t line;
        std::vector<RecordedByte> request;
        Bytes reply;
        std::size_t reply_line;
    };
    struct Case {
        const char* what;
        const char* text;
        std::size_t lines;
        std::vector<Expected> exchanges;
    };
    // The exchanges both recorded sessions hold: key A loaded for sector 1 (hidden in the
    // trace), the authentication, each answered with status 0, and the read of block 4.
    const auto load_key = recorded({0x00, 0x0A, 0xBB, 0x61, 0x60, 0x01, H, H, H, H, H, H, H});
    const auto authenticate = recorded({0x00, 0x04, 0xBB, 0x44, 0x60, 0x01, 0x9A});
    const auto read_block4 = recorded({0x00, 0x04, 0xBB, 0x45, 0x04, 0x00, 0xFE});
    const Bytes ok = {0x00, 0x01, 0x00, 0x01};
    const Case cases[] = {
        {"TQRF_TRACE file",
         kLibraryTrace,
         28,
         {
             {2,
              recorded({0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}),
              {0x00, 0x03, 0x04, 0x00, 0x00, 0x07},
              3},
             {6,
              recorded({0x00, 0x04, 0xBB, 0x42, 0x00, 0x00, 0xFD}),
              {0x00, 0x05, 0x3A, 0x7C, 0x91, 0xE5, 0x00, 0x37},
              7},
             {10,
              recorded({0x00, 0x07, 0xBB, 0x43, 0x3A, 0x7C, 0x91, 0xE5, 0x00, 0xCD}),
              {0x00, 0x02, 0x08, 0x00, 0x0A},
              11},
             {14, load_key, ok, 15},
             {18, authenticate, ok, 19},
             {22, read_block4, encode_frame(Bytes(17, 0x00)), 23},
             {26,
              recorded({0x00, 0x04, 0xBB, 0x45, 0x00, 0x00, 0xFA}),
              {0x00, 0x01, 0x13, 0x12},
              27},
         }},
        {"tqrf --trace",
         kToolTrace,
         17,
         {
             {2,
              recorded({0x00, 0x04, 0xBB, 0x62, 0x52, 0x00, 0x8F}),
              {0x00, 0x08, 0x04, 0x00, 0x08, 0x3A, 0x7C, 0x91, 0xE5, 0x00, 0x36},
              3},
             {6, load_key, ok, 7},
             {10, authenticate, ok, 11},
             {14, read_block4, {}, 15},
         }},
        {"several ports named, all the same one; CR LF line ends",
         "trace    0.000000  /dev/pts/4  > 58  (address, mark parity)\r\n"
         "trace    0.001078  /dev/pts/4  > 00 04 BB 62 26 00 FB  (frame, space parity)\r\n"
         "trace    0.004283  /dev/pts/4  < 00 08 04 00 08 3A 7C 91 E5 00 36  (reply, space "
         "parity)\r\n",
         3,
         {{2,
           recorded({0x00, 0x04, 0xBB, 0x62, 0x26, 0x00, 0xFB}),
           {0x00, 0x08, 0x04, 0x00, 0x08, 0x3A, 0x7C, 0x91, 0xE5, 0x00, 0x36},
           3}}},
        {"a frame cut short is passed over with its reply; a frame without reply line",
         "1.000000 frame 00 04 BB\n"
         "1.000100 reply 00 01 00 01\n"
         "1.100000 note reader status: the reader never sees its address byte\n"
         "1.200000 frame 00 04 BB 77 55 00 9D\n"
         "1.300000 frame 00 04 BB 77 55 00 9D\n"
         "1.300100 reply\n"
         "1.300200 result -86 no reply\n",
         7,
         {{4, recorded({0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D}), {}, 0},
          {5, recorded({0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D}), {}, 6}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        const auto session = parse_trace(c.text, &error);
        ASSERT_TRUE(session) << error;
        EXPECT_EQ(session->lines, c.lines);
        ASSERT_EQ(session->exchanges.size(), c.exchanges.size());
        for (std::size_t i = 0; i < c.exchanges.size(); ++i) {
            const RecordedExchange& got = session->exchanges[i];
            const Expected& want = c.exchanges[i];
            EXPECT_EQ(got.line, want.line) << i;
            EXPECT_EQ(got.request, want.request) << i;
            EXPECT_EQ(got.reply, want.reply) << i;
            EXPECT_EQ(got.reply_line, want.reply_line) << i;
        }
    }
}

TEST(ParseTrace, RefusesWhatItCannotReplay) {
    struct Case {
        const char* text;
        const char* says;
    };
    const Case cases[] = {
        {"", "no request frame"},
        {"tqrf: no reader given\n1.0 result 0 done\n", "no request frame"},
        {"1.000000 frame 00 04 BB 7X 55 00 9D\n", "line 1: bytes that are no bytes"},
        {"1.0 frame 00 04 BB +7 55 00 9D\n", "line 1: bytes that are no bytes"},
        {"1.0 frame 00 04 BB -1 55 00 9D\n", "line 1: bytes that are no bytes"},
        {"1.0 frame 00 04 BB 77 55 00 9D\n1.1 reply 00 01 ** 01\n", "line 2: a reply with hidden"},
        {"trace    0.1  > 00 04 BB 77 55 00 9D 123  (frame, space parity)\n", "line 1: bytes"},
        {"trace    0.1  /dev/pts/4  > 00 04 BB 77 55 00 9D  (frame, space parity)\n"
         "trace    0.2  /dev/pts/5  > 00 04 BB 77 55 00 9D  (frame, space parity)\n",
         "line 2: a second port"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_trace(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
}

TEST(Replay, AnswersTheRecordedRequestsInOrderUntilOneDiffers) {
    const auto session = parse_trace(kLibraryTrace);
    ASSERT_TRUE(session);
    struct Step {
        Bytes payload;
        std::size_t line;  // of the recorded exchange given, 0 for none
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        ReplayMismatch mismatch;  // line 0 and empty texts: none
        std::size_t answered;
    };
    // The session's first three exchanges, as recorded: the card found and selected.
    const Step request{{0xBB, 0x41, 0x26, 0x00}, 2};
    const Step anticoll{{0xBB, 0x42, 0x00, 0x00}, 6};
    const Step select{{0xBB, 0x43, 0x3A, 0x7C, 0x91, 0xE5, 0x00}, 10};
    const Case cases[] = {
        {"the recorded session, any key for the hidden one",
         {request,
          anticoll,
          select,
          {{0xBB, 0x61, 0x60, 0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, 14},
          {{0xBB, 0x44, 0x60, 0x01}, 18},
          {{0xBB, 0x45, 0x04, 0x00}, 22},
          {{0xBB, 0x45, 0x00, 0x00}, 26}},
         {},
         7},
        {"another block read",
         {request,
          anticoll,
          select,
          {{0xBB, 0x61, 0x60, 0x01, 0, 0, 0, 0, 0, 0}, 14},
          {{0xBB, 0x44, 0x60, 0x01}, 18},
          {{0xBB, 0x45, 0x05, 0x00}, 0},
          {{0xBB, 0x45, 0x04, 0x00}, 0}},
         {22, "00 04 BB 45 04 00 FE", "00 04 BB 45 05 00 FF"},
         5},
        {"a key loaded for another sector: the visible bytes still count",
         {request,
          anticoll,
          select,
          {{0xBB, 0x61, 0x60, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0}},
         {14, "00 0A BB 61 60 01 ** ** ** ** ** ** **", "00 0A BB 61 60 02 ** ** ** ** ** ** **"},
         3},
        {"a longer request",
         {{{0xBB, 0x41, 0x26, 0x00, 0x00}, 0}},
         {2, "00 04 BB 41 26 00 D8", "00 05 BB 41 26 00 00 D9"},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Replay replay(*session);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const RecordedExchange* got = replay.next(encode_frame(c.steps[i].payload));
            EXPECT_EQ(got == nullptr ? 0 : got->line, c.steps[i].line) << "step " << i;
        }
        const ReplayProgress p = replay.progress();
        EXPECT_EQ(p.answered, c.answered);
        EXPECT_EQ(p.total, 7u);
        if (c.mismatch.line == 0) {
            EXPECT_FALSE(p.mismatch);
            EXPECT_EQ(p.next_line, 0u);
        } else {
            ASSERT_TRUE(p.mismatch);
            EXPECT_EQ(p.mismatch->line, c.mismatch.line);
            EXPECT_EQ(p.mismatch->recorded, c.mismatch.recorded);
            EXPECT_EQ(p.mismatch->received, c.mismatch.received);
            EXPECT_EQ(p.next_line, 0u);
        }
    }
}

TEST(Replay, ARequestPastTheEndOfTheTraceDiffers) {
    auto session = parse_trace("1.0 frame 00 04 BB 77 55 00 9D\n1.1 reply 00 01 00 01\n");
    ASSERT_TRUE(session);
    Replay replay(*session);
    const Bytes link_test = encode_frame(Bytes{0xBB, 0x77, 0x55, 0x00});
    ASSERT_NE(replay.next(link_test), nullptr);
    EXPECT_EQ(replay.progress().answered, 1u);
    EXPECT_EQ(replay.next(link_test), nullptr);
    const auto m = replay.progress().mismatch;
    ASSERT_TRUE(m);
    EXPECT_EQ(describe(*m), "the trace has no more requests\n  received: 00 04 BB 77 55 00 9D");
    const ReplayMismatch differs{27, "00 04 BB 45 01 00 FB", "00 04 BB 45 02 00 F8"};
    EXPECT_EQ(describe(differs),
              "line 27: the request differs\n  recorded: 00 04 BB 45 01 00 FB\n"
              "  received: 00 04 BB 45 02 00 F8");
}

}  // namespace
}  // namespace tqrf_sim
