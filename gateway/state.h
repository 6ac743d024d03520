// The gateway's state folder: per reader the sequence number of its last event, and how many
// queued messages were dropped; Paho keeps its queue in the folder's "queue" subfolder.
#pragma once

#include <cstdint>
#include <string>

namespace tqrf::gateway {

// $STATE_DIRECTORY, else ~/.local/state/tqrf-gateway.
std::string default_state_dir();
// Makes `dir` and its parents (mode 0700 for the last). An error text or "".
std::string make_dirs(const std::string& dir);

// A number kept in a file of its own, written atomically (a new file renamed over the old).
class Counter {
  public:
    Counter() = default;
    explicit Counter(std::string path);
    std::uint64_t value() const { return value_; }
    // Adds one and writes the file; the new value.
    std::uint64_t next() { return add(1); }
    // Adds `n` and writes the file; the new value.
    std::uint64_t add(std::uint64_t n);

  private:
    std::string path_;
    std::uint64_t value_ = 0;
};

}  // namespace tqrf::gateway
