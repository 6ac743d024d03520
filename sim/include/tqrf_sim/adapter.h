// What sits between the simulated reader and the host: nothing (a plain serial line), a USB
// adapter that holds received bytes back as an FTDI chip does, a line that echoes every byte
// (a loopback plug, or crossed lines with no reader), or a device that answers with bytes that
// are no frame (another device, or a wrong line rate).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tqrf_sim/timing.h"

namespace tqrf_sim {

enum class AdapterKind : std::uint8_t {
    Direct,  // the reader's bytes reach the host as they cross the line
    Ftdi,    // held in the chip until 62 wait or its latency timer runs out
    Echo,    // every byte the host sends comes back; no reader behind the line
    Noise,   // every request is answered with bytes that are no frame
};

// An FTDI chip sends what it holds when this many bytes wait (a 64-byte USB packet less its
// two status bytes).
inline constexpr std::size_t kFtdiPacketData = 62;
inline constexpr std::chrono::milliseconds kFtdiDefaultLatency{16};

struct Adapter {
    AdapterKind kind = AdapterKind::Direct;
    // The FTDI latency timer: 1 to 255 ms (16 by default; 1 with the driver's low latency).
    std::chrono::milliseconds latency_timer = kFtdiDefaultLatency;
};

// "direct", "ftdi", "ftdi:MS", "echo" or "noise". Gives nothing and an explanation in `error`
// when the text names no adapter.
std::optional<Adapter> parse_adapter(std::string_view text, std::string* error = nullptr);
// The text parse_adapter() takes: "ftdi:16".
std::string adapter_name(const Adapter& adapter);

// The bytes a noise adapter sends for any request: no frame can begin with them (the length
// they announce is far beyond any reply), and they are never what a host sent.
std::span<const std::uint8_t> noise_reply();

// One handover of held bytes to the host: `count` bytes (the next ones in order) at `at`.
struct Delivery {
    Clock::time_point at;
    std::size_t count = 0;
};

// When an FTDI chip hands the bytes of a reply to the host. `arrived` holds the time each byte
// (in order) reached the chip from the line. The chip's latency timer runs freely from `epoch`
// (the adapter plugged in) and fires every `timer`: at each firing the chip sends what it
// holds; it sends at once when kFtdiPacketData bytes wait. Pure: tests check it exactly.
std::vector<Delivery> ftdi_deliveries(std::span<const Clock::time_point> arrived,
                                      Clock::time_point epoch, std::chrono::milliseconds timer);

}  // namespace tqrf_sim
