// The tool's operating system layer on POSIX (tools/platform_posix.cpp): folders of output
// paths, local time offsets for watch's time stamps, and the stop request that ends watch.
// The Windows layer is run under Wine by tests/windows/wine-tool.sh.
#include "platform.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using namespace tqrf::tool;

TEST(Platform, FolderOfAnOutputPath) {
    struct Case {
        const char* path;
        const char* folder;
    };
    for (const Case& c : {Case{"card.mfd", "."}, Case{"/card.mfd", "/"}, Case{"a/b/c.mfd", "a/b"},
                          Case{"./c.json", "."}, Case{"/tmp/", "/tmp"}}) {
        EXPECT_EQ(platform::folder_of(c.path), c.folder) << c.path;
    }
}

// Watch's time stamps carry the offset from UTC ("+05:30"): the offset of the zone in force at
// that instant, half hours and zones west of UTC included.
TEST(Platform, LocalTimeGivesTheZonesOffset) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    struct Case {
        const char* tz;
        int minutes;
    };
    const std::time_t t = 1765000000;  // 2025-12-06T05:46:40Z
    for (const Case& c :
         {Case{"UTC0", 0}, Case{"IST-5:30", 330}, Case{"NST3:30", -210}, Case{"XST-14", 840}}) {
        setenv("TZ", c.tz, 1);
        tzset();
        int offset = 12345;
        const std::tm tm = platform::local_time(t, offset);
        EXPECT_EQ(offset, c.minutes) << c.tz;
        const int minutes_of_day = tm.tm_hour * 60 + tm.tm_min;
        EXPECT_EQ(minutes_of_day, ((5 * 60 + 46 + c.minutes) % 1440 + 1440) % 1440) << c.tz;
    }
    if (old != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

// SIGINT and SIGTERM end the wait instead of the process, once each; with none the wait ends
// when its time is up.
TEST(Platform, StopRequestTakesInterruptAndTerminate) {
    platform::StopRequest stop;
    EXPECT_FALSE(stop.wait(std::chrono::milliseconds(1)));
    for (int signal : {SIGINT, SIGTERM}) {
        ASSERT_EQ(raise(signal), 0);  // pending on this thread: blocked from now on
        EXPECT_TRUE(stop.wait(std::chrono::milliseconds(1000))) << signal;
        EXPECT_FALSE(stop.wait(std::chrono::milliseconds(0))) << signal;
    }
}

TEST(Platform, OpenProblemsAndErrorTexts) {
    EXPECT_EQ(platform::open_problem(ENOENT), platform::OpenProblem::Missing);
    EXPECT_EQ(platform::open_problem(EACCES), platform::OpenProblem::Denied);
    EXPECT_EQ(platform::open_problem(EBUSY), platform::OpenProblem::Busy);
    EXPECT_EQ(platform::open_problem(ENOTTY), platform::OpenProblem::NotSerial);
    EXPECT_EQ(platform::open_problem(EIO), platform::OpenProblem::Other);
    EXPECT_EQ(platform::error_text(ENOENT), "No such file or directory");
    EXPECT_EQ(platform::device_for_port("com10"), "/dev/ttyS9");
    EXPECT_EQ(platform::device_for_port("COM1000"), "COM1000");
}

}  // namespace
