// Reader device commands: frames, beep pauses, identity assembly, copied data.
#include <algorithm>
#include <array>
#include <functional>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

using Reader = PortOpen;

Bytes sequence(std::uint8_t first, std::size_t count) {
    Bytes b(count);
    for (std::size_t i = 0; i < count; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

std::uint8_t g_buffer[128];
std::uint32_t g_id;

TEST_F(Reader, EveryFrameOnTheWire) {
    const std::uint8_t clock[7] = {1, 2, 3, 4, 5, 6, 7};
    const Bytes e2data = sequence(0, 16);
    Bytes e2write = {0x00, 0x14, 0xBB, 0x74, 0x55, 0x05};
    e2write.insert(e2write.end(), e2data.begin(), e2data.end());
    struct Case {
        const char* name;
        std::function<int()> call;
        Bytes frame;
        std::uint32_t wait;
    };
    const Case cases[] = {
        {"reset 0", [] { return tqrf_reset(0); }, {0x00, 0x04, 0xBB, 0x72, 0x55, 0x00, 0x98}, 40},
        {"reset 1", [] { return tqrf_reset(1); }, {0x00, 0x04, 0xBB, 0x72, 0x55, 0x00, 0x98}, 40},
        {"reset 0xAB",
         [] { return tqrf_reset(0xAB); },
         {0x00, 0x04, 0xBB, 0x72, 0x55, 0x00, 0x98},
         40},
        {"link test",
         [] { return tqrf_Link_PCandRWD(); },
         {0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D},
         40},
        {"version",
         [] { return tqrf_ReadHardwareVersionNumber(g_buffer); },
         {0x00, 0x04, 0xBB, 0x73, 0x00, 0x00, 0xCC},
         40},
        {"identity",
         [] { return tqrf_Read_RWD_ID(&g_id); },
         {0x00, 0x04, 0xBB, 0x76, 0x00, 0x00, 0xC9},
         40},
        {"e2 read 5",
         [] { return tqrf_Read_RC500E2(5, g_buffer); },
         {0x00, 0x04, 0xBB, 0x75, 0x05, 0x00, 0xCF},
         40},
        {"e2 read 0x85",
         [] { return tqrf_Read_RC500E2(0x85, g_buffer); },
         {0x00, 0x04, 0xBB, 0x75, 0x85, 0x00, 0x4F},
         40},
        {"e2 read 0x105",
         [] { return tqrf_Read_RC500E2(0x105, g_buffer); },
         {0x00, 0x04, 0xBB, 0x75, 0x05, 0x00, 0xCF},
         40},
        {"e2 write 0x85", [&] { return tqrf_Write_RC500E2(0x85, e2data.data()); },
         with_xor(e2write), 40},
        {"beep 0/10",
         [] { return tqrf_BeepControl(0, 10); },
         {0x00, 0x04, 0xBB, 0x69, 0x00, 0x0A, 0xDC},
         140},
        {"beep 0/250",
         [] { return tqrf_BeepControl(0, 250); },
         {0x00, 0x04, 0xBB, 0x69, 0x00, 0xF0, 0x26},
         2440},
        {"beep 0/240",
         [] { return tqrf_BeepControl(0, 240); },
         {0x00, 0x04, 0xBB, 0x69, 0x00, 0xF0, 0x26},
         2440},
        {"beep 0/300",
         [] { return tqrf_BeepControl(0, 300); },
         {0x00, 0x04, 0xBB, 0x69, 0x00, 0x2C, 0xFA},
         480},
        {"beep 0/0", [] { return tqrf_BeepControl(0, 0); },
         with_xor({0x00, 0x04, 0xBB, 0x69, 0x00, 0x00}), 40},
        {"beep 1/100",
         [] { return tqrf_BeepControl(1, 100); },
         {0x00, 0x04, 0xBB, 0x69, 0x01, 0x64, 0xB3},
         40},
        {"beep 1/250", [] { return tqrf_BeepControl(1, 250); },
         with_xor({0x00, 0x04, 0xBB, 0x69, 0x01, 0xF0}), 40},
        {"beep 0x100/5", [] { return tqrf_BeepControl(0x100, 5); },
         with_xor({0x00, 0x04, 0xBB, 0x69, 0x00, 0x05}), 90},
        {"clock read",
         [] { return tqrf_UploadRTC(g_buffer); },
         {0x00, 0x04, 0xBB, 0x6B, 0x00, 0x00, 0xD4},
         40},
        {"clock set",
         [&] { return tqrf_DownloadRTC(clock); },
         {0x00, 0x09, 0xBB, 0x6A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xD8},
         40},
    };
    for (const Case& c : cases) {
        rec().clear_log();
        reply({0x00});
        EXPECT_EQ(c.call(), 0) << c.name;
        EXPECT_EQ(rec().wire, request_on_wire(c.frame)) << c.name;
        EXPECT_EQ(rec().pauses, (std::vector<std::uint32_t>{1, c.wait})) << c.name;
    }

    // No port: -82 at once, nothing sent, no pause.
    ASSERT_EQ(tqrf_exit(), 0);
    rec().clear_log();
    for (const Case& c : cases) EXPECT_EQ(c.call(), ERR_PORT_NOT_OPEN) << c.name;
    EXPECT_TRUE(rec().events.empty());
}

TEST_F(Reader, BeepThatIsNotWrittenWholeDoesNotWait) {
    rec().short_write_countdown = 1;
    reply({0x00});
    EXPECT_EQ(tqrf_BeepControl(0, 200), ERR_SEND_FAILED);
    EXPECT_EQ(rec().pauses, std::vector<std::uint32_t>{1});
}

TEST_F(Reader, LongBeepIsAnsweredWithinItsWait) {
    reply({0x00}, 2000);  // the reader answers when a 2 s beep is over
    EXPECT_EQ(tqrf_BeepControl(0, 200), 0);
    reply({0x00}, 2000);
    EXPECT_EQ(tqrf_BeepControl(1, 200), ERR_REPLY_FRAME);  // other modes read after 40 ms
}

TEST_F(Reader, IdentityAssembly) {
    const WordReply cases[] = {
        {"four bytes", {0x78, 0x56, 0x34, 0x12, 0x00}, 0, 0x12345678},
        {"two bytes", {0x34, 0x12, 0x00}, 0, 0x1234},
        {"none", {0x01}, 1, 0},
        {"five bytes", {0x01, 0x00, 0x00, 0x00, 0x02, 0x00}, 0, 3},
        {"carry", {0xFF, 0x00, 0x00, 0x00, 0x01, 0x00}, 0, 0x100},
        {"wraps", {0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00}, 0, 0},
        {"non-zero status still sets", {0x01, 0x02, 0x03, 0x04, 0x09}, 9, 0x04030201},
    };
    expect_word_outputs(cases, [](std::uint32_t* id) { return tqrf_Read_RWD_ID(id); });
    // No reply or no port: untouched.
    std::uint32_t id = 0xCAFEF00D;
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), ERR_REPLY_FRAME);
    EXPECT_EQ(id, 0xCAFEF00Du);
    reply_raw({0x00, 0x02, 0x01, 0x00, 0x00});
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), ERR_REPLY_CHECKSUM);
    EXPECT_EQ(id, 0xCAFEF00Du);
    ASSERT_EQ(tqrf_exit(), 0);
    EXPECT_EQ(tqrf_Read_RWD_ID(&id), ERR_PORT_NOT_OPEN);
    EXPECT_EQ(id, 0xCAFEF00Du);
}

TEST_F(Reader, CopyAllReadsTakeEveryDataByte) {
    const std::vector<std::pair<const char*, std::function<int(std::uint8_t*)>>> calls = {
        {"version", [](std::uint8_t* b) { return tqrf_ReadHardwareVersionNumber(b); }},
        {"e2 read", [](std::uint8_t* b) { return tqrf_Read_RC500E2(0x10, b); }},
        {"clock read", [](std::uint8_t* b) { return tqrf_UploadRTC(b); }},
    };
    struct Case {
        const char* name;
        std::size_t data;
        std::uint8_t status;
    };
    const Case cases[] = {
        {"seven", 7, 0}, {"sixteen with status", 16, 3}, {"none", 0, 4}, {"largest", 101, 0}};
    for (const auto& [name, call] : calls) {
        for (const Case& c : cases) {
            Bytes payload = sequence(0x40, c.data);
            payload.push_back(c.status);
            reply(payload);
            std::array<std::uint8_t, 110> buffer;
            buffer.fill(0xEE);
            EXPECT_EQ(call(buffer.data()), c.status) << name << " " << c.name;
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.data), sequence(0x40, c.data))
                << name << " " << c.name;
            EXPECT_TRUE(std::all_of(buffer.begin() + c.data, buffer.end(),
                                    [](std::uint8_t b) { return b == 0xEE; }))
                << name << " " << c.name;
        }
        // Failed replies leave the buffer alone.
        std::array<std::uint8_t, 110> buffer;
        buffer.fill(0xEE);
        reply_raw({0x00, 0x03, 0x01, 0x02, 0x00, 0x01});
        EXPECT_EQ(call(buffer.data()), ERR_REPLY_CHECKSUM) << name;
        EXPECT_EQ(call(buffer.data()), ERR_REPLY_FRAME) << name;
        EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) {
            return b == 0xEE;
        })) << name;
    }
}

TEST_F(Reader, StatusOnlyCommandsIgnoreData) {
    const std::uint8_t data[16] = {};
    const std::uint8_t clock[7] = {};
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"reset", [] { return tqrf_reset(0); }},
        {"link", [] { return tqrf_Link_PCandRWD(); }},
        {"e2 write", [&] { return tqrf_Write_RC500E2(0, data); }},
        {"clock set", [&] { return tqrf_DownloadRTC(clock); }},
        {"beep", [] { return tqrf_BeepControl(1, 1); }},
    };
    for (const auto& [name, call] : calls) {
        reply({0x11, 0x22, 0x33, 0x06});
        EXPECT_EQ(call(), 6) << name;
    }
}

TEST_F(Reader, NullBuffersAreRefusedWithNothingSent) {
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"version", [] { return tqrf_ReadHardwareVersionNumber(nullptr); }},
        {"identity", [] { return tqrf_Read_RWD_ID(nullptr); }},
        {"e2 read", [] { return tqrf_Read_RC500E2(0, nullptr); }},
        {"e2 write", [] { return tqrf_Write_RC500E2(0, nullptr); }},
        {"clock read", [] { return tqrf_UploadRTC(nullptr); }},
        {"clock set", [] { return tqrf_DownloadRTC(nullptr); }},
    };
    for (const auto& [name, call] : calls) EXPECT_EQ(call(), ERR_FAILED) << name;
    EXPECT_TRUE(rec().wire.empty());
}

}  // namespace
}  // namespace tqrf::testing
