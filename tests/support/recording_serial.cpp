#include "tests/support/recording_serial.h"

#include <cstdio>
#include <cstring>

#include "link/mode_string.h"
#include "link/serial.h"

namespace tqrf::testing {

namespace {

Recorder g_recorder;

std::string hex_bytes(const std::uint8_t* data, std::uint32_t count) {
    std::string s;
    char buf[4];
    for (std::uint32_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", data[i]);
        s += buf;
    }
    return s;
}

char parity_letter(serial::Parity p) {
    switch (p) {
        case serial::Parity::Mark:
            return 'M';
        case serial::Parity::Space:
            return 'S';
        case serial::Parity::Even:
            return 'E';
        case serial::Parity::Odd:
            return 'O';
        default:
            return 'N';
    }
}

bool standard_rate(std::uint32_t rate) {
    static constexpr std::uint32_t rates[] = {110,   300,    600,    1200,   2400,
                                              4800,  9600,   14400,  19200,  38400,
                                              57600, 115200, 128000, 230400, 256000};
    for (std::uint32_t r : rates) {
        if (r == rate) return true;
    }
    return false;
}

// Moves replies whose time has come into the input queue.
void deliver_due(Recorder& r) {
    for (auto it = r.in_flight.begin(); it != r.in_flight.end();) {
        if (it->at_ms <= r.now_ms) {
            r.input.insert(r.input.end(), it->bytes.begin(), it->bytes.end());
            it = r.in_flight.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

Recorder& recorder() {
    return g_recorder;
}

void Recorder::reset() {
    *this = Recorder{};
}

void Recorder::script_reply(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms) {
    scripted.push_back({std::move(bytes), delay_ms});
}

void Recorder::arrive_now(const std::vector<std::uint8_t>& bytes) {
    input.insert(input.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> Recorder::wire_values() const {
    std::vector<std::uint8_t> v;
    for (const WireByte& b : wire) v.push_back(b.value);
    return v;
}

void Recorder::clear_log() {
    events.clear();
    opened_paths.clear();
    modes.clear();
    wire.clear();
    pauses.clear();
}

std::vector<std::uint8_t> reply_frame(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> f;
    f.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    f.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    f.insert(f.end(), payload.begin(), payload.end());
    std::uint8_t x = 0;
    for (std::uint8_t b : f) x ^= b;
    f.push_back(x);
    return f;
}

}  // namespace tqrf::testing

// The serial layer, played by the recorder.
namespace tqrf::serial {

struct Device {
    int unused;
};

namespace {
Device g_device;
}

using tqrf::testing::g_recorder;

bool device_path_for_port(int number, char* out, std::size_t capacity) {
    if (number < 1) return false;
    const int n = std::snprintf(out, capacity, "/dev/ttyS%d", number - 1);
    return n > 0 && static_cast<std::size_t>(n) < capacity;
}

Device* open_device(const char* path) {
    g_recorder.events.push_back(std::string("open ") + path);
    g_recorder.opened_paths.emplace_back(path);
    if (g_recorder.fail_open || g_recorder.open_device) {
        g_recorder.fail_open = false;
        return nullptr;
    }
    g_recorder.open_device = true;
    return &g_device;
}

void close_device(Device* device) {
    if (device == nullptr) return;
    g_recorder.events.push_back("close");
    g_recorder.open_device = false;
}

bool apply_mode(Device* device, const char* mode) {
    if (device == nullptr) return false;
    g_recorder.events.push_back(std::string("mode ") + mode);
    g_recorder.modes.emplace_back(mode);
    if (g_recorder.fail_mode_countdown == 0) {
        g_recorder.fail_mode_countdown = -1;
        return false;
    }
    if (g_recorder.fail_mode_countdown > 0) --g_recorder.fail_mode_countdown;
    LineMode parsed;
    if (!parse_mode_string(mode, &parsed) || !testing::standard_rate(parsed.rate)) return false;
    g_recorder.parity = testing::parity_letter(parsed.parity);
    return true;
}

bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    if (device == nullptr) return false;
    g_recorder.events.push_back("queues " + std::to_string(input_bytes) + " " +
                                std::to_string(output_bytes));
    return !g_recorder.fail_queues;
}

bool set_timeouts(Device* device) {
    if (device == nullptr) return false;
    g_recorder.events.push_back("timeouts");
    return true;
}

void purge_input(Device* device) {
    if (device == nullptr) return;
    g_recorder.events.push_back("purge in");
    testing::deliver_due(g_recorder);
    g_recorder.input.clear();
}

void purge_output(Device* device) {
    if (device == nullptr) return;
    g_recorder.events.push_back("purge out");
}

std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count) {
    if (device == nullptr) return 0;
    std::uint32_t n = count;
    if (g_recorder.short_write_countdown == 0) {
        g_recorder.short_write_countdown = -1;
        n = count > 0 ? count - 1 : 0;
    } else if (g_recorder.short_write_countdown > 0) {
        --g_recorder.short_write_countdown;
    }
    g_recorder.events.push_back("write " + testing::hex_bytes(data, n));
    for (std::uint32_t i = 0; i < n; ++i) g_recorder.wire.push_back({data[i], g_recorder.parity});
    // A complete request frame makes the reader answer with the next scripted reply.
    if (n == count && count > 1 && !g_recorder.scripted.empty()) {
        auto reply = std::move(g_recorder.scripted.front());
        g_recorder.scripted.erase(g_recorder.scripted.begin());
        g_recorder.in_flight.push_back(
            {g_recorder.now_ms + reply.delay_ms, std::move(reply.bytes)});
    }
    return n;
}

std::uint32_t bytes_waiting(Device* device) {
    if (device == nullptr) return 0;
    testing::deliver_due(g_recorder);
    return static_cast<std::uint32_t>(g_recorder.input.size());
}

std::uint32_t read_waiting(Device* device, std::uint8_t* buffer, std::uint32_t max) {
    if (device == nullptr) return 0;
    testing::deliver_due(g_recorder);
    std::uint32_t n = static_cast<std::uint32_t>(g_recorder.input.size());
    if (n > max) n = max;
    std::memcpy(buffer, g_recorder.input.data(), n);
    g_recorder.input.erase(g_recorder.input.begin(), g_recorder.input.begin() + n);
    g_recorder.events.push_back("read " + std::to_string(n));
    return n;
}

void pause_ms(std::uint32_t ms) {
    g_recorder.events.push_back("pause " + std::to_string(ms));
    g_recorder.pauses.push_back(ms);
    g_recorder.now_ms += ms;
}

}  // namespace tqrf::serial
