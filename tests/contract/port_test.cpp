// Port control: opening by COM name or device path, closing, line rate.
#include <cstring>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

using PortControl = PortClosed;

TEST_F(PortControl, InitShortensTheNameInPlaceAndConfiguresTheLine) {
    char name[] = "COM3";
    ASSERT_EQ(tqrf_init(name), 0);
    EXPECT_STREQ(name, "3");
    const std::vector<std::string> expected = {"open /dev/ttyS2", "mode 19200,S,8,1",
                                               "queues 400 400", "timeouts"};
    EXPECT_EQ(rec().events, expected);
}

TEST_F(PortControl, PortNumbersFollowAtoi) {
    struct Case {
        const char* name;
        const char* after;
        const char* path;  // nullptr: no device is tried
    };
    const Case cases[] = {
        {"COM12", "12", "/dev/ttyS11"},
        {"COM1", "1", "/dev/ttyS0"},
        {"XYZ7", "7", "/dev/ttyS6"},      // the three characters are not examined
        {"COM 5x", " 5x", "/dev/ttyS4"},  // blanks skipped, digits up to a non-digit
        {"COM+2", "+2", "/dev/ttyS1"},
        {"COM", "", nullptr},  // no digits: port 0, which names no device
        {"COMx", "x", nullptr},
        {"COM-1", "-1", nullptr},
        {"CO", "", nullptr},  // shorter than three characters: emptied
        {"", "", nullptr},
    };
    for (const Case& c : cases) {
        rec().reset();
        char name[16];
        std::strcpy(name, c.name);
        const int r = tqrf_init(name);
        EXPECT_STREQ(name, c.after) << c.name;
        if (c.path != nullptr) {
            EXPECT_EQ(r, 0) << c.name;
            EXPECT_EQ(rec().opened_paths, std::vector<std::string>{c.path}) << c.name;
        } else {
            EXPECT_EQ(r, ERR_PORT_OPEN_FAILED) << c.name;
            EXPECT_TRUE(rec().opened_paths.empty()) << c.name;
        }
        tqrf_exit();
    }
}

TEST_F(PortControl, ShortNameIsNeverReadPastItsTerminator) {
    // "C" then a terminator, then bytes that must not be taken for the rest of the name.
    char name[8] = {'C', '\0', '9', '9', '\0'};
    EXPECT_EQ(tqrf_init(name), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(name[2], '9');
}

TEST_F(PortControl, SecondInitIsRefusedAndStillShortensTheName) {
    char first[] = "COM3";
    ASSERT_EQ(tqrf_init(first), 0);
    char second[] = "COM4";
    EXPECT_EQ(tqrf_init(second), ERR_PORT_IN_USE);
    EXPECT_STREQ(second, "4");
    EXPECT_EQ(rec().opened_paths, std::vector<std::string>{"/dev/ttyS2"});
    // Port 0 with a port open: "in use" comes before the missing device.
    char zero[] = "COM0";
    EXPECT_EQ(tqrf_init(zero), ERR_PORT_IN_USE);
    EXPECT_EQ(tqrf_init_device("/dev/other"), ERR_PORT_IN_USE);
}

TEST_F(PortControl, OpenFailureThenSuccess) {
    rec().fail_open = true;
    char name[] = "COM3";
    EXPECT_EQ(tqrf_init(name), ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(tqrf_exit(), ERR_FAILED);
    char again[] = "COM3";
    EXPECT_EQ(tqrf_init(again), 0);
    EXPECT_EQ(tqrf_exit(), 0);
}

TEST_F(PortControl, ConfigurationFailureLeavesThePortOpen) {
    struct Case {
        int mode_countdown;
        bool queues_fail;
    };
    for (const Case c : {Case{0, false}, Case{-1, true}}) {
        rec().reset();
        rec().fail_mode_countdown = c.mode_countdown;
        rec().fail_queues = c.queues_fail;
        EXPECT_EQ(tqrf_init_device("/dev/reader"), ERR_FAILED);
        EXPECT_EQ(tqrf_init_device("/dev/reader"), ERR_PORT_IN_USE);
        EXPECT_EQ(tqrf_exit(), 0);
    }
}

TEST_F(PortControl, ExitTwice) {
    ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
    EXPECT_EQ(tqrf_exit(), 0);
    EXPECT_EQ(tqrf_exit(), ERR_FAILED);
    EXPECT_EQ(rec().events.back(), "close");
}

TEST_F(PortControl, InitDeviceUsesThePathAsGiven) {
    const char path[] = "/dev/ttyUSB0";
    ASSERT_EQ(tqrf_init_device(path), 0);
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    EXPECT_EQ(rec().opened_paths, std::vector<std::string>{"/dev/ttyUSB0"});
    EXPECT_EQ(rec().modes, std::vector<std::string>{"19200,S,8,1"});
}

TEST_F(PortControl, NullArgumentsAreRefused) {
    EXPECT_EQ(tqrf_init(nullptr), ERR_FAILED);
    EXPECT_EQ(tqrf_init_device(nullptr), ERR_FAILED);
    EXPECT_TRUE(rec().events.empty());
    ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
    EXPECT_EQ(tqrf_BaudSetup(nullptr), ERR_FAILED);
}

TEST_F(PortControl, BaudSetup) {
    EXPECT_EQ(tqrf_BaudSetup("9600"), ERR_PORT_NOT_OPEN);
    EXPECT_TRUE(rec().events.empty());

    ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
    rec().clear_log();
    struct Case {
        std::string rate;
        int result;
    };
    const Case cases[] = {
        {"9600", 0},
        {"115200", 0},
        {"abc", ERR_FAILED},                 // not a rate
        {"12345", ERR_FAILED},               // not one the line can take
        {std::string(33, '9'), ERR_FAILED},  // 33 + 6 + 1 = 40 fits, but no such rate
        {std::string(34, '9'), ERR_FAILED},  // mode string would not fit 40 bytes
    };
    for (const Case& c : cases) EXPECT_EQ(tqrf_BaudSetup(c.rate.c_str()), c.result) << c.rate;
    // The over-long text never reached the line.
    const std::vector<std::string> applied = {"9600,N,8,1", "115200,N,8,1", "abc,N,8,1",
                                              "12345,N,8,1", std::string(33, '9') + ",N,8,1"};
    EXPECT_EQ(rec().modes, applied);
}

TEST_F(PortControl, CommandsAfterBaudSetupRunAt19200Again) {
    ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
    ASSERT_EQ(tqrf_BaudSetup("9600"), 0);
    rec().clear_log();
    rec().script_reply(reply_frame({0x00}));
    EXPECT_EQ(tqrf_halt(), 0);
    EXPECT_EQ(rec().modes, (std::vector<std::string>{"19200,M,8,1", "19200,S,8,1"}));
}

}  // namespace
}  // namespace tqrf::testing
