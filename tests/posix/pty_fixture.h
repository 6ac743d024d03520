// A pseudo-terminal pair for the POSIX backend's tests: the test holds the master side, the
// backend opens the slave side by its path. What the backend opened is closed after the test.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "os/serial.h"

class PtyPair : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = ptsname(master_);
    }
    void TearDown() override {
        if (device_ != nullptr) tqrf::serial::close_device(device_);
        if (master_ >= 0) close(master_);
    }

    int master_ = -1;
    std::string slave_;
    tqrf::serial::Device* device_ = nullptr;
};
