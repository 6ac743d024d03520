#include "tests/support/recording_serial.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "os/mode_string.h"
#include "os/serial.h"
#include "tests/support/hex.h"
#include "tqrf_sim/frame.h"

namespace tqrf::testing {

namespace {

Recorder g_recorder;
std::map<std::string, std::unique_ptr<Recorder>> g_own;
std::uint64_t g_clock_us = 0;

void sync_clocks() {
    auto set = [](Recorder& r) {
        r.now_us = g_clock_us;
        r.now_ms = g_clock_us / 1000;
    };
    set(g_recorder);
    for (auto& [path, r] : g_own) set(*r);
}

void advance_to(std::uint64_t us) {
    if (us > g_clock_us) g_clock_us = us;
    sync_clocks();
}

// The parity letter of `mode` as the serial layer writes it: "19200,S,8,1" gives 'S'.
char parity_letter(const serial::LineMode& mode) {
    char text[serial::MODE_TEXT_MAX];
    serial::format_mode(mode, text);
    const char* comma = std::strchr(text, ',');
    return comma != nullptr ? comma[1] : '?';
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
        if (it->at_ms * 1000 <= g_clock_us) {
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

Recorder& recorder(const std::string& path) {
    auto& slot = g_own[path];
    if (!slot) {
        slot = std::make_unique<Recorder>();
        sync_clocks();
    }
    return *slot;
}

void forget_recorders() {
    g_own.clear();
}

void Recorder::reset() {
    *this = Recorder{};
    g_clock_us = 0;
    sync_clocks();
}

void Recorder::script_reply(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms) {
    scripted.push_back({std::move(bytes), delay_ms, {}});
}

void Recorder::script_pieces(std::vector<Piece> pieces) {
    scripted.push_back({{}, 0, std::move(pieces)});
}

void Recorder::arrive_now(const std::vector<std::uint8_t>& bytes) {
    input.insert(input.end(), bytes.begin(), bytes.end());
}

void Recorder::arrive_later(std::vector<std::uint8_t> bytes, std::uint32_t delay_ms) {
    in_flight.push_back({g_clock_us / 1000 + delay_ms, std::move(bytes)});
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
    return tqrf_sim::encode_frame(payload);
}

}  // namespace tqrf::testing

// The serial layer, played by the recorders.
namespace tqrf::serial {

using tqrf::testing::Recorder;

struct Device {
    Recorder* rec;
    LineMode link[2]{};
    bool link_ready[2]{};
};

struct TraceFile {
    std::FILE* file;
};

namespace {

Recorder* recorder_of(const char* path) {
    const auto it = testing::g_own.find(path);
    return it != testing::g_own.end() ? it->second.get() : &testing::g_recorder;
}

// A device that has disappeared fails every call; the first failure tells the library.
bool gone(Device* device) {
    if (!device->rec->gone) return false;
    device->rec->lost_reported = true;
    return true;
}

}  // namespace

Device* open_device(const char* path, std::int32_t* os_error) {
    Recorder& rec = *recorder_of(path);
    rec.events.push_back(std::string("open ") + path);
    rec.opened_paths.emplace_back(path);
    if (rec.fail_open || rec.open_device) {
        if (os_error != nullptr) *os_error = rec.fail_open ? rec.open_error : EBUSY;
        rec.fail_open = false;
        return nullptr;
    }
    rec.open_device = true;
    return new Device{&rec};
}

void close_device(Device* device) {
    if (device == nullptr) return;
    device->rec->events.push_back("close");
    device->rec->open_device = false;
    delete device;
}

namespace {

// A mode change as the library asked for it: `text` as it reached the serial layer, `mode` its
// reading (null when the text reads as no mode).
bool change_mode(Device* device, const char* text, const LineMode* mode) {
    if (device == nullptr) return false;
    Recorder& rec = *device->rec;
    rec.events.push_back(std::string("mode ") + text);
    rec.modes.emplace_back(text);
    if (gone(device)) return false;
    if (rec.fail_mode_countdown == 0) {
        rec.fail_mode_countdown = -1;
        return false;
    }
    if (rec.fail_mode_countdown > 0) --rec.fail_mode_countdown;
    if (mode == nullptr || !testing::standard_rate(mode->rate)) return false;
    rec.parity = testing::parity_letter(*mode);
    return true;
}

bool change_mode(Device* device, const LineMode& mode) {
    char text[MODE_TEXT_MAX];
    format_mode(mode, text);
    return change_mode(device, text, &mode);
}

}  // namespace

bool prepare_link_modes(Device* device, const LineMode& address, const LineMode& frame) {
    if (device == nullptr) return false;
    device->link[0] = address;
    device->link[1] = frame;
    device->link_ready[0] = device->link_ready[1] = true;
    return true;
}

bool apply_mode(Device* device, LinkMode mode) {
    const auto i = static_cast<std::size_t>(mode);
    if (device == nullptr || i > 1 || !device->link_ready[i]) return false;
    return change_mode(device, device->link[i]);
}

bool apply_mode(Device* device, const LineMode& mode) {
    return change_mode(device, mode);
}

bool apply_mode_text(Device* device, const char* text) {
    LineMode mode;
    const bool read = parse_mode_string(text, &mode);
    return change_mode(device, text, read ? &mode : nullptr);
}

bool set_queue_sizes(Device* device, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    if (device == nullptr) return false;
    device->rec->events.push_back("queues " + std::to_string(input_bytes) + " " +
                                  std::to_string(output_bytes));
    return !device->rec->fail_queues;
}

bool set_timeouts(Device* device) {
    if (device == nullptr) return false;
    device->rec->events.push_back("timeouts");
    return true;
}

void purge_input(Device* device) {
    if (device == nullptr) return;
    device->rec->events.push_back("purge in");
    testing::deliver_due(*device->rec);
    device->rec->input.clear();
}

void purge_output(Device* device) {
    if (device == nullptr) return;
    device->rec->events.push_back("purge out");
}

std::uint32_t write_bytes(Device* device, const std::uint8_t* data, std::uint32_t count) {
    if (device == nullptr) return 0;
    Recorder& rec = *device->rec;
    if (gone(device)) {
        rec.events.push_back("write failed");
        return 0;
    }
    std::uint32_t n = count;
    if (rec.short_write_countdown == 0) {
        rec.short_write_countdown = -1;
        n = count > 0 ? count - 1 : 0;
    } else if (rec.short_write_countdown > 0) {
        --rec.short_write_countdown;
    }
    rec.events.push_back("write " + testing::hex_bytes(data, n));
    for (std::uint32_t i = 0; i < n; ++i) rec.wire.push_back({data[i], rec.parity});
    // A complete request frame makes the reader answer with the next scripted reply.
    if (n == count && count > 1 && !rec.scripted.empty()) {
        auto reply = std::move(rec.scripted.front());
        rec.scripted.erase(rec.scripted.begin());
        // A reader that does not answer (no bytes) puts nothing on the line.
        if (reply.pieces.empty() && !reply.bytes.empty()) {
            rec.in_flight.push_back({rec.now_ms + reply.delay_ms, std::move(reply.bytes)});
        }
        for (auto& piece : reply.pieces) {
            if (piece.bytes.empty()) continue;
            rec.in_flight.push_back({rec.now_ms + piece.delay_ms, std::move(piece.bytes)});
        }
    }
    return n;
}

std::uint32_t bytes_waiting(Device* device) {
    if (device == nullptr || gone(device)) return 0;
    testing::deliver_due(*device->rec);
    return static_cast<std::uint32_t>(device->rec->input.size());
}

std::uint32_t read_waiting(Device* device, std::uint8_t* buffer, std::uint32_t max) {
    if (device == nullptr || gone(device)) return 0;
    Recorder& rec = *device->rec;
    testing::deliver_due(rec);
    std::uint32_t n = static_cast<std::uint32_t>(rec.input.size());
    if (n > max) n = max;
    std::memcpy(buffer, rec.input.data(), n);
    rec.input.erase(rec.input.begin(), rec.input.begin() + n);
    rec.events.push_back("read " + std::to_string(n));
    return n;
}

Wait wait_readable(Device* device, std::uint32_t timeout_us) {
    if (device == nullptr || gone(device)) return Wait::Lost;
    Recorder& rec = *device->rec;
    rec.events.push_back("wait " + std::to_string(timeout_us));
    testing::deliver_due(rec);
    if (!rec.input.empty()) return Wait::Ready;
    // Time runs on to the next arrival, or to the end of the wait.
    std::uint64_t until = testing::g_clock_us + timeout_us;
    for (const auto& a : rec.in_flight) {
        if (a.at_ms * 1000 < until) until = a.at_ms * 1000;
    }
    testing::advance_to(until);
    testing::deliver_due(rec);
    return rec.input.empty() ? Wait::Timeout : Wait::Ready;
}

bool mark_space_dropped(const Device* device) {
    return device != nullptr && device->rec->drops_mark_space && device->link_ready[1];
}

LowLatency low_latency(const Device* device) {
    return device == nullptr ? LowLatency::Unknown : device->rec->low_latency;
}

bool device_lost(const Device* device) {
    return device != nullptr && device->rec->lost_reported;
}

std::int32_t last_error(const Device* device) {
    return device != nullptr && device->rec->lost_reported ? EIO : 0;
}

std::int32_t os_error_code(OsFailure failure) {
    return failure == OsFailure::NoMemory ? ENOMEM : ENOENT;
}

void pause_ms(std::uint32_t ms) {
    testing::g_recorder.events.push_back("pause " + std::to_string(ms));
    testing::g_recorder.pauses.push_back(ms);
    for (auto& [path, r] : testing::g_own) {
        r->events.push_back("pause " + std::to_string(ms));
        r->pauses.push_back(ms);
    }
    testing::advance_to(testing::g_clock_us + std::uint64_t{ms} * 1000);
}

std::uint64_t now_us() {
    return testing::g_clock_us;
}

TraceFile* open_trace_file(const char* path) {
    std::FILE* f = std::fopen(path, "a");
    return f == nullptr ? nullptr : new TraceFile{f};
}

void append_trace(TraceFile* file, const char* text, std::size_t count) {
    if (file == nullptr) return;
    std::fwrite(text, 1, count, file->file);
    std::fflush(file->file);
}

void close_trace_file(TraceFile* file) {
    if (file == nullptr) return;
    std::fclose(file->file);
    delete file;
}

}  // namespace tqrf::serial
