// A recording stand-in for the platform serial layer, with a virtual clock. Linked in place of
// the real backend, it records everything the library asks of the port and plays back
// scripted replies, so tests can check exact wire bytes, the parity of each byte and every
// pause without hardware and without real time passing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tqrf::testing {

// One byte as it went out on the wire, with the parity letter of the mode in force.
struct WireByte {
    std::uint8_t value;
    char parity;  // 'N', 'M', 'S', 'E', 'O'

    bool operator==(const WireByte&) const = default;
};

struct Recorder {
    // What the library did, in order: "open PATH", "close", "mode 19200,M,8,1", "queues 400 400",
    // "timeouts", "purge in", "purge out", "write 58", "write 00 04 BB ...", "pause 40",
    // "read 6".
    std::vector<std::string> events;
    std::vector<std::string> opened_paths;
    std::vector<std::string> modes;
    std::vector<WireByte> wire;
    std::vector<std::uint32_t> pauses;

    std::uint64_t now_ms = 0;  // the virtual clock; only pauses advance it
    char parity = 'N';         // parity of the mode in force

    // Faults to play.
    bool fail_open = false;          // the next open fails
    int fail_mode_countdown = -1;    // mode changes before one fails (0 = the next one fails)
    bool fail_queues = false;        // set_queue_sizes fails
    int short_write_countdown = -1;  // writes before one comes out a byte short (0 = next)
    bool open_device = false;        // a device is open (the double allows one at a time)

    // Replies. A scripted reply becomes readable `delay_ms` after the next request frame is
    // written (a write of more than one byte). Bytes put by arrive_now() are readable at once.
    struct Pending {
        std::vector<std::uint8_t> bytes;
        std::uint32_t delay_ms;
    };
    std::vector<Pending> scripted;
    struct Arrival {
        std::uint64_t at_ms;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Arrival> in_flight;
    std::vector<std::uint8_t> input;  // arrived, not yet taken

    void reset();
    void script_reply(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms = 5);
    void arrive_now(const std::vector<std::uint8_t>& bytes);

    // The bytes written since the last clear, without parity.
    std::vector<std::uint8_t> wire_values() const;
    void clear_log();
};

Recorder& recorder();

// Builds a frame (LEN, payload, XOR) the way a reader answers.
std::vector<std::uint8_t> reply_frame(const std::vector<std::uint8_t>& payload);

}  // namespace tqrf::testing
