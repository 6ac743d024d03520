// The C++ API without a reader: result codes and their messages, Result<T>, the RAII port's
// behaviour when nothing is open or a device does not exist.
#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <utility>

#include "tq_RWD_DLL.hpp"

namespace {

TEST(ErrorCategory, NamesEveryLibraryCode) {
    struct Row {
        int code;
        const char* name;
    };
    const Row rows[] = {
        {ERR_FAILED, "ERR_FAILED"},
        {ERR_PORT_IN_USE, "ERR_PORT_IN_USE"},
        {ERR_PORT_OPEN_FAILED, "ERR_PORT_OPEN_FAILED"},
        {ERR_PORT_NOT_OPEN, "ERR_PORT_NOT_OPEN"},
        {ERR_SEND_FAILED, "ERR_SEND_FAILED"},
        {ERR_REPLY_CHECKSUM, "ERR_REPLY_CHECKSUM"},
        {ERR_REPLY_FRAME, "ERR_REPLY_FRAME"},
        {ERR_REPLY_LENGTH, "ERR_REPLY_LENGTH"},
        {ERR_DEVICE_LOST, "ERR_DEVICE_LOST"},
        {ERR_BAD_ARGUMENT, "ERR_BAD_ARGUMENT"},
        {ERR_BUFFER_TOO_SMALL, "ERR_BUFFER_TOO_SMALL"},
    };
    for (const auto& r : rows) {
        const std::error_code ec = tqrf::result_code(r.code);
        EXPECT_TRUE(ec) << r.name;
        EXPECT_EQ(ec.message().rfind(r.name, 0), 0u) << ec.message();
        EXPECT_FALSE(tqrf::is_reader_status(ec));
    }
    EXPECT_STREQ(tqrf::category().name(), "tqrf");
}

TEST(ErrorCategory, ReaderStatusBytes) {
    struct Row {
        int status;
        const char* message;
    };
    for (const Row& row : {Row{1, "reader status 1 (0x01)"}, Row{20, "reader status 20 (0x14)"},
                           Row{255, "reader status 255 (0xFF)"}}) {
        const std::error_code ec = tqrf::result_code(row.status);
        EXPECT_EQ(ec.message(), row.message);
        EXPECT_TRUE(tqrf::is_reader_status(ec));
    }
    EXPECT_FALSE(tqrf::result_code(0));
    EXPECT_EQ(tqrf::result_code(-84).message(), "unknown result code -84");
}

TEST(ErrorCategory, ComparesWithTheEnum) {
    EXPECT_EQ(tqrf::result_code(-82), tqrf::errc::port_not_open);
    EXPECT_NE(tqrf::result_code(-86), tqrf::errc::port_not_open);
    const std::error_code ec = tqrf::errc::reply_frame;
    EXPECT_EQ(ec.value(), -86);
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

TEST(PortNames, ComNamesGoThroughTheComPath) {
    EXPECT_TRUE(tqrf::Port::is_com_name("COM1"));
    EXPECT_TRUE(tqrf::Port::is_com_name("com12"));
    EXPECT_TRUE(tqrf::Port::is_com_name("COM255"));
    EXPECT_FALSE(tqrf::Port::is_com_name("COM"));
    EXPECT_FALSE(tqrf::Port::is_com_name("COMX"));
    EXPECT_FALSE(tqrf::Port::is_com_name("COM1234"));
    EXPECT_FALSE(tqrf::Port::is_com_name("/dev/ttyUSB0"));
    EXPECT_FALSE(tqrf::Port::is_com_name("\\\\.\\COM3"));
}

TEST(PortClosed, EveryCallReportsNoPort) {
    tqrf::Port port;  // never opened
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(port.request().error(), tqrf::errc::port_not_open);
    EXPECT_EQ(port.read(4).error(), tqrf::errc::port_not_open);
    EXPECT_EQ(port.read_value(4).error(), tqrf::errc::port_not_open);
    EXPECT_EQ(port.hardware_version().error(), tqrf::errc::port_not_open);
    EXPECT_EQ(port.find_card().error(), tqrf::errc::port_not_open);
    EXPECT_TRUE(port.close());  // closing a closed Port is a no-op
}

TEST(PortClosed, RefusesOutOfRangeNumbersBeforeTheLibrary) {
    tqrf::Port port;
    const auto domain = std::make_error_code(std::errc::argument_out_of_domain);
    EXPECT_EQ(port.read(64).error(), domain);
    EXPECT_EQ(port.read(-1).error(), domain);
    EXPECT_EQ(port.write(64, tqrf::Block{}).error(), domain);
    EXPECT_EQ(port.load_key(tqrf::KeyType::A, 16, tqrf::kDefaultKey).error(), domain);
    EXPECT_EQ(port.increment(70, 1).error(), domain);
    EXPECT_EQ(port.write_e2(0x80, tqrf::Block{}).error(), domain);
}

TEST(PortOpen, MissingDeviceGivesOpenFailed) {
    auto port = tqrf::Port::open("/dev/tqrf-no-such-device");
    ASSERT_FALSE(port);
    EXPECT_EQ(port.error(), tqrf::errc::port_open_failed);
    // Nothing was left open: a read still finds no port.
    tqrf::Port none;
    EXPECT_EQ(none.request().error(), tqrf::errc::port_not_open);
}

}  // namespace
