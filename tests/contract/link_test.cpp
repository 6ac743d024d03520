// The frame link and the command transaction: wire bytes, parity, pauses, reply checks.
#include "link/link.h"

#include <algorithm>
#include <string>

#include "link/frame.h"
#include "link/transaction.h"
#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

using Link = PortOpen;

TEST_F(Link, RequestGoesOutAddressMarkThenFrameSpace) {
    reply({0x04, 0x00, 0x00});
    const Bytes payload = {0xBB, 0x41, 0x26, 0x00};
    std::uint8_t out[105];
    EXPECT_EQ(transact_command(payload.data(), 4, out, 40), 0);
    EXPECT_EQ(rec().wire, request_on_wire({0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}));
    EXPECT_EQ(rec().events, exchange_events("00 04 BB 41 26 00 D8", 40, 6));
}

TEST_F(Link, FrameChecksumIsTheXorOfAllBytes) {
    const Bytes frame = {0x00, 0x04, 0xBB, 0x41, 0x26, 0x00};
    EXPECT_EQ(frame_checksum(frame.data(), 6), 0xD8);
    EXPECT_EQ(frame_checksum(frame.data(), 0), 0x00);
    std::uint8_t out[8];
    EXPECT_EQ(frame_encode(frame.data() + 2, 4, out, sizeof out), 7u);
    EXPECT_EQ(out[6], 0xD8);
    EXPECT_EQ(frame_encode(frame.data() + 2, 4, out, 6), 0u);  // does not fit: nothing built
}

struct ReplyCase {
    const char* name;
    Bytes arrived;
    int result;
    bool zeroed;  // the first n bytes of the output were zeroed
};

TEST_F(Link, ReplyChecks) {
    Bytes oversize = reply_frame(Bytes(103, 0x11));  // 106 bytes: one more than can be taken
    const ReplyCase cases[] = {
        {"accepted", {0x00, 0x03, 0x04, 0x00, 0x00, 0x07}, 6, false},
        {"nothing", {}, ERR_REPLY_FRAME, false},
        {"bad xor", {0x00, 0x03, 0x04, 0x00, 0x00, 0x08}, ERR_REPLY_CHECKSUM, true},
        {"partial", {0x00, 0x03, 0x04}, ERR_REPLY_FRAME, true},
        {"partial of four", {0x00, 0x03, 0x04, 0x00}, ERR_REPLY_FRAME, true},
        {"len 0", {0x00, 0x00, 0x00}, ERR_REPLY_FRAME, true},
        {"len 0 padded", {0x00, 0x00, 0x00, 0x00}, ERR_REPLY_FRAME, true},
        {"len ffff", {0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04}, ERR_REPLY_FRAME, true},
        {"longer than announced", {0x00, 0x01, 0x00, 0x01, 0x99}, ERR_REPLY_FRAME, true},
        {"oversize", oversize, ERR_REPLY_FRAME, true},
        {"largest", reply_frame(Bytes(102, 0x22)), 105, false},
    };
    for (const ReplyCase& c : cases) {
        rec().input.clear();
        rec().arrive_now(c.arrived);
        std::uint8_t out[120];
        std::fill(std::begin(out), std::end(out), 0xEE);
        const int r = link_receive_reply(out);
        EXPECT_EQ(r, c.result) << c.name;
        const size_t n = std::min<size_t>(c.arrived.size(), 105);
        if (r > 0) {
            EXPECT_TRUE(std::equal(c.arrived.begin(), c.arrived.end(), out)) << c.name;
        }
        for (size_t i = 0; i < sizeof out; ++i) {
            const std::uint8_t want = (i < n && c.zeroed) ? 0x00 : (r > 0 && i < n ? out[i] : 0xEE);
            ASSERT_EQ(out[i], want) << c.name << " byte " << i;
        }
    }
}

TEST_F(Link, TransactionResults) {
    const RawReply cases[] = {
        {"status 0", reply_frame({0x04, 0x00, 0x00}), 5, 0},
        {"status only", reply_frame({0x05}), 5, 5},
        {"status 255", reply_frame({0xFF}), 5, 255},
        {"just in time", reply_frame({0x00}), 40, 0},
        {"late", reply_frame({0x00}), 41, ERR_REPLY_FRAME},
        {"corrupt xor", {0x00, 0x01, 0x00, 0x02}, 5, ERR_REPLY_CHECKSUM},
    };
    for (const RawReply& c : cases) {
        rec().reset();
        rec().open_device = true;  // the port stays open across the reset
        reply_raw(c.raw, c.delay_ms);
        const Bytes payload = {0xBB, 0x71, 0x00, 0x00};
        std::uint8_t out[105];
        EXPECT_EQ(transact_command(payload.data(), 4, out, 40), c.result) << c.name;
    }
}

TEST_F(Link, StaleBytesArePurgedBeforeSending) {
    rec().arrive_now({0x00, 0x01, 0x07, 0x06});  // a late answer to an earlier request
    reply({0x00});
    EXPECT_EQ(tqrf_halt(), 0);
}

TEST_F(Link, ShortWritesFailWithoutThePause) {
    for (int countdown : {0, 1}) {  // the address byte, then the frame
        rec().reset();
        rec().open_device = true;
        rec().short_write_countdown = countdown;
        reply({0x00});
        EXPECT_EQ(tqrf_halt(), ERR_SEND_FAILED) << countdown;
        EXPECT_EQ(std::count(rec().pauses.begin(), rec().pauses.end(), 40u), 0) << countdown;
        if (countdown == 0) {
            EXPECT_TRUE(rec().pauses.empty());  // the frame was never attempted
            EXPECT_TRUE(rec().wire.empty());
        }
    }
}

TEST_F(Link, OversizePayloadIsNotSent) {
    Bytes payload(102, 0xBB);
    EXPECT_EQ(link_send_frame(0x58, 102, payload.data()), ERR_SEND_FAILED);
    Bytes largest(101, 0x00);
    EXPECT_EQ(link_send_frame(0x58, 101, largest.data()), 104);
}

TEST_F(Link, TheRestOfAnOversizeReplyDoesNotReachTheNextCommand) {
    reply_raw(reply_frame(Bytes(110, 0x33)));
    std::uint8_t version[101];
    EXPECT_EQ(tqrf_ReadHardwareVersionNumber(version), ERR_REPLY_FRAME);
    reply({0x00});
    EXPECT_EQ(tqrf_Link_PCandRWD(), 0);
}

}  // namespace
}  // namespace tqrf::testing
