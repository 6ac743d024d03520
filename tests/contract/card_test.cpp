// Card commands: exact frames, argument folding, what replies do to the caller's outputs.
#include <algorithm>
#include <array>
#include <functional>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

using Card = PortOpen;

struct FrameCase {
    const char* name;
    std::function<int()> call;
    Bytes frame;  // the frame after the address byte, XOR included
};

const std::uint8_t kSerial[4] = {0x12, 0x34, 0x56, 0x78};
const std::uint8_t kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const std::uint8_t kBlock[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};

std::uint8_t g_out[32];
std::uint32_t g_value;

std::vector<FrameCase> frame_cases() {
    Bytes loadkey = {0x00, 0x0A, 0xBB, 0x61, 0x60, 0x01, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    Bytes loadkey_b = loadkey;
    loadkey_b[4] = 0x61;
    Bytes write4 = {0x00, 0x13, 0xBB, 0x46, 0x04};
    write4.insert(write4.end(), kBlock, kBlock + 16);
    write4.push_back(0xEA);
    return {
        {"request 0",
         [] { return tqrf_request(0, g_out); },
         {0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}},
        {"request 1",
         [] { return tqrf_request(1, g_out); },
         {0x00, 0x04, 0xBB, 0x41, 0x52, 0x00, 0xAC}},
        {"request 0xFF",
         [] { return tqrf_request(0xFF, g_out); },
         {0x00, 0x04, 0xBB, 0x41, 0x52, 0x00, 0xAC}},
        {"request 0x100",
         [] { return tqrf_request(0x100, g_out); },
         {0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}},
        {"request_2 0",
         [] { return tqrf_request_2(0, g_out); },
         {0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}},
        {"request_2 1",
         [] { return tqrf_request_2(1, g_out); },
         {0x00, 0x04, 0xBB, 0x41, 0x52, 0x00, 0xAC}},
        {"anticoll 0",
         [] { return tqrf_anticoll(0, g_out); },
         {0x00, 0x04, 0xBB, 0x42, 0x00, 0x00, 0xFD}},
        {"anticoll 4",
         [] { return tqrf_anticoll(4, g_out); },
         {0x00, 0x04, 0xBB, 0x42, 0x00, 0x04, 0xF9}},
        {"anticoll 0x104",
         [] { return tqrf_anticoll(0x104, g_out); },
         {0x00, 0x04, 0xBB, 0x42, 0x00, 0x04, 0xF9}},
        {"select",
         [] { return tqrf_select(kSerial, g_out); },
         {0x00, 0x07, 0xBB, 0x43, 0x12, 0x34, 0x56, 0x78, 0x00, 0xF7}},
        {"halt", [] { return tqrf_halt(); }, {0x00, 0x04, 0xBB, 0x71, 0x00, 0x00, 0xCE}},
        {"loadkey A 1", [] { return tqrf_loadkey(0, 1, kKey); }, with_xor(loadkey)},
        {"loadkey B 1", [] { return tqrf_loadkey(1, 1, kKey); }, with_xor(loadkey_b)},
        {"loadkey 0x100 17", [] { return tqrf_loadkey(0x100, 17, kKey); }, with_xor(loadkey)},
        {"loadkey A 0xF1", [] { return tqrf_loadkey(0, 0xF1, kKey); }, with_xor(loadkey)},
        {"auth A 1",
         [] { return tqrf_authentication(0, 1); },
         {0x00, 0x04, 0xBB, 0x44, 0x60, 0x01, 0x9A}},
        {"auth B 1",
         [] { return tqrf_authentication(1, 1); },
         {0x00, 0x04, 0xBB, 0x44, 0x61, 0x01, 0x9B}},
        {"auth A 17",
         [] { return tqrf_authentication(0, 17); },
         {0x00, 0x04, 0xBB, 0x44, 0x60, 0x01, 0x9A}},
        {"auth2 1/7",
         [] { return tqrf_authentication_2(0, 1, 7); },
         {0x00, 0x04, 0xBB, 0x44, 0x60, 0x01, 0x9A}},
        {"auth2 0x101/7",
         [] { return tqrf_authentication_2(0, 0x101, 7); },
         {0x00, 0x04, 0xBB, 0x44, 0x60, 0x01, 0x9A}},
        {"auth2 1/0x107",
         [] { return tqrf_authentication_2(0, 1, 0x107); },
         {0x00, 0x04, 0xBB, 0x44, 0x60, 0x01, 0x9A}},
        {"auth2 16/67",
         [] { return tqrf_authentication_2(0, 16, 67); },
         {0x00, 0x04, 0xBB, 0x44, 0x60, 0x00, 0x9B}},
        {"read 5", [] { return tqrf_read(5, g_out); }, {0x00, 0x04, 0xBB, 0x45, 0x05, 0x00, 0xFF}},
        {"read 69",
         [] { return tqrf_read(69, g_out); },
         {0x00, 0x04, 0xBB, 0x45, 0x05, 0x00, 0xFF}},
        {"read 0x105",
         [] { return tqrf_read(0x105, g_out); },
         {0x00, 0x04, 0xBB, 0x45, 0x05, 0x00, 0xFF}},
        {"write 4", [] { return tqrf_write(4, kBlock); }, write4},
        {"write 68", [] { return tqrf_write(68, kBlock); }, write4},
        {"increment 5 by 300",
         [] { return tqrf_increment(5, 300); },
         {0x00, 0x07, 0xBB, 0x49, 0x05, 0x2C, 0x01, 0x00, 0x00, 0xDD}},
        {"decrement 5 by 1",
         [] { return tqrf_decrement(5, 1); },
         {0x00, 0x07, 0xBB, 0x4A, 0x05, 0x01, 0x00, 0x00, 0x00, 0xF2}},
        {"initval 4 with 100",
         [] { return tqrf_initval(4, 100); },
         {0x00, 0x07, 0xBB, 0x47, 0x04, 0x64, 0x00, 0x00, 0x00, 0x9B}},
        {"initval 4 with -1", [] { return tqrf_initval(4, static_cast<uint32_t>(-1)); },
         with_xor({0x00, 0x07, 0xBB, 0x47, 0x04, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"increment 65", [] { return tqrf_increment(65, 0); },
         with_xor({0x00, 0x07, 0xBB, 0x49, 0x41, 0x00, 0x00, 0x00, 0x00})},
        {"initval 0x141", [] { return tqrf_initval(0x141, 0); },
         with_xor({0x00, 0x07, 0xBB, 0x47, 0x41, 0x00, 0x00, 0x00, 0x00})},
        {"decrement 0x1C5", [] { return tqrf_decrement(0x1C5, 0x01020304); },
         with_xor({0x00, 0x07, 0xBB, 0x4A, 0xC5, 0x04, 0x03, 0x02, 0x01})},
        {"restore 5", [] { return tqrf_restore(5); }, {0x00, 0x04, 0xBB, 0x4B, 0x05, 0x00, 0xF1}},
        {"restore 65", [] { return tqrf_restore(65); },
         with_xor({0x00, 0x04, 0xBB, 0x4B, 0x01, 0x00})},
        {"transfer 5", [] { return tqrf_transfer(5); }, {0x00, 0x04, 0xBB, 0x4C, 0x05, 0x00, 0xF6}},
        {"transfer 0x145",
         [] { return tqrf_transfer(0x145); },
         {0x00, 0x04, 0xBB, 0x4C, 0x05, 0x00, 0xF6}},
        {"readval 4",
         [] { return tqrf_readval(4, &g_value); },
         {0x00, 0x04, 0xBB, 0x48, 0x04, 0x00, 0xF3}},
        {"readval 68",
         [] { return tqrf_readval(68, &g_value); },
         {0x00, 0x04, 0xBB, 0x48, 0x04, 0x00, 0xF3}},
    };
}

TEST_F(Card, EveryPayloadLayoutOnTheWire) {
    for (const FrameCase& c : frame_cases()) {
        rec().clear_log();
        reply({0x00});
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(rec().wire, request_on_wire(c.frame)) << c.name;
        EXPECT_EQ(rec().pauses, (std::vector<std::uint32_t>{1, 40})) << c.name;
    }
}

TEST_F(Card, EveryCommandReturnsTheStatusByte) {
    for (const FrameCase& c : frame_cases()) {
        reply({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x2A});
        EXPECT_EQ(c.call(), 0x2A) << c.name;
    }
}

TEST_F(Card, EveryCommandWithoutPortGivesNotOpenAndSendsNothing) {
    ASSERT_EQ(tqrf_exit(), 0);
    rec().clear_log();
    for (const FrameCase& c : frame_cases()) {
        std::fill(std::begin(g_out), std::end(g_out), 0xEE);
        g_value = 0xEEEEEEEE;
        EXPECT_EQ(c.call(), ERR_PORT_NOT_OPEN) << c.name;
        EXPECT_TRUE(std::all_of(std::begin(g_out), std::end(g_out), [](std::uint8_t b) {
            return b == 0xEE;
        })) << c.name;
        EXPECT_EQ(g_value, 0xEEEEEEEEu) << c.name;
    }
    EXPECT_TRUE(rec().events.empty());
}

TEST_F(Card, NoPortCheckComesBeforeReadingAnyInput) {
    ASSERT_EQ(tqrf_exit(), 0);
    // Inputs that would fault if they were read: the port check must stop the call first.
    const auto* poison = reinterpret_cast<const std::uint8_t*>(alignof(std::max_align_t));
    EXPECT_EQ(tqrf_select(poison, g_out), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(tqrf_loadkey(0, 0, poison), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(tqrf_write(4, poison), ERR_PORT_NOT_OPEN);
}

TEST_F(Card, NullPointersAreRefusedWithNothingSent) {
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"request", [] { return tqrf_request(0, nullptr); }},
        {"request_2", [] { return tqrf_request_2(0, nullptr); }},
        {"anticoll", [] { return tqrf_anticoll(0, nullptr); }},
        {"select serial", [] { return tqrf_select(nullptr, g_out); }},
        {"select size", [] { return tqrf_select(kSerial, nullptr); }},
        {"loadkey", [] { return tqrf_loadkey(0, 0, nullptr); }},
        {"read", [] { return tqrf_read(4, nullptr); }},
        {"write", [] { return tqrf_write(4, nullptr); }},
        {"readval", [] { return tqrf_readval(4, nullptr); }},
    };
    for (const auto& [name, call] : calls) EXPECT_EQ(call(), ERR_FAILED) << name;
    EXPECT_TRUE(rec().wire.empty());
    // With no port the port check still comes first.
    ASSERT_EQ(tqrf_exit(), 0);
    for (const auto& [name, call] : calls) EXPECT_EQ(call(), ERR_PORT_NOT_OPEN) << name;
}

TEST_F(Card, AuthenticationTwoTrailerCheck) {
    struct Case {
        int sector;
        int block;
        bool passes;
    };
    const Case cases[] = {
        {1, 7, true},   {1, 4, false},    {0, 3, true},       {15, 63, true},
        {16, 67, true}, {0x101, 7, true}, {1, 0x107, true},   {63, 255, true},
        {64, 3, false}, {64, 259, false}, {0xFF, 255, false}, {2, 7, false},
    };
    for (const Case& c : cases) {
        rec().clear_log();
        reply({0x00});
        const int r = tqrf_authentication_2(0, c.sector, c.block);
        if (c.passes) {
            EXPECT_EQ(r, 0) << c.sector << "/" << c.block;
            EXPECT_EQ(rec().wire.size(), 8u) << c.sector << "/" << c.block;
        } else {
            EXPECT_EQ(r, ERR_NOT_SECTOR_TRAILER) << c.sector << "/" << c.block;
            EXPECT_TRUE(rec().wire.empty()) << c.sector << "/" << c.block;
            rec().scripted.clear();
        }
    }
    // The trailer check comes even before the port check.
    ASSERT_EQ(tqrf_exit(), 0);
    EXPECT_EQ(tqrf_authentication_2(0, 1, 4), ERR_NOT_SECTOR_TRAILER);
    EXPECT_EQ(tqrf_authentication_2(0, 64, 3), ERR_NOT_SECTOR_TRAILER);
    EXPECT_EQ(tqrf_authentication_2(0, 1, 7), ERR_PORT_NOT_OPEN);
}

// What one reply leaves in a caller's output: bytes after the documented size never change.
struct OutputCase {
    const char* name;
    Bytes payload;  // reply payload: data bytes, status byte
    int result;
    Bytes expected;  // the output buffer afterwards, documented size plus one guard byte
};

void expect_outputs(const std::vector<OutputCase>& cases,
                    const std::function<int(std::uint8_t*)>& call, PortOpen* t) {
    (void)t;
    for (const OutputCase& c : cases) {
        recorder().script_reply(reply_frame(c.payload));
        std::array<std::uint8_t, 24> out;
        out.fill(0xEE);
        EXPECT_EQ(call(out.data()), c.result) << c.name;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.expected.size()), c.expected) << c.name;
        EXPECT_TRUE(std::all_of(out.begin() + c.expected.size(), out.end(), [](std::uint8_t b) {
            return b == 0xEE;
        })) << c.name;
    }
}

TEST_F(Card, RequestOutputs) {
    expect_outputs(
        {
            {"card type", {0x04, 0x00, 0x00}, 0, {0x04, 0x00, 0xEE}},
            // Fixed positions: a status-only reply gives the status and the XOR byte.
            {"status only", {0x01}, 1, {0x01, 0x00, 0xEE}},
            {"status with data", {0x44, 0x03, 0x09}, 9, {0x44, 0x03, 0xEE}},
            {"extra data", {0x04, 0x00, 0x99, 0x98, 0x00}, 0, {0x04, 0x00, 0xEE}},
        },
        [](std::uint8_t* o) { return tqrf_request(0, o); }, this);
}

TEST_F(Card, AnticollisionOutputs) {
    expect_outputs(
        {
            {"serial", {0x12, 0x34, 0x56, 0x78, 0x00}, 0, {0x12, 0x34, 0x56, 0x78, 0xEE}},
            {"non-zero status", {0x12, 0x34, 0x56, 0x78, 0x07}, 7, {0x12, 0x34, 0x56, 0x78, 0xEE}},
            // Positions beyond the frame that arrived leave their bytes as they were.
            {"status only", {0x06}, 6, {0x06, 0x07, 0xEE, 0xEE, 0xEE}},
            {"one data byte", {0x12, 0x03}, 3, {0x12, 0x03, 0x13, 0xEE, 0xEE}},
            {"two data bytes", {0x12, 0x34, 0x00}, 0, {0x12, 0x34, 0x00, 0x25, 0xEE}},
            {"extra", {1, 2, 3, 4, 5, 6, 0}, 0, {1, 2, 3, 4, 0xEE}},
        },
        [](std::uint8_t* o) { return tqrf_anticoll(0, o); }, this);
}

TEST_F(Card, SelectOutputs) {
    expect_outputs(
        {
            {"size", {0x08, 0x00}, 0, {0x08, 0xEE}},
            {"status only", {0x03}, 3, {0x03, 0xEE}},
            {"extra", {0x88, 0x01, 0x02, 0x00}, 0, {0x88, 0xEE}},
        },
        [](std::uint8_t* o) { return tqrf_select(kSerial, o); }, this);
}

TEST_F(Card, ReadOutputs) {
    Bytes block16(kBlock, kBlock + 16);
    Bytes ok = block16;
    ok.push_back(0x00);
    Bytes refused = block16;
    refused.push_back(0x04);
    Bytes long_reply(40, 0x5A);
    long_reply.push_back(0x00);
    Bytes largest(101, 0x6B);
    largest.push_back(0x00);
    Bytes expected16 = block16;
    expected16.push_back(0xEE);
    expect_outputs(
        {
            {"block", ok, 0, expected16},
            {"non-zero status still fills", refused, 4, expected16},
            {"status only", {0x04}, 4, {0xEE}},
            {"three bytes", {1, 2, 3, 0}, 0, {1, 2, 3, 0xEE}},
            {"more than a block", long_reply, 0,
             Bytes{0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
                   0x5A, 0x5A, 0x5A, 0xEE}},
            {"largest reply", largest, 0, Bytes(16, 0x6B)},
        },
        [](std::uint8_t* o) { return tqrf_read(5, o); }, this);
}

TEST_F(Card, ReadValueOutputs) {
    const WordReply cases[] = {
        {"100", {0x64, 0x00, 0x00, 0x00, 0x00}, 0, 100},
        {"least significant first", {0x78, 0x56, 0x34, 0x12, 0x00}, 0, 0x12345678},
        {"all bits", {0xFF, 0xFF, 0xFF, 0xFF, 0x00}, 0, 0xFFFFFFFF},
        {"non-zero status still sets", {0x01, 0x00, 0x00, 0x00, 0x09}, 9, 1},
        {"extra bytes ignored", {0x02, 0x00, 0x00, 0x00, 0x77, 0x00}, 0, 2},
        {"three data bytes: untouched", {0x01, 0x02, 0x03, 0x00}, 0, 0xEEEEEEEE},
        {"status only: untouched", {0x05}, 5, 0xEEEEEEEE},
    };
    expect_word_outputs(cases, [](std::uint32_t* v) { return tqrf_readval(4, v); });
}

TEST_F(Card, FailedRepliesLeaveOutputsUntouched) {
    const RawReply faults[] = {
        {"no reply", {}, 5, ERR_REPLY_FRAME},
        {"late", reply_frame({1, 2, 3, 4, 0}), 60, ERR_REPLY_FRAME},
        {"bad xor", {0x00, 0x05, 1, 2, 3, 4, 0x00, 0x00}, 5, ERR_REPLY_CHECKSUM},
        {"short", {0x00, 0x05, 1, 2}, 5, ERR_REPLY_FRAME},
    };
    const std::vector<std::pair<const char*, std::function<int(std::uint8_t*)>>> calls = {
        {"request", [](std::uint8_t* o) { return tqrf_request(0, o); }},
        {"anticoll", [](std::uint8_t* o) { return tqrf_anticoll(0, o); }},
        {"select", [](std::uint8_t* o) { return tqrf_select(kSerial, o); }},
        {"read", [](std::uint8_t* o) { return tqrf_read(4, o); }},
        {"readval",
         [](std::uint8_t* o) { return tqrf_readval(4, reinterpret_cast<std::uint32_t*>(o)); }},
    };
    for (const RawReply& f : faults) {
        for (const auto& [name, call] : calls) {
            rec().input.clear();
            rec().in_flight.clear();
            reply_raw(f.raw, f.delay_ms);
            alignas(4) std::uint8_t out[20];
            std::fill(std::begin(out), std::end(out), 0xEE);
            EXPECT_EQ(call(out), f.result) << f.name << " " << name;
            EXPECT_TRUE(std::all_of(std::begin(out), std::end(out),
                                    [](std::uint8_t b) { return b == 0xEE; }))
                << f.name << " " << name;
        }
    }
}

TEST_F(Card, SendFailureLeavesOutputsUntouched) {
    rec().short_write_countdown = 1;
    reply({0x04, 0x00, 0x00});
    std::uint8_t out[2] = {0xEE, 0xEE};
    EXPECT_EQ(tqrf_request(0, out), ERR_SEND_FAILED);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[1], 0xEE);
}

}  // namespace
}  // namespace tqrf::testing
