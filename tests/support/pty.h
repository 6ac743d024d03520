// A pseudo-terminal pair for tests that put real terminals under the code: the test holds the
// master side, the code under test opens the slave side by its path. Either nothing answers on
// the master side, or a thread of the pair's own hands every chunk it reads to a function (an
// echo, a minimal responder). Closed, and the thread stopped, when the pair goes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace tqrf::testing {

// The master side's descriptor (-1 when no pair could be opened) and the slave side's path.
struct PtyEnds {
    int master = -1;
    std::string slave;
};

// Opens a pair the caller closes; `raw` puts the master side in raw mode, so bytes pass
// unchanged both ways.
PtyEnds open_pty(bool raw = false);

class Pty {
  public:
    // What the master side read: the bytes, their count, and the master side to answer on.
    using Answer = std::function<void(int master, const std::uint8_t* bytes, std::size_t count)>;

    explicit Pty(bool raw = false);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return ends_.master >= 0; }
    int master() const { return ends_.master; }
    const std::string& path() const { return ends_.slave; }

    // From now on, every chunk the master side reads goes to `answer`, on a thread of its own.
    void serve(Answer answer);
    // Sends back whatever the master side reads.
    void echo();

  private:
    PtyEnds ends_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tqrf::testing
