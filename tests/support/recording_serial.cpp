#include "tests/support/recording_serial.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "os/line_wait.h"
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
        if (it->at_us() <= g_clock_us) {
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
    wire_done_us.clear();
    mode_at_us.clear();
    drain_wakeups.clear();
    calls = 0;
    wakeups = 0;
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
    LineMode in_force{};           // the mode last written (the backend skips writing it again)
    bool transmitter_idle = true;  // seen empty after the last write
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

constexpr std::uint32_t UART_CHARACTER_BITS = 11;
constexpr std::uint64_t DRAIN_POLL_US = 2'000;    // as the POSIX backend's
constexpr std::uint32_t LINE_CHARACTER_US = 573;  // 11 bits at 19200 baud, rounded up

std::uint32_t uart_character_us(const Recorder& rec) {
    return static_cast<std::uint32_t>(line_time_us(1, UART_CHARACTER_BITS, rec.uart_rate));
}

// The drain's operations on the modelled transmitter (os/line_wait.h).
struct DrainOps {
    Recorder* rec;
    std::uint32_t pending() const {
        // TIOCOUTQ, and on a UART TIOCSERGETLSR as well.
        rec->calls += rec->uart_rate != 0 ? 2 : 1;
        if (rec->uart_rate == 0 || rec->transmitter_busy_until_us <= testing::g_clock_us) return 0;
        const std::uint64_t left = rec->transmitter_busy_until_us - testing::g_clock_us;
        const std::uint32_t c = uart_character_us(*rec);
        return static_cast<std::uint32_t>((left + c - 1) / c);
    }
    std::uint64_t now() const { return testing::g_clock_us; }
    void sleep_until(std::uint64_t us) const {
        ++rec->calls;
        ++rec->wakeups;
        testing::advance_to(us);
    }
};

// The backend's drain after a write: returns true when the transmitter was seen empty.
bool drain(Device* device, std::uint32_t count) {
    Recorder& rec = *device->rec;
    DrainOps ops{&rec};
    const std::uint32_t before = rec.wakeups;
    const std::uint32_t c = rec.uart_rate != 0 ? uart_character_us(rec) : LINE_CHARACTER_US;
    const bool empty = drain_by_line_time(ops, c, DRAIN_POLL_US,
                                          testing::g_clock_us + 200'000 + 50'000ull * count);
    rec.drain_wakeups.push_back(rec.wakeups - before);
    device->transmitter_idle = empty;
    return empty;
}

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
    // The backend waits for a transmitter it has not seen empty, and writes only a change.
    if (!device->transmitter_idle) (void)drain(device, 0);
    // A change is one tcsetattr: glibc reads the settings before and after its TCSETS.
    if (!(*mode == device->in_force)) rec.calls += 3;
    device->in_force = *mode;
    rec.parity = testing::parity_letter(*mode);
    rec.mode_at_us.push_back(testing::g_clock_us);
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
    ++device->rec->calls;
    testing::deliver_due(*device->rec);
    device->rec->input.clear();
}

void purge_output(Device* device) {
    if (device == nullptr) return;
    device->rec->events.push_back("purge out");
    ++device->rec->calls;
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
    ++rec.calls;
    // The modelled UART sends each byte after the one before it.
    std::uint64_t sent = rec.transmitter_busy_until_us > testing::g_clock_us
                             ? rec.transmitter_busy_until_us
                             : testing::g_clock_us;
    for (std::uint32_t i = 0; i < n; ++i) {
        rec.wire.push_back({data[i], rec.parity});
        if (rec.uart_rate != 0) sent += uart_character_us(rec);
        rec.wire_done_us.push_back(sent);
    }
    rec.transmitter_busy_until_us = sent;
    // A complete request frame makes the reader answer with the next scripted reply.
    if (n == count && count > 1 && !rec.scripted.empty()) {
        auto reply = std::move(rec.scripted.front());
        rec.scripted.erase(rec.scripted.begin());
        // A reader that does not answer (no bytes) puts nothing on the line.
        if (reply.pieces.empty() && !reply.bytes.empty() && rec.reply_byte_us != 0) {
            for (std::size_t i = 0; i < reply.bytes.size(); ++i) {
                const auto after = static_cast<std::uint32_t>(rec.reply_byte_us * (i + 1));
                rec.in_flight.push_back({rec.now_ms + reply.delay_ms, {reply.bytes[i]}, after});
            }
        } else if (reply.pieces.empty() && !reply.bytes.empty()) {
            rec.in_flight.push_back({rec.now_ms + reply.delay_ms, std::move(reply.bytes)});
        }
        for (auto& piece : reply.pieces) {
            if (piece.bytes.empty()) continue;
            rec.in_flight.push_back({rec.now_ms + piece.delay_ms, std::move(piece.bytes)});
        }
    }
    (void)drain(device, n);
    return n;
}

std::uint32_t bytes_waiting(Device* device) {
    if (device == nullptr || gone(device)) return 0;
    ++device->rec->calls;
    testing::deliver_due(*device->rec);
    return static_cast<std::uint32_t>(device->rec->input.size());
}

namespace {

// The read's operations on the recorder's line (os/line_wait.h), costed as the POSIX backend's:
// a read, a poll (a wake-up when it has to wait), a sleep (a wake-up).
struct ReadOps {
    Device* device;

    std::uint32_t take(std::uint8_t* buffer, std::uint32_t max) const {
        if (gone(device)) return 0;
        Recorder& rec = *device->rec;
        ++rec.calls;
        testing::deliver_due(rec);
        std::uint32_t n = static_cast<std::uint32_t>(rec.input.size());
        if (n > max) n = max;
        if (n > 0) std::memcpy(buffer, rec.input.data(), n);
        rec.input.erase(rec.input.begin(), rec.input.begin() + n);
        rec.events.push_back("read " + std::to_string(n));
        return n;
    }
    bool await_input(std::uint64_t deadline_us) const {
        if (gone(device)) return false;
        Recorder& rec = *device->rec;
        const std::uint64_t now = testing::g_clock_us;
        rec.events.push_back("wait " + std::to_string(deadline_us > now ? deadline_us - now : 0));
        ++rec.calls;
        testing::deliver_due(rec);
        if (!rec.input.empty()) return true;
        ++rec.wakeups;
        // Time runs on to the next arrival that brings bytes, or to the deadline: an empty
        // one (a scripted reply of no bytes) wakes nobody, as silence on a line wakes nobody.
        std::uint64_t until = deadline_us > now ? deadline_us : now;
        for (const auto& a : rec.in_flight) {
            if (!a.bytes.empty() && a.at_us() < until) until = a.at_us();
        }
        testing::advance_to(until);
        testing::deliver_due(rec);
        return !rec.input.empty();
    }
    // The scripted replies come in pieces, not at the line rate: the sleep ends when the bytes
    // it waits for have come, as it does on a line whose bytes come at its rate.
    void sleep_until(std::uint64_t us, std::uint32_t bytes) const {
        Recorder& rec = *device->rec;
        ++rec.calls;
        ++rec.wakeups;
        testing::deliver_due(rec);
        std::size_t have = rec.input.size();
        std::uint64_t until = us;
        if (have >= bytes) {
            until = testing::g_clock_us;
        } else {
            std::vector<const Recorder::Arrival*> order;
            for (const auto& a : rec.in_flight) order.push_back(&a);
            std::sort(order.begin(), order.end(),
                      [](const auto* x, const auto* y) { return x->at_us() < y->at_us(); });
            for (const auto* a : order) {
                have += a->bytes.size();
                if (have >= bytes) {
                    if (a->at_us() < until) until = a->at_us();
                    break;
                }
            }
        }
        testing::advance_to(until);
    }
    std::uint64_t now() const { return testing::g_clock_us; }
    bool lost() const { return device->rec->lost_reported; }
};

}  // namespace

std::uint32_t read_bytes(Device* device, std::uint8_t* buffer, std::uint32_t at_least,
                         std::uint32_t at_most, std::uint64_t deadline_us, bool under_way) {
    if (device == nullptr || buffer == nullptr || gone(device)) return 0;
    ReadOps ops{device};
    return read_by_deadline(ops, buffer, at_least, at_most, deadline_us, under_way,
                            LINE_CHARACTER_US);
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
    auto note = [ms](Recorder& r) {
        r.events.push_back("pause " + std::to_string(ms));
        r.pauses.push_back(ms);
        ++r.calls;
        ++r.wakeups;
    };
    note(testing::g_recorder);
    for (auto& [path, r] : testing::g_own) note(*r);
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
