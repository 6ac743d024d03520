// A minimal host on the simulator's pseudo-terminal, shared by the tests that drive the simulator
// through a real terminal rather than through its model.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tqrf_sim/frame.h"
#include "tqrf_sim/timing.h"

namespace tqrf_sim::testing {

class Host {
  public:
    using Bytes = std::vector<std::uint8_t>;
    using Timed = std::vector<std::pair<std::uint8_t, Clock::time_point>>;

    explicit Host(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~Host() {
        if (fd_ >= 0) ::close(fd_);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    bool ok() const { return fd_ >= 0; }

    void send(const Bytes& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // The address byte, a short gap, then the framed request; what was waiting to be read is
    // dropped first.
    void send_request(const Bytes& payload, std::uint8_t address = kReaderAddress) {
        ::tcflush(fd_, TCIFLUSH);
        send({address});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        send(encode_frame(payload));
    }
    // What arrives within `window`, stopping early once `limit` bytes came.
    Bytes receive(std::chrono::milliseconds window,
                  std::size_t limit = std::numeric_limits<std::size_t>::max()) {
        Bytes out;
        read_for(window, limit, [&](const std::uint8_t* buf, ssize_t n) {
            out.insert(out.end(), buf, buf + n);
            return out.size();
        });
        return out;
    }
    Bytes exchange(const Bytes& payload,
                   std::chrono::milliseconds window = std::chrono::milliseconds(40)) {
        send_request(payload);
        return receive(window);
    }
    // Sends a request and collects what comes back until `expected` bytes came or the generous
    // `window` passed.
    Bytes exchange(const Bytes& payload, std::size_t expected, std::chrono::milliseconds window) {
        send_request(payload);
        return receive(window, expected);
    }
    // The bytes that arrive within `window` (up to `count`), each with the time it was read.
    Timed receive_timed(std::chrono::milliseconds window, std::size_t count) {
        Timed out;
        read_for(window, count, [&](const std::uint8_t* buf, ssize_t n) {
            const auto at = Clock::now();
            for (ssize_t i = 0; i < n; ++i) out.emplace_back(buf[i], at);
            return out.size();
        });
        return out;
    }

  private:
    // Reads until `window` passed or the sink, handed each chunk read, says it holds `limit`.
    template <class Sink>
    void read_for(std::chrono::milliseconds window, std::size_t limit, Sink&& sink) {
        const auto end = Clock::now() + window;
        for (std::size_t got = 0; got < limit;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left <= std::chrono::milliseconds(0)) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            std::uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) got = sink(buf, n);
        }
    }

    int fd_ = -1;
};

}  // namespace tqrf_sim::testing
