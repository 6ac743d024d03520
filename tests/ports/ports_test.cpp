// The driver table for mark and space parity, and the order ports are listed in.
#include "os/ports.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tq_RWD_DLL.h"

namespace tqrf::ports {
namespace {

struct DriverCase {
    const char* driver;
    const char* product;
    std::int32_t mark_space;
};

void PrintTo(const DriverCase& c, std::ostream* os) {
    *os << c.driver << " / " << c.product;
}

class MarkSpace : public ::testing::TestWithParam<DriverCase> {};

TEST_P(MarkSpace, FromTheDriver) {
    EXPECT_EQ(mark_space_support(GetParam().driver, GetParam().product), GetParam().mark_space)
        << GetParam().driver << " / " << GetParam().product;
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, MarkSpace,
    ::testing::Values(
        DriverCase{"ftdi_sio", "FT232R USB UART", TQRF_MARK_SPACE_YES},
        DriverCase{"cp210x", "CP2102 USB to UART Bridge Controller", TQRF_MARK_SPACE_YES},
        DriverCase{"cp210x", "", TQRF_MARK_SPACE_YES},
        // Same product id as the CP2102; only its product string names it.
        DriverCase{"cp210x", "CP2101 USB to UART Bridge Controller", TQRF_MARK_SPACE_NO},
        DriverCase{"pl2303", "", TQRF_MARK_SPACE_YES},
        DriverCase{"ch341", "USB2.0-Serial", TQRF_MARK_SPACE_YES},
        DriverCase{"serial8250", "", TQRF_MARK_SPACE_YES},
        DriverCase{"serial", "", TQRF_MARK_SPACE_YES},
        DriverCase{"ti_usb_3410_5052", "", TQRF_MARK_SPACE_NO},
        DriverCase{"io_ti", "", TQRF_MARK_SPACE_NO},
        DriverCase{"digi_acceleport", "", TQRF_MARK_SPACE_NO},
        DriverCase{"kobil_sct", "", TQRF_MARK_SPACE_NO},
        DriverCase{"upd78f0730", "", TQRF_MARK_SPACE_NO},
        DriverCase{"cdc_acm", "", TQRF_MARK_SPACE_UNKNOWN},
        DriverCase{"rfcomm", "", TQRF_MARK_SPACE_UNKNOWN},
        DriverCase{"", "", TQRF_MARK_SPACE_UNKNOWN},
        // Windows driver services, whatever their case.
        DriverCase{"FTSER2K", "", TQRF_MARK_SPACE_YES},
        DriverCase{"silabser", "CP2101", TQRF_MARK_SPACE_NO},
        DriverCase{"ser2pl64", "", TQRF_MARK_SPACE_YES},
        DriverCase{"Serial", "", TQRF_MARK_SPACE_YES},
        DriverCase{"usbser", "", TQRF_MARK_SPACE_UNKNOWN}));

struct OrderCase {
    const char* a;
    const char* b;
    bool less;
};

void PrintTo(const OrderCase& c, std::ostream* os) {
    *os << c.a << " < " << c.b;
}

class NaturalOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NaturalOrder, NumbersByValue) {
    EXPECT_EQ(natural_less(GetParam().a, GetParam().b), GetParam().less)
        << GetParam().a << " < " << GetParam().b;
}

INSTANTIATE_TEST_SUITE_P(Names, NaturalOrder,
                         ::testing::Values(OrderCase{"/dev/ttyS2", "/dev/ttyS10", true},
                                           OrderCase{"/dev/ttyS10", "/dev/ttyS2", false},
                                           OrderCase{"COM2", "COM10", true},
                                           OrderCase{"COM9", "COM9", false},
                                           OrderCase{"/dev/ttyACM0", "/dev/ttyS0", true},
                                           OrderCase{"/dev/ttyS0", "/dev/ttyUSB0", true},
                                           OrderCase{"ttyUSB1", "ttyUSB01", false},
                                           OrderCase{"ttyUSB", "ttyUSB0", true},
                                           OrderCase{"ttyUSB0", "ttyUSB", false}));

}  // namespace
}  // namespace tqrf::ports
