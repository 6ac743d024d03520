// The POSIX backend's line settings as they are written (tcsetattr is watched in this program),
// errors it reports, device loss on a pseudo-terminal whose other end closes, and waits for
// received bytes.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "link/serial.h"

namespace {

struct Written {
    int fd;
    int when;
    termios settings;
};
std::vector<Written> g_written;
int g_interrupt_next = 0;  // tcsetattr calls still to fail with EINTR

}  // namespace

// Every tcsetattr of this program comes here first: the settings are kept, and a signal can be
// made to interrupt the call.
extern "C" int tcsetattr(int fd, int when, const struct termios* t) {
    using Real = int (*)(int, int, const struct termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (g_interrupt_next > 0) {
        --g_interrupt_next;
        errno = EINTR;
        return -1;
    }
    g_written.push_back({fd, when, *t});
    return real(fd, when, t);
}

namespace {

using namespace tqrf::serial;

class Line : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = ptsname(master_);
        g_written.clear();
        g_interrupt_next = 0;
    }
    void TearDown() override {
        if (device_ != nullptr) close_device(device_);
        if (master_ >= 0) close(master_);
    }
    // The library's open sequence: the resting mode, then the time-outs.
    void open_like_the_library() {
        device_ = open_device(slave_.c_str());
        ASSERT_NE(device_, nullptr);
        ASSERT_TRUE(apply_mode_text(device_, "19200,S,8,1"));
        ASSERT_TRUE(set_timeouts(device_));
    }

    int master_ = -1;
    std::string slave_;
    Device* device_ = nullptr;
};

TEST_F(Line, TheLastSettingWrittenAtOpenIsSpaceParity) {
    open_like_the_library();
    ASSERT_FALSE(g_written.empty());
    const termios& last = g_written.back().settings;
    EXPECT_EQ(last.c_cflag & (PARENB | CMSPAR | PARODD), tcflag_t{PARENB | CMSPAR});
    EXPECT_EQ(last.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(cfgetospeed(&last), B19200);
    EXPECT_EQ(last.c_cc[VMIN], 0);
    EXPECT_EQ(last.c_cc[VTIME], 0);
}

TEST_F(Line, ModesAreWrittenAtOnceAfterABoundedDrain) {
    open_like_the_library();
    g_written.clear();
    ASSERT_TRUE(apply_mode_text(device_, "19200,M,8,1"));
    ASSERT_TRUE(apply_mode_text(device_, "19200,S,8,1"));
    ASSERT_EQ(g_written.size(), 2u);
    for (const Written& w : g_written) EXPECT_EQ(w.when, TCSANOW);
    EXPECT_EQ(g_written[0].settings.c_cflag & (PARENB | CMSPAR | PARODD),
              tcflag_t{PARENB | CMSPAR | PARODD});
    EXPECT_EQ(g_written[1].settings.c_cflag & (PARENB | CMSPAR | PARODD),
              tcflag_t{PARENB | CMSPAR});
}

constexpr LineMode kAddress{19200, Parity::Mark, 8, 10};
constexpr LineMode kFrame{19200, Parity::Space, 8, 10};

tcflag_t parity_of(const termios& t) {
    return t.c_cflag & (PARENB | CMSPAR | PARODD);
}

// The link's two modes are built once, after the open; every switch writes exactly the
// settings prepared, and a switch to the settings in force writes nothing (some USB adapters
// lose bytes when settings are written again unchanged).
TEST_F(Line, PreparedLinkModesAreWrittenOnlyWhenTheyChangeTheLine) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    ASSERT_TRUE(prepare_link_modes(device_, kAddress, kFrame));
    EXPECT_TRUE(g_written.empty()) << "preparing writes nothing";
    struct Step {
        const char* what;
        bool (*run)(Device*);
        int writes;       // settings written by the step
        tcflag_t parity;  // parity flags of the last setting written
    };
    const Step steps[] = {
        {"frame at open", [](Device* d) { return apply_mode(d, LinkMode::Frame); }, 1,
         PARENB | CMSPAR},
        {"time-outs already in force", [](Device* d) { return set_timeouts(d); }, 0, 0},
        {"frame again", [](Device* d) { return apply_mode(d, LinkMode::Frame); }, 0, 0},
        {"address", [](Device* d) { return apply_mode(d, LinkMode::Address); }, 1,
         PARENB | CMSPAR | PARODD},
        {"address again", [](Device* d) { return apply_mode(d, LinkMode::Address); }, 0, 0},
        {"frame", [](Device* d) { return apply_mode(d, LinkMode::Frame); }, 1, PARENB | CMSPAR},
        {"a rate",
         [](Device* d) {
             return apply_mode(d, LineMode{9600, Parity::None, 8, 10});
         },
         1, 0},
        {"the same rate", [](Device* d) { return apply_mode_text(d, "9600,N,8,1"); }, 0, 0},
        {"back to the frame", [](Device* d) { return apply_mode(d, LinkMode::Frame); }, 1,
         PARENB | CMSPAR},
    };
    for (const Step& step : steps) {
        g_written.clear();
        EXPECT_TRUE(step.run(device_)) << step.what;
        ASSERT_EQ(static_cast<int>(g_written.size()), step.writes) << step.what;
        if (step.writes == 0) continue;
        const termios& t = g_written.back().settings;
        EXPECT_EQ(parity_of(t), step.parity) << step.what;
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8}) << step.what;
        EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << step.what;
        EXPECT_EQ(t.c_cc[VMIN], 0) << step.what;
        EXPECT_EQ(t.c_cc[VTIME], 0) << step.what;
    }
}

TEST_F(Line, ModesTermiosCannotExpressAreRefusedBeforeAnythingIsWritten) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    const LineMode refused[] = {
        {12345, Parity::None, 8, 10},  // no such rate
        {19200, Parity::None, 9, 10},  // no such size
        {19200, Parity::None, 8, 15},  // 1.5 stop bits
        {0, Parity::None, 8, 10},
    };
    for (const LineMode& mode : refused) {
        EXPECT_FALSE(apply_mode(device_, mode)) << mode.rate;
        EXPECT_FALSE(prepare_link_modes(device_, mode, kFrame)) << mode.rate;
        EXPECT_FALSE(apply_mode(device_, LinkMode::Address)) << "a mode not prepared";
    }
    EXPECT_TRUE(g_written.empty());
}

TEST_F(Line, AModeChangeInterruptedByASignalIsRetried) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    g_interrupt_next = 2;
    EXPECT_TRUE(apply_mode_text(device_, "19200,M,8,1"));
    EXPECT_EQ(g_written.size(), 1u);
    EXPECT_EQ(last_error(device_), 0);
}

TEST_F(Line, CloseOfALineNeverChangedWritesNothing) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    close_device(device_);
    device_ = nullptr;
    EXPECT_TRUE(g_written.empty());
}

TEST_F(Line, CloseRestoresTheSettingsFromBeforeTheOpen) {
    const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    cfsetospeed(&before, B9600);
    cfsetispeed(&before, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    close(fd);

    open_like_the_library();
    close_device(device_);
    device_ = nullptr;
    const termios& restored = g_written.back().settings;
    EXPECT_EQ(cfgetospeed(&restored), B9600);
    EXPECT_NE(restored.c_lflag & ICANON, 0u);
    EXPECT_NE(restored.c_lflag & ECHO, 0u);
    // And the exclusive hold is gone: the device opens again.
    device_ = open_device(slave_.c_str());
    EXPECT_NE(device_, nullptr);
}

TEST_F(Line, OpenFailuresCarryTheOsError) {
    std::int32_t error = 0;
    EXPECT_EQ(open_device("/dev/no-such-device-here", &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(open_device("/dev/null", &error), nullptr);
    EXPECT_EQ(error, ENOTTY);
    char plain[] = "/tmp/tqrf-plain-XXXXXX";
    const int fd = mkstemp(plain);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(open_device(plain, &error), nullptr);
    EXPECT_EQ(error, ENOTTY);
    unlink(plain);
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    EXPECT_EQ(open_device(slave_.c_str(), &error), nullptr);
    EXPECT_EQ(error, EBUSY);
}

TEST_F(Line, WaitsEndWithBytesOrTheirTime) {
    open_like_the_library();
    EXPECT_EQ(wait_readable(device_, 0), Wait::Timeout);
    EXPECT_EQ(wait_readable(device_, 20'000), Wait::Timeout);
    const std::uint8_t bytes[] = {0x00, 0x01, 0x00, 0x01};
    ASSERT_EQ(write(master_, bytes, sizeof bytes), 4);
    EXPECT_EQ(wait_readable(device_, 5'000'000), Wait::Ready);
}

TEST_F(Line, AClosedOtherEndIsALostDevice) {
    open_like_the_library();
    EXPECT_FALSE(device_lost(device_));
    close(master_);
    master_ = -1;
    EXPECT_EQ(wait_readable(device_, 1'000'000), Wait::Lost);
    EXPECT_TRUE(device_lost(device_));
    EXPECT_EQ(last_error(device_), EIO);
    const std::uint8_t address = 0x58;
    EXPECT_EQ(write_bytes(device_, &address, 1), 0u);
    EXPECT_EQ(last_error(device_), EIO);
}

TEST(TraceFile, IsCreatedForItsOwnerOnlyAndAppendedTo) {
    char name[] = "/tmp/tqrf-trace-test-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    unlink(name);
    TraceFile* file = open_trace_file(name);
    ASSERT_NE(file, nullptr);
    append_trace(file, "one\n", 4);
    close_trace_file(file);
    file = open_trace_file(name);
    ASSERT_NE(file, nullptr);
    append_trace(file, "two\n", 4);
    close_trace_file(file);
    struct stat st {};
    ASSERT_EQ(stat(name, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::FILE* in = std::fopen(name, "r");
    ASSERT_NE(in, nullptr);
    char text[16] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, in), 8u);
    std::fclose(in);
    EXPECT_STREQ(text, "one\ntwo\n");
    unlink(name);
}

}  // namespace
