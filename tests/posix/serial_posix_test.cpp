// The POSIX serial backend against real pseudo-terminals: open, exclusive open, write, bytes
// waiting, read, purge, mode strings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "os/serial.h"
#include "tests/posix/pty_fixture.h"

namespace {

using namespace tqrf::serial;

class Pty : public PtyPair {
  protected:
    // Raw on the master side too, so bytes pass unchanged both ways.
    Pty() : PtyPair(true) {}

    // Reads what the master side receives, waiting up to `ms` for `want` bytes.
    std::vector<std::uint8_t> master_read(size_t want, int ms = 1000) {
        std::vector<std::uint8_t> got;
        while (got.size() < want) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0) break;
            std::uint8_t buf[256];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // Waits until the slave side has `want` bytes waiting (delivery through a pty is
    // asynchronous).
    std::uint32_t wait_waiting(std::uint32_t want) {
        for (int i = 0; i < 1000; ++i) {
            const std::uint32_t n = bytes_waiting(device_);
            if (n >= want) return n;
            pause_ms(1);
        }
        return bytes_waiting(device_);
    }
};

TEST_F(Pty, OpensConfiguresWritesAndReads) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    EXPECT_TRUE(apply_mode_text(device_, "19200,S,8,1"));
    EXPECT_TRUE(set_queue_sizes(device_, 400, 400));
    EXPECT_TRUE(set_timeouts(device_));

    const std::uint8_t out[] = {0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8};
    EXPECT_EQ(write_bytes(device_, out, sizeof out), sizeof out);
    EXPECT_EQ(master_read(sizeof out), std::vector<std::uint8_t>(out, out + sizeof out));

    // Nothing waiting: a read returns at once with nothing.
    std::uint8_t in[16] = {};
    EXPECT_EQ(bytes_waiting(device_), 0u);
    EXPECT_EQ(read_bytes(device_, in, 0, sizeof in, 0), 0u);

    const std::uint8_t reply[] = {0x00, 0x03, 0x04, 0x00, 0x00, 0x07};
    ASSERT_EQ(write(master_, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(wait_waiting(sizeof reply), sizeof reply);
    // Takes no more than asked, and leaves the rest waiting.
    EXPECT_EQ(read_bytes(device_, in, 0, 4, 0), 4u);
    EXPECT_EQ(bytes_waiting(device_), 2u);
    EXPECT_EQ(read_bytes(device_, in + 4, 0, sizeof in - 4, 0), 2u);
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 6),
              std::vector<std::uint8_t>(reply, reply + sizeof reply));
}

TEST_F(Pty, PurgeInputDiscardsWaitingBytes) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    ASSERT_TRUE(apply_mode_text(device_, "19200,S,8,1"));
    const std::uint8_t noise[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(write(master_, noise, sizeof noise), static_cast<ssize_t>(sizeof noise));
    ASSERT_EQ(wait_waiting(sizeof noise), sizeof noise);
    purge_input(device_);
    purge_output(device_);
    EXPECT_EQ(bytes_waiting(device_), 0u);
}

TEST_F(Pty, SecondOpenOfTheSameDeviceIsRefused) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    EXPECT_EQ(open_device(slave_.c_str()), nullptr);
    // After closing, the device opens again.
    close_device(device_);
    device_ = open_device(slave_.c_str());
    EXPECT_NE(device_, nullptr);
}

TEST_F(Pty, AnotherProcessCannotOpenAnOpenPort) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child has its own library state: only the lock on the device can refuse it.
        const int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a second process got the port";
}

TEST_F(Pty, OpenFailsForMissingDeviceAndNonTerminal) {
    EXPECT_EQ(open_device("/dev/this-device-does-not-exist"), nullptr);
    EXPECT_EQ(open_device("/dev/null"), nullptr);
    EXPECT_EQ(open_device(nullptr), nullptr);
}

TEST_F(Pty, ModeStringsAcceptedAndRefused) {
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    struct Case {
        const char* mode;
        bool ok;
    };
    const Case cases[] = {
        {"19200,M,8,1", true},
        {"19200,S,8,1", true},
        {"9600,N,8,1", true},
        {"115200,E,7,2", true},
        {"300,o,8,1", true},
        {"12345,N,8,1", false},
        {"abc,N,8,1", false},
        {"19200,X,8,1", false},
        {"19200,N,9,1", false},
        {"19200,N,8,1.5", false},
        {"", false},
        {",N,8,1", false},
    };
    for (const Case& c : cases) EXPECT_EQ(apply_mode_text(device_, c.mode), c.ok) << c.mode;
}

TEST_F(Pty, SettingTheSameModeAgainSucceeds) {
    // A pseudo-terminal drops the parity flags; setting the mode in force again, or opening
    // a line that an earlier session left in space parity, must still work.
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    for (const char* mode : {"19200,S,8,1", "19200,S,8,1", "19200,M,8,1", "19200,M,8,1",
                             "19200,S,8,1", "9600,N,8,1", "9600,N,8,1", "19200,S,8,1"}) {
        EXPECT_TRUE(apply_mode_text(device_, mode)) << mode;
    }
    EXPECT_TRUE(set_timeouts(device_));
    close_device(device_);
    device_ = open_device(slave_.c_str());
    ASSERT_NE(device_, nullptr);
    EXPECT_TRUE(apply_mode_text(device_, "19200,S,8,1"));
}

TEST(SerialPaths, ComNumbersMapToTtyS) {
    char path[64];
    ASSERT_TRUE(device_path_for_port(1, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS0");
    ASSERT_TRUE(device_path_for_port(12, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS11");
    EXPECT_FALSE(device_path_for_port(0, path, sizeof path));
    EXPECT_FALSE(device_path_for_port(-3, path, sizeof path));
    EXPECT_FALSE(device_path_for_port(12, path, 8));  // does not fit
}

TEST(SerialPause, NeverShorterThanAsked) {
    timespec a{}, b{};
    clock_gettime(CLOCK_MONOTONIC, &a);
    pause_ms(5);
    clock_gettime(CLOCK_MONOTONIC, &b);
    const long long us = (b.tv_sec - a.tv_sec) * 1000000LL + (b.tv_nsec - a.tv_nsec) / 1000;
    EXPECT_GE(us, 5000);
}

}  // namespace
