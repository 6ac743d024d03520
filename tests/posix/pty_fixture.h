// A pseudo-terminal pair for the POSIX backend's tests: the test holds the master side, the
// backend opens the slave side by its path. What the backend opened is closed after the test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "os/serial.h"
#include "tests/support/pty.h"

class PtyPair : public ::testing::Test {
  protected:
    // `raw`: the master side in raw mode too, so bytes pass unchanged both ways.
    explicit PtyPair(bool raw = false) : raw_(raw) {}

    void SetUp() override {
        const tqrf::testing::PtyEnds ends = tqrf::testing::open_pty(raw_);
        ASSERT_GE(ends.master, 0);
        master_ = ends.master;
        slave_ = ends.slave;
    }
    void TearDown() override {
        if (device_ != nullptr) tqrf::serial::close_device(device_);
        if (master_ >= 0) close(master_);
    }

    int master_ = -1;
    std::string slave_;
    tqrf::serial::Device* device_ = nullptr;

  private:
    bool raw_;
};
