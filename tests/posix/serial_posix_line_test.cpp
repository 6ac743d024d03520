// The POSIX backend's line settings as they are written (tcsetattr is watched in this program),
// errors it reports, device loss on a pseudo-terminal whose other end closes, and waits for
// received bytes. A USB adapter's driver is played on a pseudo-terminal by answering the
// program's fstat, tcgetattr and serial-driver ioctls for it.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "os/serial.h"
#include "tests/posix/pty_fixture.h"

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

// The adapter played on the pseudo-terminal.
struct Adapter {
    bool active = false;           // fstat shows a serial port (ttyS0's numbers), not a pty
    bool keeps_parity = true;      // tcgetattr shows the parity flags last written
    bool offers_latency = false;   // TIOCGSERIAL works
    bool refuses_latency = false;  // TIOCSSERIAL fails
    int flags = 0;                 // the driver's serial flags
    int latency_sets = 0;          // TIOCSSERIAL calls
};
Adapter g_adapter;

}  // namespace

extern "C" int fstat(int fd, struct stat* st) __THROW {
    using Real = int (*)(int, struct stat*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fstat"));
    const int result = real(fd, st);
    if (result == 0 && g_adapter.active && S_ISCHR(st->st_mode) && isatty(fd)) {
        st->st_rdev = makedev(4, 64);
    }
    return result;
}

extern "C" int tcgetattr(int fd, struct termios* t) __THROW {
    using Real = int (*)(int, struct termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcgetattr"));
    const int result = real(fd, t);
    if (result == 0 && g_adapter.active && g_adapter.keeps_parity && !g_written.empty()) {
        const tcflag_t parity = PARENB | PARODD | CMSPAR;
        t->c_cflag = (t->c_cflag & ~parity) | (g_written.back().settings.c_cflag & parity);
    }
    return result;
}

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
        if (!g_adapter.offers_latency) {
            errno = ENOTTY;
            return -1;
        }
        auto* settings = static_cast<serial_struct*>(arg);
        if (request == TIOCGSERIAL) {
            *settings = serial_struct{};
            settings->flags = g_adapter.flags;
            return 0;
        }
        ++g_adapter.latency_sets;
        if (g_adapter.refuses_latency) {
            errno = EPERM;
            return -1;
        }
        g_adapter.flags = settings->flags;
        return 0;
    }
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace {

using namespace tqrf::serial;

class Line : public PtyPair {
  protected:
    void SetUp() override {
        PtyPair::SetUp();
        g_written.clear();
        g_interrupt_next = 0;
        g_adapter = Adapter{};
    }
    void TearDown() override {
        g_adapter = Adapter{};
        PtyPair::TearDown();
    }
    // The library's open sequence: the resting mode, then the time-outs.
    void open_like_the_library() {
        device_ = open_device(slave_.c_str());
        ASSERT_NE(device_, nullptr);
        ASSERT_TRUE(apply_mode_text(device_, "19200,S,8,1"));
        ASSERT_TRUE(set_timeouts(device_));
    }
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

// The settings are read back once, after the first mark/space write, and only on a device that
// is not a pseudo-terminal (a pseudo-terminal always drops parity: reading it back there would
// call every line broken).
TEST_F(Line, ADriverThatDropsMarkAndSpaceIsFoundByReadingBack) {
    struct Case {
        const char* what;
        bool adapter;  // a serial port, not a pseudo-terminal
        bool keeps;    // its driver keeps the parity written
        bool dropped;
    };
    const Case cases[] = {
        {"pseudo-terminal", false, false, false},
        {"adapter that carries mark and space", true, true, false},
        {"adapter whose driver clears CMSPAR", true, false, true},
    };
    for (const Case& c : cases) {
        g_adapter = Adapter{};
        g_adapter.active = c.adapter;
        g_adapter.keeps_parity = c.keeps;
        device_ = open_device(slave_.c_str());
        ASSERT_NE(device_, nullptr) << c.what;
        EXPECT_FALSE(mark_space_dropped(device_)) << c.what << ": nothing written yet";
        ASSERT_TRUE(prepare_link_modes(device_, kAddress, kFrame));
        ASSERT_TRUE(apply_mode(device_, LinkMode::Frame)) << c.what;
        EXPECT_EQ(mark_space_dropped(device_), c.dropped) << c.what;
        // What was read back is never written out: the next switch writes the prepared mode.
        g_written.clear();
        ASSERT_TRUE(apply_mode(device_, LinkMode::Address));
        ASSERT_EQ(g_written.size(), 1u);
        EXPECT_EQ(parity_of(g_written[0].settings), tcflag_t{PARENB | CMSPAR | PARODD});
        EXPECT_EQ(mark_space_dropped(device_), c.dropped) << c.what;
        close_device(device_);
        device_ = nullptr;
    }
}

// Low latency is asked for at open where the driver offers it, and the earlier setting is put
// back at close; a driver that refuses changes nothing.
TEST_F(Line, LowLatencyIsAskedForAndPutBack) {
    struct Case {
        const char* what;
        bool offered;
        int flags_before;
        bool refuses;
        LowLatency state;
        int sets_at_open;
        int flags_after_close;
    };
    const Case cases[] = {
        {"no such setting (pty)", false, 0, false, LowLatency::Unknown, 0, 0},
        {"offered, off", true, ASYNC_SPD_HI, false, LowLatency::On, 1, ASYNC_SPD_HI},
        {"already on", true, ASYNC_LOW_LATENCY, false, LowLatency::On, 0, ASYNC_LOW_LATENCY},
        {"refused", true, 0, true, LowLatency::Off, 1, 0},
    };
    for (const Case& c : cases) {
        g_adapter = Adapter{};
        g_adapter.offers_latency = c.offered;
        g_adapter.flags = c.flags_before;
        g_adapter.refuses_latency = c.refuses;
        device_ = open_device(slave_.c_str());
        ASSERT_NE(device_, nullptr) << c.what << ": the open never fails for it";
        EXPECT_EQ(low_latency(device_), c.state) << c.what;
        EXPECT_EQ(g_adapter.latency_sets, c.sets_at_open) << c.what;
        if (c.state == LowLatency::On) {
            EXPECT_NE(g_adapter.flags & ASYNC_LOW_LATENCY, 0) << c.what;
        }
        EXPECT_EQ(last_error(device_), 0) << c.what;
        EXPECT_TRUE(g_written.empty()) << c.what << ": no line settings written";
        close_device(device_);
        device_ = nullptr;
        EXPECT_EQ(g_adapter.flags, c.flags_after_close) << c.what;
    }
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

TEST_F(Line, ReadsEndWithTheirBytesOrTheirDeadline) {
    open_like_the_library();
    std::uint8_t in[8] = {};
    EXPECT_EQ(read_bytes(device_, in, 1, 1, now_us()), 0u);
    EXPECT_EQ(read_bytes(device_, in, 1, 1, now_us() + 20'000), 0u);
    const std::uint8_t bytes[] = {0x00, 0x01, 0x00, 0x01};
    ASSERT_EQ(write(master_, bytes, sizeof bytes), 4);
    // At least 2, at most 3: never a byte more than asked.
    EXPECT_EQ(read_bytes(device_, in, 2, 3, now_us() + 5'000'000), 3u);
    EXPECT_EQ(read_bytes(device_, in + 3, 1, 1, now_us() + 5'000'000, true), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 4), std::vector<std::uint8_t>(bytes, bytes + 4));
    EXPECT_FALSE(device_lost(device_));
}

TEST_F(Line, AClosedOtherEndIsALostDevice) {
    open_like_the_library();
    EXPECT_FALSE(device_lost(device_));
    close(master_);
    master_ = -1;
    std::uint8_t in[4];
    EXPECT_EQ(read_bytes(device_, in, 1, 4, now_us() + 1'000'000), 0u);
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
