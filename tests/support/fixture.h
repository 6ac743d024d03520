// Shared set-up for contract tests: a port opened on the recording serial double.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/support/recording_serial.h"
#include "tq_RWD_DLL.h"
#include "tqrf_sim/frame.h"

namespace tqrf::testing {

using Bytes = std::vector<std::uint8_t>;

// Wire bytes of one request: the address byte with mark parity, then the frame with space
// parity.
inline std::vector<WireByte> request_on_wire(const Bytes& frame) {
    std::vector<WireByte> w{{0x58, 'M'}};
    for (std::uint8_t b : frame) w.push_back({b, 'S'});
    return w;
}

// A frame written out with its LEN: the same bytes with the XOR of them all appended.
inline Bytes with_xor(Bytes f) {
    f.push_back(tqrf_sim::xor_of(f));
    return f;
}

class PortClosed : public ::testing::Test {
  protected:
    void SetUp() override {
        tqrf_exit();
        recorder().reset();
    }
    void TearDown() override { tqrf_exit(); }
    Recorder& rec() { return recorder(); }
};

class PortOpen : public PortClosed {
  protected:
    void SetUp() override {
        PortClosed::SetUp();
        ASSERT_EQ(tqrf_init_device("/dev/reader"), 0);
        rec().clear_log();
    }
    // Scripts the reader's reply payload (data bytes then status byte).
    void reply(const Bytes& payload, std::uint32_t delay_ms = 5) {
        rec().script_reply(reply_frame(payload), delay_ms);
    }
    void reply_raw(const Bytes& bytes, std::uint32_t delay_ms = 5) {
        rec().script_reply(bytes, delay_ms);
    }
};

}  // namespace tqrf::testing
