// Shared set-up for contract tests: a port opened on the recording serial double.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
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

// The port events of one exchange at the legacy line settings: both buffers purged, the address
// byte with mark parity, a 1 ms pause, the frame (written out in hex) with space parity, the
// pause, then one read of `read` bytes.
inline std::vector<std::string> exchange_events(const std::string& frame_hex, int pause_ms,
                                                std::size_t read) {
    return {"purge in",
            "purge out",
            "mode 19200,M,8,1",
            "write 58",
            "pause 1",
            "mode 19200,S,8,1",
            "write " + frame_hex,
            "pause " + std::to_string(pause_ms),
            "read " + std::to_string(read)};
}

// A frame written out with its LEN: the same bytes with the XOR of them all appended.
inline Bytes with_xor(Bytes f) {
    f.push_back(tqrf_sim::xor_of(f));
    return f;
}

// A reply as it comes off the wire, how long after the request it comes, and the result the call
// must give for it.
struct RawReply {
    const char* name;
    Bytes raw;
    std::uint32_t delay_ms;
    int result;
};

// A reply payload (data bytes then status byte), the result and the 32-bit number the call must
// leave in its output.
struct WordReply {
    const char* name;
    Bytes payload;
    int result;
    std::uint32_t word;
};

class PortClosed : public ::testing::Test {
  protected:
    void SetUp() override {
        tqrf_exit();
        recorder().reset();
    }
    void TearDown() override { tqrf_exit(); }
    Recorder& rec() { return recorder(); }
};

// A reader handle of its own, opened on `path` (a line apart from the default reader's) before
// each test and closed after it.
class OwnReader : public PortClosed {
  protected:
    explicit OwnReader(const char* path) : path_(path) {}
    void SetUp() override {
        PortClosed::SetUp();
        forget_recorders();
        rec();  // the handle's own line, apart from the default reader's
        ASSERT_EQ(tqrf_reader_open(path_, &r_), 0);
        rec().clear_log();
    }
    void TearDown() override {
        if (r_ != nullptr) tqrf_reader_close(r_);
        forget_recorders();
        PortClosed::TearDown();
    }
    Recorder& rec() { return recorder(path_); }

    const char* path_;
    tqrf_reader* r_ = nullptr;
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
    // Each case's reply, then `call` on two words preset to 0xEEEEEEEE: the first must hold the
    // case's word, the second stays untouched (the call writes one word, no more).
    template <std::size_t N, class Call>
    void expect_word_outputs(const WordReply (&cases)[N], Call call) {
        for (const WordReply& c : cases) {
            reply(c.payload);
            std::uint32_t out[2] = {0xEEEEEEEE, 0xEEEEEEEE};
            EXPECT_EQ(call(out), c.result) << c.name;
            EXPECT_EQ(out[0], c.word) << c.name;
            EXPECT_EQ(out[1], 0xEEEEEEEEu) << c.name;
        }
    }
};

}  // namespace tqrf::testing
