// The handle API on the recording double: exact frames, checked replies, refused arguments,
// variable-length outputs, device loss and the trace hook.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

constexpr const char* kPath = "/dev/handle-a";

// Every output a handle call can write, filled with a guard pattern: a call that must leave
// its outputs alone leaves this record as it was.
struct Out {
    std::uint8_t type[2];
    std::uint8_t serial[4];
    std::uint8_t size;
    std::uint8_t block[16];
    std::uint32_t value;
    std::uint8_t buf[101];
    std::uint32_t length;

    Out() { std::memset(this, 0xEE, sizeof *this); }
    bool operator==(const Out& o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};

const std::uint8_t kSerial[4] = {0x12, 0x34, 0x56, 0x78};
const std::uint8_t kKey[6] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
const std::uint8_t kClock[7] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
const std::uint8_t kSixteen[16] = {};

Bytes counting(std::uint8_t first, std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Handle : public OwnReader {
  protected:
    Handle() : OwnReader(kPath) {}
    void reply(const Bytes& payload, std::uint32_t delay_ms = 5) {
        rec().script_reply(reply_frame(payload), delay_ms);
    }
    // Virtual milliseconds a call takes.
    template <class F>
    std::uint64_t elapsed_us(F&& f) {
        const std::uint64_t start = rec().now_us;
        f();
        return rec().now_us - start;
    }
};

// ---- Exact frames and checked replies -------------------------------------------------------

struct OpCase {
    const char* name;
    std::function<int(tqrf_reader*, Out&)> call;
    Bytes payload;                     // the request payload; the frame is LEN, payload, XOR
    Bytes data;                        // the data bytes of a full reply
    std::function<void(Out&)> expect;  // what a full status-0 reply writes
    bool fixed_length = true;          // a reply with one byte more or less is refused
};

// What a find writes for the card it found: its type, serial number and size.
void found_card(Out& o) {
    o.type[0] = 0x04, o.type[1] = 0x00, o.size = 0x08;
    std::memcpy(o.serial, kSerial, 4);
}

std::vector<OpCase> op_cases() {
    const Bytes block = counting(0x00, 16);
    return {
        {"request idle",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_request(r, 0, o.type); },
         {0xBB, 0x41, 0x26, 0x00},
         {0x04, 0x00},
         [](Out& o) { o.type[0] = 0x04, o.type[1] = 0x00; }},
        {"request all",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_request(r, 1, o.type); },
         {0xBB, 0x41, 0x52, 0x00},
         {0x44, 0x03},
         [](Out& o) { o.type[0] = 0x44, o.type[1] = 0x03; }},
        {"anticoll",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_anticoll(r, 0, o.serial); },
         {0xBB, 0x42, 0x00, 0x00},
         {0x12, 0x34, 0x56, 0x78},
         [](Out& o) { std::memcpy(o.serial, kSerial, 4); }},
        {"anticoll 4",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_anticoll(r, 4, o.serial); },
         {0xBB, 0x42, 0x00, 0x04},
         {0x12, 0x34, 0x56, 0x78},
         [](Out& o) { std::memcpy(o.serial, kSerial, 4); }},
        {"select",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_select(r, kSerial, &o.size); },
         {0xBB, 0x43, 0x12, 0x34, 0x56, 0x78, 0x00},
         {0x08},
         [](Out& o) { o.size = 0x08; }},
        {"find",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_find(r, 0, o.type, o.serial, &o.size); },
         {0xBB, 0x62, 0x26, 0x00},
         {0x04, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78},
         found_card},
        {"find all",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_find(r, 1, o.type, o.serial, &o.size); },
         {0xBB, 0x62, 0x52, 0x00},
         {0x04, 0x00, 0x08, 0x12, 0x34, 0x56, 0x78},
         found_card},
        {"halt",
         [](tqrf_reader* r, Out&) { return tqrf_reader_halt(r); },
         {0xBB, 0x71, 0x00, 0x00},
         {},
         [](Out&) {}},
        {"loadkey A 1",
         [](tqrf_reader* r, Out&) { return tqrf_reader_loadkey(r, 0, 1, kKey); },
         {0xBB, 0x61, 0x60, 0x01, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},
         {},
         [](Out&) {}},
        {"loadkey B 15",
         [](tqrf_reader* r, Out&) { return tqrf_reader_loadkey(r, 1, 15, kKey); },
         {0xBB, 0x61, 0x61, 0x0F, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},
         {},
         [](Out&) {}},
        {"authenticate B 2",
         [](tqrf_reader* r, Out&) { return tqrf_reader_authenticate(r, 1, 2); },
         {0xBB, 0x44, 0x61, 0x02},
         {},
         [](Out&) {}},
        {"read 63",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_read(r, 63, o.block); },
         {0xBB, 0x45, 0x3F, 0x00},
         block,
         [=](Out& o) { std::copy(block.begin(), block.end(), o.block); }},
        {"write 4",
         [=](tqrf_reader* r, Out&) { return tqrf_reader_write(r, 4, block.data()); },
         cat({0xBB, 0x46, 0x04}, block),
         {},
         [](Out&) {}},
        {"initval 4 100",
         [](tqrf_reader* r, Out&) { return tqrf_reader_initval(r, 4, 100); },
         {0xBB, 0x47, 0x04, 0x64, 0x00, 0x00, 0x00},
         {},
         [](Out&) {}},
        {"readval 4",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_readval(r, 4, &o.value); },
         {0xBB, 0x48, 0x04, 0x00},
         {0x64, 0x00, 0x00, 0x80},
         [](Out& o) { o.value = 0x80000064; }},
        {"increment 5 300",
         [](tqrf_reader* r, Out&) { return tqrf_reader_increment(r, 5, 300); },
         {0xBB, 0x49, 0x05, 0x2C, 0x01, 0x00, 0x00},
         {},
         [](Out&) {}},
        {"decrement 5 -1",
         [](tqrf_reader* r, Out&) { return tqrf_reader_decrement(r, 5, 0xFFFFFFFFu); },
         {0xBB, 0x4A, 0x05, 0xFF, 0xFF, 0xFF, 0xFF},
         {},
         [](Out&) {}},
        {"restore 5",
         [](tqrf_reader* r, Out&) { return tqrf_reader_restore(r, 5); },
         {0xBB, 0x4B, 0x05, 0x00},
         {},
         [](Out&) {}},
        {"transfer 5",
         [](tqrf_reader* r, Out&) { return tqrf_reader_transfer(r, 5); },
         {0xBB, 0x4C, 0x05, 0x00},
         {},
         [](Out&) {}},
        {"reset",
         [](tqrf_reader* r, Out&) { return tqrf_reader_reset(r); },
         {0xBB, 0x72, 0x55, 0x00},
         {},
         [](Out&) {}},
        {"link test",
         [](tqrf_reader* r, Out&) { return tqrf_reader_link_test(r); },
         {0xBB, 0x77, 0x55, 0x00},
         {},
         [](Out&) {}},
        {"id",
         [](tqrf_reader* r, Out& o) { return tqrf_reader_id(r, &o.value); },
         {0xBB, 0x76, 0x00, 0x00},
         {0x78, 0x56, 0x34, 0x12},
         [](Out& o) { o.value = 0x12345678; },
         false},  // 1 to 4 bytes: see TheIdentityTakesOneToFourBytes
        {"e2 write 127",
         [=](tqrf_reader* r, Out&) { return tqrf_reader_e2_write(r, 127, block.data()); },
         cat({0xBB, 0x74, 0x55, 0x7F}, block),
         {},
         [](Out&) {}},
        {"beep 1",
         [](tqrf_reader* r, Out&) { return tqrf_reader_beep(r, 1, 100); },
         {0xBB, 0x69, 0x01, 0x64},
         {},
         [](Out&) {}},
        {"clock set",
         [](tqrf_reader* r, Out&) { return tqrf_reader_clock_set(r, kClock); },
         {0xBB, 0x6A, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07},
         {},
         [](Out&) {}},
        {"version",
         [](tqrf_reader* r, Out& o) {
             return tqrf_reader_hardware_version(r, o.buf, sizeof o.buf, &o.length);
         },
         {0xBB, 0x73, 0x00, 0x00},
         {'R', 'C', '5', '0', '0'},
         [](Out& o) { std::memcpy(o.buf, "RC500", 5), o.length = 5; },
         false},
        {"e2 read 255",
         [](tqrf_reader* r, Out& o) {
             return tqrf_reader_e2_read(r, 255, o.buf, sizeof o.buf, &o.length);
         },
         {0xBB, 0x75, 0xFF, 0x00},
         block,
         [=](Out& o) { std::copy(block.begin(), block.end(), o.buf), o.length = 16; },
         false},
        {"clock read",
         [](tqrf_reader* r, Out& o) {
             return tqrf_reader_clock_read(r, o.buf, sizeof o.buf, &o.length);
         },
         {0xBB, 0x6B, 0x00, 0x00},
         {0x26, 0x12, 0x09, 0x03, 0x10, 0x20, 0x30},
         [](Out& o) { std::memcpy(o.buf, "\x26\x12\x09\x03\x10\x20\x30", 7), o.length = 7; },
         false},
    };
}

TEST_F(Handle, EveryOperationSendsItsFrameAndTakesAFullReply) {
    for (const OpCase& c : op_cases()) {
        rec().clear_log();
        reply(cat(c.data, {0x00}));
        Out out, expected;
        c.expect(expected);
        EXPECT_EQ(c.call(r_, out), 0) << c.name;
        EXPECT_EQ(rec().wire, request_on_wire(reply_frame(c.payload))) << c.name;
        EXPECT_TRUE(out == expected) << c.name;
    }
}

TEST_F(Handle, ARefusedStatusIsPassedOnWithOutputsUntouched) {
    for (const OpCase& c : op_cases()) {
        for (const Bytes& data : {c.data, Bytes{}}) {
            reply(cat(data, {0x14}));
            Out out;
            EXPECT_EQ(c.call(r_, out), 0x14) << c.name;
            EXPECT_TRUE(out == Out{}) << c.name;
        }
    }
}

TEST_F(Handle, AStatusZeroReplyWithoutTheCommandsDataIsRefused) {
    for (const OpCase& c : op_cases()) {
        if (!c.fixed_length) continue;
        std::vector<Bytes> wrong = {cat(c.data, {0x99})};
        if (!c.data.empty()) wrong.push_back(Bytes(c.data.begin(), c.data.end() - 1));
        if (c.data.size() > 1) wrong.push_back(Bytes{});
        for (const Bytes& data : wrong) {
            reply(cat(data, {0x00}));
            Out out;
            EXPECT_EQ(c.call(r_, out), ERR_REPLY_LENGTH) << c.name << " with " << data.size();
            EXPECT_TRUE(out == Out{}) << c.name;
        }
    }
}

TEST_F(Handle, TheIdentityTakesOneToFourBytes) {
    struct Case {
        Bytes data;
        int result;
        std::uint32_t id;
    };
    const Case cases[] = {
        {{0x34}, 0, 0x34},
        {{0x34, 0x12}, 0, 0x1234},
        {{0x01, 0x02, 0x03}, 0, 0x030201},
        {{}, ERR_REPLY_LENGTH, 0xEEEEEEEE},
        {{1, 2, 3, 4, 5}, ERR_REPLY_LENGTH, 0xEEEEEEEE},
    };
    for (const Case& c : cases) {
        reply(cat(c.data, {0x00}));
        std::uint32_t id = 0xEEEEEEEE;
        EXPECT_EQ(tqrf_reader_id(r_, &id), c.result) << c.data.size();
        EXPECT_EQ(id, c.id) << c.data.size();
    }
}

TEST_F(Handle, BadRepliesGiveTheLinkCodesAndLeaveOutputsAlone) {
    const RawReply cases[] = {
        {"corrupt xor", {0x00, 0x03, 0x04, 0x00, 0x00, 0x06}, 5, ERR_REPLY_CHECKSUM},
        {"none", {}, 5, ERR_REPLY_FRAME},
        {"truncated", {0x00, 0x03, 0x04, 0x00}, 5, ERR_REPLY_FRAME},
    };
    for (const RawReply& c : cases) {
        if (!c.raw.empty()) rec().script_reply(c.raw, c.delay_ms);
        Out out;
        EXPECT_EQ(tqrf_reader_request(r_, 0, out.type), c.result) << c.name;
        EXPECT_TRUE(out == Out{}) << c.name;
    }
}

// ---- Arguments ---------------------------------------------------------------------------------

TEST_F(Handle, RefusedArgumentsSendNothing) {
    Out o;
    std::uint8_t data[16] = {};
    const std::pair<const char*, std::function<int()>> cases[] = {
        {"request mode 2", [&] { return tqrf_reader_request(r_, 2, o.type); }},
        {"request mode -1", [&] { return tqrf_reader_request(r_, -1, o.type); }},
        {"request null", [&] { return tqrf_reader_request(r_, 0, nullptr); }},
        {"anticoll 256", [&] { return tqrf_reader_anticoll(r_, 256, o.serial); }},
        {"anticoll -1", [&] { return tqrf_reader_anticoll(r_, -1, o.serial); }},
        {"select null serial", [&] { return tqrf_reader_select(r_, nullptr, &o.size); }},
        {"select null size", [&] { return tqrf_reader_select(r_, kSerial, nullptr); }},
        {"find null", [&] { return tqrf_reader_find(r_, 0, o.type, nullptr, &o.size); }},
        {"find mode 0x100", [&] { return tqrf_reader_find(r_, 0x100, o.type, o.serial, &o.size); }},
        {"loadkey type 2", [&] { return tqrf_reader_loadkey(r_, 2, 0, kKey); }},
        {"loadkey sector 16", [&] { return tqrf_reader_loadkey(r_, 0, 16, kKey); }},
        {"loadkey sector -1", [&] { return tqrf_reader_loadkey(r_, 0, -1, kKey); }},
        {"loadkey null", [&] { return tqrf_reader_loadkey(r_, 0, 0, nullptr); }},
        {"authenticate sector 16", [&] { return tqrf_reader_authenticate(r_, 0, 16); }},
        {"authenticate type 0x100", [&] { return tqrf_reader_authenticate(r_, 0x100, 1); }},
        {"read 64", [&] { return tqrf_reader_read(r_, 64, o.block); }},
        {"read -1", [&] { return tqrf_reader_read(r_, -1, o.block); }},
        {"read null", [&] { return tqrf_reader_read(r_, 4, nullptr); }},
        {"write 64", [&] { return tqrf_reader_write(r_, 64, data); }},
        {"write null", [&] { return tqrf_reader_write(r_, 4, nullptr); }},
        {"initval 64", [&] { return tqrf_reader_initval(r_, 64, 1); }},
        {"readval 0x104", [&] { return tqrf_reader_readval(r_, 0x104, &o.value); }},
        {"readval null", [&] { return tqrf_reader_readval(r_, 4, nullptr); }},
        {"increment 65", [&] { return tqrf_reader_increment(r_, 65, 1); }},
        {"decrement 64", [&] { return tqrf_reader_decrement(r_, 64, 1); }},
        {"restore 64", [&] { return tqrf_reader_restore(r_, 64); }},
        {"transfer -5", [&] { return tqrf_reader_transfer(r_, -5); }},
        {"version null length",
         [&] { return tqrf_reader_hardware_version(r_, o.buf, 101, nullptr); }},
        {"version null buffer",
         [&] { return tqrf_reader_hardware_version(r_, nullptr, 1, &o.length); }},
        {"id null", [&] { return tqrf_reader_id(r_, nullptr); }},
        {"e2 read 256", [&] { return tqrf_reader_e2_read(r_, 256, o.buf, 101, &o.length); }},
        {"e2 read -1", [&] { return tqrf_reader_e2_read(r_, -1, o.buf, 101, &o.length); }},
        {"e2 write 128", [&] { return tqrf_reader_e2_write(r_, 128, data); }},
        {"e2 write null", [&] { return tqrf_reader_e2_write(r_, 0x10, nullptr); }},
        {"beep duration 241", [&] { return tqrf_reader_beep(r_, 0, 241); }},
        {"beep duration -1", [&] { return tqrf_reader_beep(r_, 0, -1); }},
        {"beep mode 256", [&] { return tqrf_reader_beep(r_, 256, 1); }},
        {"clock read null", [&] { return tqrf_reader_clock_read(r_, o.buf, 101, nullptr); }},
        {"clock set null", [&] { return tqrf_reader_clock_set(r_, nullptr); }},
        {"null reader", [&] { return tqrf_reader_halt(nullptr); }},
        {"set baud 0", [&] { return tqrf_reader_set_baud(r_, 0); }},
        {"unknown option", [&] { return tqrf_reader_set_option(r_, 99, 0); }},
        {"reply mode 2", [&] { return tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_MODE, 2); }},
        {"slack 1001",
         [&] { return tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_SLACK_MS, 1001); }},
        {"slack -1", [&] { return tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_SLACK_MS, -1); }},
        {"get option null", [&] { return tqrf_reader_get_option(r_, 1, nullptr); }},
        {"get unknown option",
         [&] {
             std::int32_t v = 0;
             return tqrf_reader_get_option(r_, 0, &v);
         }},
    };
    for (const auto& [name, call] : cases) {
        rec().clear_log();
        EXPECT_EQ(call(), ERR_BAD_ARGUMENT) << name;
        EXPECT_TRUE(rec().wire.empty()) << name;
        EXPECT_TRUE(rec().modes.empty()) << name;
    }
    EXPECT_TRUE(o == Out{});
}

TEST_F(Handle, EdgesOfEachRangeAreAccepted) {
    const std::pair<const char*, std::function<int()>> cases[] = {
        {"block 0", [&] { return tqrf_reader_restore(r_, 0); }},
        {"block 63", [&] { return tqrf_reader_transfer(r_, 63); }},
        {"sector 0", [&] { return tqrf_reader_authenticate(r_, 0, 0); }},
        {"sector 15", [&] { return tqrf_reader_authenticate(r_, 1, 15); }},
        {"e2 write 0", [&] { return tqrf_reader_e2_write(r_, 0, kSixteen); }},
        {"beep 255 240", [&] { return tqrf_reader_beep(r_, 255, 240); }},
        {"anticoll 255",
         [&] {
             std::uint8_t s[4];
             return tqrf_reader_anticoll(r_, 255, s);
         }},
    };
    for (const auto& [name, call] : cases) {
        rec().clear_log();
        rec().scripted.clear();
        // anticoll needs its 4 bytes; the others none.
        reply(std::string(name).starts_with("anticoll") ? Bytes{1, 2, 3, 4, 0} : Bytes{0x00});
        EXPECT_EQ(call(), 0) << name;
        EXPECT_FALSE(rec().wire.empty()) << name;
    }
}

TEST_F(Handle, VariableLengthReadsReportTheLengthAndRefuseASmallBuffer) {
    const Bytes version = counting('a', 10);
    std::uint8_t buf[16];
    std::uint32_t length = 99;
    std::memset(buf, 0xEE, sizeof buf);
    reply(cat(version, {0x00}));
    EXPECT_EQ(tqrf_reader_hardware_version(r_, buf, 9, &length), ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 10u);
    EXPECT_TRUE(std::all_of(buf, buf + 16, [](std::uint8_t b) { return b == 0xEE; }));

    reply(cat(version, {0x00}));
    EXPECT_EQ(tqrf_reader_hardware_version(r_, buf, 10, &length), 0);
    EXPECT_EQ(length, 10u);
    EXPECT_TRUE(std::equal(version.begin(), version.end(), buf));
    EXPECT_EQ(buf[10], 0xEE);  // nothing past the data

    // No data at all: length 0, a null buffer of capacity 0 is fine.
    reply({0x00});
    EXPECT_EQ(tqrf_reader_clock_read(r_, nullptr, 0, &length), 0);
    EXPECT_EQ(length, 0u);
    reply(cat(counting(0, 3), {0x00}));
    EXPECT_EQ(tqrf_reader_clock_read(r_, nullptr, 0, &length), ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 3u);
}

// ---- Device loss -------------------------------------------------------------------------------

TEST_F(Handle, ALostDeviceGivesDeviceLostUntilClosed) {
    reply({0x00});
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    rec().gone = true;
    std::uint8_t block[16];
    EXPECT_EQ(tqrf_reader_read(r_, 4, block), ERR_DEVICE_LOST);
    EXPECT_NE(tqrf_reader_os_error(r_), 0);
    rec().clear_log();
    EXPECT_EQ(tqrf_reader_halt(r_), ERR_DEVICE_LOST);
    EXPECT_EQ(tqrf_reader_read(r_, 64, block), ERR_DEVICE_LOST);  // at once, arguments or not
    EXPECT_EQ(tqrf_reader_set_baud(r_, 9600), ERR_DEVICE_LOST);
    EXPECT_TRUE(rec().events.empty());  // nothing more is tried on the line

    EXPECT_EQ(tqrf_reader_close(r_), 0);
    r_ = nullptr;
    rec().gone = false;
    rec().lost_reported = false;
    ASSERT_EQ(tqrf_reader_open(kPath, &r_), 0);
    reply({0x00});
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
}

TEST_F(Handle, TheLegacyExportsKeepTheirResultsOnALostDevice) {
    ASSERT_EQ(tqrf_init_device("/dev/legacy"), 0);
    recorder().gone = true;
    EXPECT_EQ(tqrf_halt(), ERR_SEND_FAILED);
    EXPECT_EQ(tqrf_halt(), ERR_SEND_FAILED);
    EXPECT_EQ(tqrf_exit(), 0);
}

// ---- Opening ------------------------------------------------------------------------------------

TEST_F(Handle, OpeningMapsComNamesAndNeverChangesTheText) {
    const char name[] = "COM3";
    tqrf_reader* other = nullptr;
    EXPECT_EQ(tqrf_reader_open(name, &other), 0);
    EXPECT_STREQ(name, "COM3");
    EXPECT_EQ(recorder().opened_paths.back(), "/dev/ttyS2");
    EXPECT_EQ(tqrf_reader_close(other), 0);

    // A path is used as given, including one that looks almost like a COM name.
    EXPECT_EQ(tqrf_reader_open("COM3x", &other), 0);
    EXPECT_EQ(recorder().opened_paths.back(), "COM3x");
    EXPECT_EQ(tqrf_reader_close(other), 0);

    EXPECT_EQ(tqrf_reader_open("COM0", &other), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(other, nullptr);
}

TEST_F(Handle, TheSameDeviceTwiceIsRefusedAndTheFailureExplained) {
    tqrf_reader* second = reinterpret_cast<tqrf_reader*>(0x1);
    EXPECT_EQ(tqrf_reader_open(kPath, &second), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(tqrf_reader_os_error(nullptr), 0);
    // The legacy default reader is refused the same device too.
    EXPECT_EQ(tqrf_init_device(kPath), ERR_PORT_OPEN_FAILED);
}

TEST_F(Handle, OpenSetsTheLineAsTheLegacyOpenDoesAndNothingStaysOpenOnFailure) {
    tqrf_reader* other = nullptr;
    Recorder& b = recorder("/dev/handle-b");
    ASSERT_EQ(tqrf_reader_open("/dev/handle-b", &other), 0);
    const std::vector<std::string> expected = {"open /dev/handle-b", "mode 19200,S,8,1",
                                               "queues 400 400", "timeouts"};
    EXPECT_EQ(b.events, expected);
    EXPECT_EQ(b.parity, 'S');
    EXPECT_EQ(tqrf_reader_close(other), 0);

    b.clear_log();
    b.fail_mode_countdown = 0;
    EXPECT_EQ(tqrf_reader_open("/dev/handle-b", &other), ERR_FAILED);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(b.events.back(), "close");
    EXPECT_FALSE(b.open_device);
}

TEST_F(Handle, TwoReadersHaveTheirOwnLines) {
    Recorder& b = recorder("/dev/handle-b");
    tqrf_reader* other = nullptr;
    ASSERT_EQ(tqrf_reader_open("/dev/handle-b", &other), 0);
    b.clear_log();
    reply({0x00});
    b.script_reply(reply_frame({0x11, 0x22, 0x00}));
    std::uint8_t type[2] = {};
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    EXPECT_EQ(tqrf_reader_request(other, 0, type), 0);
    EXPECT_EQ(type[0], 0x11);
    EXPECT_EQ(rec().wire, request_on_wire(reply_frame({0xBB, 0x71, 0x00, 0x00})));
    EXPECT_EQ(b.wire, request_on_wire(reply_frame({0xBB, 0x41, 0x26, 0x00})));
    EXPECT_EQ(tqrf_reader_close(other), 0);
}

TEST_F(Handle, BaudSetupGoesToTheLineAndTheNextCommandRestoresIt) {
    EXPECT_EQ(tqrf_reader_set_baud(r_, 9600), 0);
    EXPECT_EQ(rec().modes.back(), "9600,N,8,1");
    EXPECT_EQ(tqrf_reader_set_baud(r_, 12345), ERR_FAILED);  // a rate the line cannot take
    reply({0x00});
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    EXPECT_EQ(rec().modes.back(), "19200,S,8,1");
}

TEST_F(Handle, OptionsReadBackAndStrerrorNamesEveryCode) {
    std::int32_t v = -5;
    EXPECT_EQ(tqrf_reader_get_option(r_, TQRF_OPTION_REPLY_MODE, &v), 0);
    EXPECT_EQ(v, TQRF_REPLY_COMPLETE);  // the default of a handle
    EXPECT_EQ(tqrf_reader_set_option(r_, TQRF_OPTION_REPLY_SLACK_MS, 1000), 0);
    EXPECT_EQ(tqrf_reader_get_option(r_, TQRF_OPTION_REPLY_SLACK_MS, &v), 0);
    EXPECT_EQ(v, 1000);

    for (int code : {0, -1, -80, -81, -82, -83, -85, -86, -87, -88, -89, -90}) {
        const std::string text = tqrf_strerror(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_NE(text, tqrf_strerror(-84)) << code;  // each has its own text
    }
    EXPECT_STREQ(tqrf_strerror(0x14), "reader status 20 (0x14)");
    EXPECT_STREQ(tqrf_strerror(255), "reader status 255 (0xFF)");
    EXPECT_STREQ(tqrf_strerror(1), "reader status 1 (0x01)");
    EXPECT_STREQ(tqrf_strerror(256), tqrf_strerror(-84));
}

// ---- Trace ----------------------------------------------------------------------------------

struct TraceEvent {
    std::int32_t event;
    std::int32_t result;
    Bytes bytes;
    std::uint64_t time_us;
};

void TQRF_CALL collect(void* user, int32_t event, int32_t result, const uint8_t* bytes,
                       uint32_t count, uint64_t time_us) {
    auto* events = static_cast<std::vector<TraceEvent>*>(user);
    events->push_back({event, result, Bytes(bytes, bytes + count), time_us});
}

TEST_F(Handle, TheTraceShowsAddressFrameReplyAndResult) {
    std::vector<TraceEvent> events;
    ASSERT_EQ(tqrf_reader_set_trace(r_, collect, &events), 0);
    const Bytes good = reply_frame({0x04, 0x00, 0x00});
    rec().script_reply(good, 5);
    std::uint8_t type[2];
    const std::uint64_t start = rec().now_us;
    EXPECT_EQ(tqrf_reader_request(r_, 0, type), 0);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].event, TQRF_TRACE_ADDRESS);
    EXPECT_EQ(events[0].bytes, Bytes{0x58});
    EXPECT_EQ(events[1].event, TQRF_TRACE_FRAME);
    EXPECT_EQ(events[1].bytes, (Bytes{0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8}));
    EXPECT_EQ(events[2].event, TQRF_TRACE_REPLY);
    EXPECT_EQ(events[2].bytes, good);
    EXPECT_EQ(events[3].event, TQRF_TRACE_RESULT);
    EXPECT_EQ(events[3].result, 0);
    EXPECT_TRUE(events[3].bytes.empty());
    // Times: the frame 1 ms after the address byte, the reply 5 ms after the frame.
    EXPECT_EQ(events[0].time_us, start);
    EXPECT_EQ(events[1].time_us, start + 1000);
    EXPECT_EQ(events[2].time_us, start + 6000);

    // A reply that fails its checks is traced as it came, then the failure.
    events.clear();
    const Bytes bad = {0x00, 0x03, 0x04, 0x00, 0x00, 0x06};
    rec().script_reply(bad, 5);
    EXPECT_EQ(tqrf_reader_request(r_, 0, type), ERR_REPLY_CHECKSUM);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].bytes, bad);
    EXPECT_EQ(events[3].result, ERR_REPLY_CHECKSUM);

    // A refused argument sends nothing: only the result.
    events.clear();
    EXPECT_EQ(tqrf_reader_read(r_, 64, type), ERR_BAD_ARGUMENT);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].result, ERR_BAD_ARGUMENT);

    // Removed: nothing more.
    events.clear();
    ASSERT_EQ(tqrf_reader_set_trace(r_, nullptr, nullptr), 0);
    reply({0x00});
    EXPECT_EQ(tqrf_reader_halt(r_), 0);
    EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace tqrf::testing
