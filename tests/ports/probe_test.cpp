// Probing a port and what an exchange heard, on the recording serial double: exact bytes on the
// wire (one link test, and version and identity only after a reader answered), each class of
// answer, each open failure, the reply deadline on the virtual clock.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <ostream>
#include <vector>

#include "link/answer.h"
#include "tests/support/fixture.h"
#include "tests/support/recording_serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf::testing {
namespace {

const Bytes LINK_TEST_FRAME{0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D};
const Bytes VERSION_FRAME{0x00, 0x04, 0xBB, 0x73, 0x00, 0x00, 0xCC};
const Bytes ID_FRAME{0x00, 0x04, 0xBB, 0x76, 0x00, 0x00, 0xC9};

Bytes with_address(const Bytes& frame) {
    Bytes b{0x58};
    b.insert(b.end(), frame.begin(), frame.end());
    return b;
}

std::vector<WireByte> requests_on_wire(const std::vector<Bytes>& frames) {
    std::vector<WireByte> wire;
    for (const Bytes& f : frames) {
        const auto one = request_on_wire(f);
        wire.insert(wire.end(), one.begin(), one.end());
    }
    return wire;
}

Bytes received(const tqrf_probe_result& r) {
    return Bytes(r.bytes, r.bytes + r.received);
}

class Probe : public PortClosed {};

TEST_F(Probe, ReaderAnsweringGivesVersionAndIdentityAfterTheLinkTest) {
    rec().script_reply(reply_frame({0x00}));
    rec().script_reply(reply_frame({'R', 'W', 'D', '1', 0x00}));
    rec().script_reply(reply_frame({0x78, 0x56, 0x34, 0x12, 0x00}));
    tqrf_probe_result r;
    ASSERT_EQ(tqrf_probe("/dev/reader", 0, &r), 0);

    EXPECT_EQ(r.outcome, TQRF_PROBE_READER);
    EXPECT_EQ(r.os_error, 0);
    EXPECT_EQ(received(r), reply_frame({0x00}));
    EXPECT_EQ(Bytes(r.version, r.version + r.version_length), (Bytes{'R', 'W', 'D', '1'}));
    EXPECT_EQ(r.reader_id, 0x12345678u);
    // Address byte, its 1 ms pause, then the reply 5 ms after the frame.
    EXPECT_EQ(r.round_trip_us, 6000u);
    EXPECT_EQ(rec().wire, requests_on_wire({LINK_TEST_FRAME, VERSION_FRAME, ID_FRAME}));
    EXPECT_EQ(rec().events.back(), "close");
}

TEST_F(Probe, ReaderThatRefusesVersionAndIdentityIsStillTheReader) {
    rec().script_reply(reply_frame({0x01}));             // link test: a status byte of its own
    rec().script_reply(reply_frame({0x05}));             // version: refused
    rec().script_reply({0x00, 0x02, 0x01, 0x00, 0x02});  // identity: bad checksum
    tqrf_probe_result r;
    ASSERT_EQ(tqrf_probe("/dev/reader", 0, &r), 0);
    EXPECT_EQ(r.outcome, TQRF_PROBE_READER);
    EXPECT_EQ(r.version_length, 0u);
    EXPECT_EQ(r.reader_id, 0u);
}

// What came back for the link test, and what the probe makes of it. Nothing but the link test
// goes out when no reader answered.
struct LineCase {
    const char* name;
    std::vector<Recorder::Piece> pieces;  // empty: silence
    std::int32_t outcome;
    Bytes bytes;  // what the result shows
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class ProbeLine : public Probe, public ::testing::WithParamInterface<LineCase> {};

TEST_P(ProbeLine, ClassifiesWhatCameBackAndSendsOnlyTheLinkTest) {
    const LineCase& c = GetParam();
    if (!c.pieces.empty()) rec().script_pieces(c.pieces);
    tqrf_probe_result r;
    ASSERT_EQ(tqrf_probe("/dev/reader", 0, &r), 0);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(received(r), c.bytes);
    EXPECT_EQ(r.round_trip_us, 0u);
    EXPECT_EQ(r.version_length, 0u);
    EXPECT_EQ(rec().wire, requests_on_wire({LINK_TEST_FRAME}));
}

const Bytes NOISE{0xFF, 0x13, 0x37, 0x00, 0xFE};
const Bytes TRUNCATED_REPLY{0x00, 0x01, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Answers, ProbeLine,
    ::testing::Values(
        LineCase{"Silence", {}, TQRF_PROBE_SILENT, {}},
        LineCase{"EchoOfAddressAndFrame",
                 {{with_address(LINK_TEST_FRAME), 1}},
                 TQRF_PROBE_ECHO,
                 with_address(LINK_TEST_FRAME)},
        // The echo arrives in two pieces: all of it is shown.
        LineCase{"EchoInPieces",
                 {{{0x58, 0x00, 0x04}, 1}, {{0xBB, 0x77, 0x55, 0x00, 0x9D}, 10}},
                 TQRF_PROBE_ECHO,
                 with_address(LINK_TEST_FRAME)},
        // A loopback that lost the address byte returns a frame that passes every check.
        LineCase{"EchoOfFrameAlone", {{LINK_TEST_FRAME, 1}}, TQRF_PROBE_ECHO, LINK_TEST_FRAME},
        LineCase{"Noise", {{NOISE, 2}}, TQRF_PROBE_NOISE, NOISE},
        LineCase{"ReplyCutShort", {{TRUNCATED_REPLY, 2}}, TQRF_PROBE_NOISE, TRUNCATED_REPLY},
        LineCase{"BadChecksum",
                 {{{0x00, 0x01, 0x00, 0x02}, 2}},
                 TQRF_PROBE_NOISE,
                 (Bytes{0x00, 0x01, 0x00, 0x02})}),
    [](const auto& param_info) { return param_info.param.name; });

// Why a port did not open; nothing is ever written.
struct OpenCase {
    const char* name;
    int os_error;
    std::int32_t outcome;
};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class ProbeOpen : public Probe, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(ProbeOpen, SaysWhyThePortDidNotOpen) {
    rec().fail_open = true;
    rec().open_error = GetParam().os_error;
    tqrf_probe_result r;
    ASSERT_EQ(tqrf_probe("/dev/reader", 0, &r), 0);
    EXPECT_EQ(r.outcome, GetParam().outcome);
    EXPECT_EQ(r.os_error, GetParam().os_error);
    EXPECT_EQ(r.received, 0u);
    EXPECT_TRUE(rec().wire.empty());
}

INSTANTIATE_TEST_SUITE_P(Failures, ProbeOpen,
                         ::testing::Values(OpenCase{"Missing", ENOENT, TQRF_PROBE_MISSING},
                                           OpenCase{"NotPermitted", EACCES,
                                                    TQRF_PROBE_NO_PERMISSION},
                                           OpenCase{"Busy", EBUSY, TQRF_PROBE_BUSY},
                                           OpenCase{"NotSerial", ENOTTY, TQRF_PROBE_NOT_SERIAL},
                                           OpenCase{"Other", EIO, TQRF_PROBE_OPEN_FAILED}),
                         [](const auto& param_info) { return param_info.param.name; });

TEST_F(Probe, PortHeldByThisProcessIsBusyAndUntouched) {
    ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
    rec().clear_log();
    tqrf_probe_result r;
    ASSERT_EQ(tqrf_probe("/dev/reader", 0, &r), 0);
    EXPECT_EQ(r.outcome, TQRF_PROBE_BUSY);
    EXPECT_TRUE(rec().wire.empty());
}

// A line that cannot be set is an open failure; an adapter that drops mark and space parity is
// told. Either way nothing is written and the port is left closed.
TEST_F(Probe, LineThatCannotBeSetOrDropsMarkSpaceIsLeftClosedAndNeverWrittenTo) {
    const struct {
        bool tqrf::testing::Recorder::*fault;
        std::int32_t outcome;
    } cases[] = {{&tqrf::testing::Recorder::fail_queues, TQRF_PROBE_OPEN_FAILED},
                 {&tqrf::testing::Recorder::drops_mark_space, TQRF_PROBE_NO_MARK_SPACE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        rec().*c.fault = true;
        tqrf_probe_result r;
        ASSERT_EQ(tqrf_probe("/dev/reader", 0, &r), 0);
        EXPECT_EQ(r.outcome, c.outcome);
        EXPECT_TRUE(rec().wire.empty());
        EXPECT_FALSE(rec().open_device);
        rec().*c.fault = false;
    }
}

TEST_F(Probe, RefusesMissingArguments) {
    tqrf_probe_result r;
    EXPECT_EQ(tqrf_probe(nullptr, 0, &r), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_probe("", 0, &r), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_probe("/dev/reader", 0, nullptr), ERR_BAD_ARGUMENT);
    EXPECT_TRUE(rec().opened_paths.empty());
}

// How long a silent line is waited for: the deadline asked, brought into 40 to 1040 ms, after
// the address byte's 1 ms pause.
struct DeadlineCase {
    std::uint32_t asked;
    std::uint64_t waited_ms;
};

void PrintTo(const DeadlineCase& c, std::ostream* os) {
    *os << "deadline " << c.asked;
}

class ProbeDeadline : public Probe, public ::testing::WithParamInterface<DeadlineCase> {};

TEST_P(ProbeDeadline, SilentLineIsWaitedForTheDeadline) {
    const std::uint64_t before = rec().now_ms;
    tqrf_probe_result r;
    ASSERT_EQ(tqrf_probe("/dev/reader", GetParam().asked, &r), 0);
    EXPECT_EQ(r.outcome, TQRF_PROBE_SILENT);
    EXPECT_EQ(rec().now_ms - before, 1 + GetParam().waited_ms);
}

INSTANTIATE_TEST_SUITE_P(Deadlines, ProbeDeadline,
                         ::testing::Values(DeadlineCase{0, 100}, DeadlineCase{10, 40},
                                           DeadlineCase{250, 250}, DeadlineCase{5000, 1040}));

// ---- What the last exchange of a reader heard ----------------------------------------------

class LastAnswer : public PortClosed {
  protected:
    void SetUp() override {
        PortClosed::SetUp();
        ASSERT_EQ(tqrf_reader_open("/dev/reader", &reader_), 0);
        rec().clear_log();
    }
    void TearDown() override {
        tqrf_reader_close(reader_);
        PortClosed::TearDown();
    }
    tqrf_reader* reader_ = nullptr;
};

TEST_F(LastAnswer, NoneBeforeTheFirstExchangeAndNullRefused) {
    EXPECT_EQ(tqrf_reader_last_answer(reader_), TQRF_ANSWER_NONE);
    EXPECT_EQ(tqrf_reader_last_answer(nullptr), ERR_BAD_ARGUMENT);
}

struct AnswerCase {
    const char* name;
    Bytes reply;  // empty: silence
    std::int32_t result;
    std::int32_t answer;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class LastAnswerOf : public LastAnswer, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(LastAnswerOf, LinkTestTellsWhatCameBack) {
    const AnswerCase& c = GetParam();
    if (!c.reply.empty()) rec().script_reply(c.reply, 2);
    EXPECT_EQ(tqrf_reader_link_test(reader_), c.result);
    EXPECT_EQ(tqrf_reader_last_answer(reader_), c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LastAnswerOf,
    ::testing::Values(
        AnswerCase{"Frame", reply_frame({0x00}), 0, TQRF_ANSWER_FRAME},
        AnswerCase{"FrameWithStatus", reply_frame({0x07}), 7, TQRF_ANSWER_FRAME},
        AnswerCase{"Silence", {}, ERR_REPLY_FRAME, TQRF_ANSWER_SILENCE},
        AnswerCase{"EchoWithAddress", with_address(LINK_TEST_FRAME), ERR_REPLY_FRAME,
                   TQRF_ANSWER_ECHO},
        // The frame alone comes back: a valid frame, but not the reader's reply.
        AnswerCase{"EchoOfFrame", LINK_TEST_FRAME, ERR_REPLY_LENGTH, TQRF_ANSWER_ECHO},
        AnswerCase{"Noise", NOISE, ERR_REPLY_FRAME, TQRF_ANSWER_NOISE},
        AnswerCase{"BadChecksum", {0x00, 0x01, 0x00, 0x02}, ERR_REPLY_CHECKSUM, TQRF_ANSWER_NOISE}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_F(LastAnswer, EachExchangeReplacesTheLast) {
    rec().script_reply(with_address(LINK_TEST_FRAME), 2);
    (void)tqrf_reader_link_test(reader_);
    EXPECT_EQ(tqrf_reader_last_answer(reader_), TQRF_ANSWER_ECHO);
    rec().script_reply(reply_frame({0x00}), 2);
    EXPECT_EQ(tqrf_reader_link_test(reader_), 0);
    EXPECT_EQ(tqrf_reader_last_answer(reader_), TQRF_ANSWER_FRAME);
}

TEST_F(LastAnswer, RequestNotWrittenLeavesNoAnswer) {
    rec().script_reply(reply_frame({0x00}), 2);
    (void)tqrf_reader_link_test(reader_);
    rec().short_write_countdown = 1;  // the frame comes out a byte short
    EXPECT_EQ(tqrf_reader_link_test(reader_), ERR_SEND_FAILED);
    EXPECT_EQ(tqrf_reader_last_answer(reader_), TQRF_ANSWER_NONE);
}

// ---- The classification itself ---------------------------------------------------------------

struct ClassifyCase {
    const char* name;
    Bytes heard;
    bool valid_frame;
    std::int32_t answer;
};

void PrintTo(const ClassifyCase& c, std::ostream* os) {
    *os << c.name;
}

class Classify : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, AgainstTheLinkTestRequest) {
    const Bytes sent = with_address(LINK_TEST_FRAME);
    const ClassifyCase& c = GetParam();
    EXPECT_EQ(classify_answer(sent.data(), static_cast<std::uint32_t>(sent.size()), c.heard.data(),
                              static_cast<std::uint32_t>(c.heard.size()), c.valid_frame),
              c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Classify,
    ::testing::Values(
        ClassifyCase{"Nothing", {}, false, TQRF_ANSWER_SILENCE},
        ClassifyCase{"AddressByteAlone", {0x58}, false, TQRF_ANSWER_ECHO},
        ClassifyCase{"StartOfEcho", {0x58, 0x00}, false, TQRF_ANSWER_ECHO},
        ClassifyCase{"WholeEcho", with_address(LINK_TEST_FRAME), false, TQRF_ANSWER_ECHO},
        ClassifyCase{"FrameEcho", LINK_TEST_FRAME, true, TQRF_ANSWER_ECHO},
        ClassifyCase{"StartOfFrameEcho", {0x00, 0x04, 0xBB}, false, TQRF_ANSWER_ECHO},
        // Two bytes 00 04 begin many replies: not enough to call them an echo.
        ClassifyCase{"TwoBytesLikeFrameStart", {0x00, 0x04}, false, TQRF_ANSWER_NOISE},
        ClassifyCase{"LoneZero", {0x00}, false, TQRF_ANSWER_NOISE},
        ClassifyCase{"EchoThenMore",
                     {0x58, 0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D, 0x01},
                     false,
                     TQRF_ANSWER_NOISE},
        ClassifyCase{"ReplyFrame", {0x00, 0x01, 0x00, 0x01}, true, TQRF_ANSWER_FRAME},
        ClassifyCase{"Garbage", {0xFF, 0xFF}, false, TQRF_ANSWER_NOISE}),
    [](const auto& param_info) { return param_info.param.name; });

}  // namespace
}  // namespace tqrf::testing
