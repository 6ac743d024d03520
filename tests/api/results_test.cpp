// The C++ API without a reader: the result codes, their names and texts as the header's one list
// gives them, the legacy names, Result<T>, and a Reader that is not open.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include "tq_RWD_DLL.hpp"

namespace {

struct Listed {
    int code;
    tqrf::errc errc;
    const char* name;
    const char* text;
};

const Listed kListed[] = {
#define TQRF_LISTED(name, word, text) {name, tqrf::errc::word, #name, text},
    TQRF_RESULTS(TQRF_LISTED)
#undef TQRF_LISTED
};

TEST(ResultList, EveryCodeHasOneNameOneTextAndItsEnumerator) {
    std::set<int> codes;
    std::set<std::string> texts;
    for (const Listed& r : kListed) {
        EXPECT_LT(r.code, 0) << r.name;
        EXPECT_TRUE(codes.insert(r.code).second) << r.name << " repeats a code";
        EXPECT_TRUE(texts.insert(r.text).second) << r.name << " repeats a text";
        EXPECT_STREQ(tqrf_strerror(r.code), r.text);
        EXPECT_EQ(static_cast<int>(r.errc), r.code);
        EXPECT_EQ(std::strncmp(r.name, "TQRF_ERR_", 9), 0) << r.name;

        const std::error_code ec = tqrf::result_code(r.code);
        EXPECT_EQ(ec, r.errc);
        EXPECT_EQ(ec.message(), std::string(r.name) + ": " + r.text);
        EXPECT_TRUE(tqrf::is_library_code(ec));
        EXPECT_FALSE(tqrf::is_reader_status(ec));
    }
    EXPECT_STREQ(tqrf::category().name(), "tqrf");
}

TEST(ResultList, ValuesHostsDependOn) {
    // The values are part of the binary interface: programs built against earlier headers
    // compare results with them.
    const std::pair<int, int> values[] = {
        {TQRF_OK, 0},
        {TQRF_ERR_NOT_SECTOR_TRAILER, 1},
        {TQRF_ERR_FAILED, -1},
        {TQRF_ERR_PORT_IN_USE, -80},
        {TQRF_ERR_PORT_OPEN_FAILED, -81},
        {TQRF_ERR_PORT_NOT_OPEN, -82},
        {TQRF_ERR_SEND_FAILED, -83},
        {TQRF_ERR_REPLY_CHECKSUM, -85},
        {TQRF_ERR_REPLY_FRAME, -86},
        {TQRF_ERR_REPLY_LENGTH, -87},
        {TQRF_ERR_DEVICE_LOST, -88},
        {TQRF_ERR_BAD_ARGUMENT, -89},
        {TQRF_ERR_BUFFER_TOO_SMALL, -90},
        {TQRF_ERR_PARITY_UNSUPPORTED, -91},
        {TQRF_ERR_NOT_APPLIED, -92},
        {TQRF_ERR_VALUE_CONFLICT, -93},
        {ERR_FAILED, -1},
        {ERR_PORT_NOT_OPEN, -82},
        {ERR_REPLY_FRAME, -86},
        {ERR_BUFFER_TOO_SMALL, -90},
        {ERR_NOT_SECTOR_TRAILER, 1},
        {TQRF_REPLY_DATA_MAX, 101},
    };
    for (const auto& [macro, value] : values) EXPECT_EQ(macro, value);
    EXPECT_EQ(sizeof kListed / sizeof kListed[0], 14u);
    EXPECT_EQ(tqrf::ReplyData::capacity, 101u);
}

TEST(ResultList, StatusBytesAndOtherValues) {
    struct Row {
        int result;
        const char* message;
        bool reader_status;
    };
    const Row rows[] = {
        {1, "reader status 1 (0x01)", true},
        {20, "reader status 20 (0x14)", true},
        {255, "reader status 255 (0xFF)", true},
        {-84, "unknown result code -84", false},  // never used
        {256, "unknown result code 256", false},
        {-94, "unknown result code -94", false},
    };
    for (const Row& row : rows) {
        const std::error_code ec = tqrf::result_code(row.result);
        EXPECT_EQ(ec.message(), row.message);
        EXPECT_EQ(tqrf::is_reader_status(ec), row.reader_status) << row.result;
    }
    EXPECT_STREQ(tqrf_strerror(0), "done");
    EXPECT_STREQ(tqrf_strerror(-84), "unknown result code");
    EXPECT_FALSE(tqrf::result_code(0));
    EXPECT_FALSE(tqrf::is_library_code(std::make_error_code(std::errc::io_error)));
    EXPECT_NE(tqrf::result_code(-86), tqrf::errc::port_not_open);
}

TEST(ResultType, HoldsValueOrError) {
    tqrf::Result<int> ok = 5;
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, 5);
    EXPECT_EQ(ok.value(), 5);
    EXPECT_FALSE(ok.error());

    tqrf::Result<int> bad = tqrf::errc::port_not_open;
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.error(), tqrf::errc::port_not_open);
    EXPECT_EQ(bad.value_or(7), 7);
    EXPECT_THROW((void)bad.value(), std::system_error);

    tqrf::Result<std::string> s = std::string("abc");
    auto moved = std::move(s);
    EXPECT_EQ(*moved, "abc");
    tqrf::Result<std::string> copy = moved;
    copy = bad.error();
    EXPECT_FALSE(copy);

    tqrf::Status done;
    EXPECT_TRUE(done);
    tqrf::Status failed = tqrf::result_code(3);
    EXPECT_FALSE(failed);
    EXPECT_THROW(failed.value(), std::system_error);
}

TEST(ReaderClosed, EveryCallIsRefusedAndNothingIsOpened) {
    tqrf::Reader reader;  // never opened
    EXPECT_FALSE(reader.is_open());
    EXPECT_EQ(reader.request().error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader.read(4).error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader.read_value(4).error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader.hardware_version().error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader.find_card().error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader.set_trace([](const tqrf::Trace&) {}).error(), tqrf::errc::bad_argument);
    EXPECT_FALSE(reader.os_error());
    EXPECT_TRUE(reader.close());  // closing a closed Reader is a no-op
}

TEST(ReaderOpen, ComNumbersAndMissingDevices) {
    // COM0 names no device on any system.
    auto com0 = tqrf::Reader::open_com(0);
    ASSERT_FALSE(com0);
    EXPECT_EQ(com0.error(), tqrf::errc::port_open_failed);
    auto missing = tqrf::Reader::open("/dev/tqrf-no-such-device");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), tqrf::errc::port_open_failed);
    // The default reader of the legacy exports was not touched.
    EXPECT_EQ(tqrf_Link_PCandRWD(), TQRF_ERR_PORT_NOT_OPEN);
}

}  // namespace
