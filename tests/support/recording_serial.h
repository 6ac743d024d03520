// A recording stand-in for the platform serial layer, with a virtual clock. Linked in place of
// the real backend, it records everything the library asks of the port and plays back
// scripted replies, so tests can check exact wire bytes, the parity of each byte and every
// pause without hardware and without real time passing.
//
// Every device path is served by the default recorder, recorder(), unless a test has given
// the path a recorder of its own with recorder(path): then two readers open at once each have
// their own line. All recorders share one virtual clock, which only pauses and waits advance.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/serial.h"

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
    // "read 6", "wait 40000" (a wait for received bytes, in microseconds, as asked).
    std::vector<std::string> events;
    std::vector<std::string> opened_paths;
    std::vector<std::string> modes;
    std::vector<WireByte> wire;
    std::vector<std::uint32_t> pauses;

    std::uint64_t now_ms = 0;  // the virtual clock, in whole milliseconds
    std::uint64_t now_us = 0;  // the same, in microseconds
    char parity = 'N';         // parity of the mode in force

    // Faults to play.
    bool fail_open = false;          // the next open fails
    int open_error = 2;              // the OS error of a failed open (ENOENT)
    int fail_mode_countdown = -1;    // mode changes before one fails (0 = the next one fails)
    bool fail_queues = false;        // set_queue_sizes fails
    int short_write_countdown = -1;  // writes before one comes out a byte short (0 = next)
    bool open_device = false;        // a device is open (the double allows one per recorder)
    bool gone = false;               // the device has disappeared: every call on it fails
    bool lost_reported = false;      // the library has been told (EIO) that it is gone
    bool drops_mark_space = false;   // the adapter's driver drops mark and space parity

    // What the library's waits cost, as the POSIX backend spends it: `calls` counts its system
    // calls (a purge, a line-settings write that changes the line (three: glibc's tcsetattr
    // reads the settings before and after it), a write, a look at the
    // transmitter, a read, a poll, a sleep, a look at the input queue), `wakeups` the times its
    // thread blocks and is woken again (a pause, a sleep, a poll that had to wait).
    std::uint32_t calls = 0;
    std::uint32_t wakeups = 0;

    // A UART that takes its real time to send: with a rate, each written byte leaves the
    // transmitter 11 bits / rate after the one before it (on the virtual clock), and a look at
    // the transmitter shows what is still to go (two calls: queue and shift register). Without
    // one, the transmitter is empty at once, as a pseudo-terminal's is.
    std::uint32_t uart_rate = 0;
    std::uint64_t transmitter_busy_until_us = 0;
    std::vector<std::uint64_t> wire_done_us;   // per wire byte: when its last bit left
    std::vector<std::uint64_t> mode_at_us;     // per mode change: when it reached the line
    std::vector<std::uint32_t> drain_wakeups;  // per write: the wake-ups its drain took
    // With a time, a scripted reply crosses the line a byte at a time, as a reader sends it:
    // byte i arrives `reply_byte_us` x (i + 1) after the reply's delay. Without, it arrives whole.
    std::uint32_t reply_byte_us = 0;
    serial::LowLatency low_latency = serial::LowLatency::Unknown;  // what the driver reports

    // Replies. A scripted reply becomes readable `delay_ms` after the next request frame is
    // written (a write of more than one byte); one scripted in pieces has each piece arrive
    // at its own delay. Bytes put by arrive_now() are readable at once.
    struct Piece {
        std::vector<std::uint8_t> bytes;
        std::uint32_t delay_ms;
    };
    struct Pending {
        std::vector<std::uint8_t> bytes;
        std::uint32_t delay_ms;
        std::vector<Piece> pieces;  // when not empty, used instead of bytes / delay_ms
    };
    std::vector<Pending> scripted;
    struct Arrival {
        std::uint64_t at_ms;
        std::vector<std::uint8_t> bytes;
        std::uint32_t extra_us = 0;  // arrives this long after at_ms
        std::uint64_t at_us() const { return at_ms * 1000 + extra_us; }
    };
    std::vector<Arrival> in_flight;
    std::vector<std::uint8_t> input;  // arrived, not yet taken

    void reset();
    void script_reply(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms = 5);
    void script_pieces(std::vector<Piece> pieces);
    void arrive_now(const std::vector<std::uint8_t>& bytes);
    // Bytes that arrive `delay_ms` from now, whatever is sent.
    void arrive_later(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms);

    // The bytes written since the last clear, without parity.
    std::vector<std::uint8_t> wire_values() const;
    void clear_log();
};

// The default recorder.
Recorder& recorder();
// The recorder of `path`, made on first use; opens of `path` are served by it from then on.
Recorder& recorder(const std::string& path);
// Drops every recorder of its own (the default one stays).
void forget_recorders();

// Builds a frame (LEN, payload, XOR) the way a reader answers.
std::vector<std::uint8_t> reply_frame(const std::vector<std::uint8_t>& payload);

}  // namespace tqrf::testing
