#include "link/port.h"

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "link/link.h"
#include "link/wire.h"
#include "os/com_names.h"
#include "os/serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

int port_is_open() {
    tqrf_reader& reader = default_reader();
    ReaderLock lock(reader);
    return reader.device == nullptr ? TQRF_ERR_PORT_NOT_OPEN : 0;
}

int parse_port_number(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

namespace {

// Length of the prefix of a port name that is skipped ("COM").
constexpr std::size_t PORT_NAME_PREFIX = 3;
// Room for any device path the backends build from a port number.
constexpr std::size_t DEVICE_PATH_MAX = 64;

// The OS error of the calling thread's last failed tqrf_reader_open().
thread_local std::int32_t t_open_error = 0;

// Removes the first three characters of `name` in place, never looking past its terminator:
// a shorter name is left empty.
void drop_port_prefix(char* name) {
    std::size_t len = 0;
    while (len < PORT_NAME_PREFIX && name[len] != '\0') ++len;
    if (len < PORT_NAME_PREFIX) {
        name[0] = '\0';
        return;
    }
    std::memmove(name, name + PORT_NAME_PREFIX, std::strlen(name + PORT_NAME_PREFIX) + 1);
}

// Puts a freshly opened port into the resting line mode with its queues and time-outs.
int configure_port(serial::Device* device, bool check_timeouts) {
    // A mode the platform cannot express is not prepared; the switch to it fails below.
    (void)serial::prepare_link_modes(device, ADDRESS_MODE, FRAME_MODE);
    if (!serial::apply_mode(device, serial::LinkMode::Frame)) return TQRF_ERR_FAILED;
    if (!serial::set_queue_sizes(device, PORT_QUEUE_BYTES, PORT_QUEUE_BYTES))
        return TQRF_ERR_FAILED;
    // The legacy open does not examine this result.
    if (!serial::set_timeouts(device) && check_timeouts) return TQRF_ERR_FAILED;
    return 0;
}

// What the environment asks of the default reader: the reply mode (TQRF_REPLY) and a trace
// file (TQRF_TRACE) that shows keys only with TQRF_TRACE_KEYS=1. Read only when the port opens.
void apply_environment(tqrf_reader& reader) {
    reader.reply_mode = TQRF_REPLY_FIXED;
    reader.slack_ms = 0;
    if (const char* reply = std::getenv("TQRF_REPLY")) (void)apply_reply_setting(reader, reply);
    reader.settle_after_failure = reader.reply_mode == TQRF_REPLY_COMPLETE;
    const char* trace = std::getenv("TQRF_TRACE");
    if (trace != nullptr && *trace != '\0') reader.trace_file = serial::open_trace_file(trace);
    const char* keys = std::getenv("TQRF_TRACE_KEYS");
    reader.trace_keys = keys != nullptr && keys[0] == '1' && keys[1] == '\0';
}

// Notes in the default reader's trace file that the adapter's driver dropped mark or space
// parity: the legacy open keeps its result, and the reader will not answer.
void note_mark_space_dropped(tqrf_reader& reader) {
    if (reader.trace_file == nullptr) return;
    const std::uint64_t now = serial::now_us();
    char line[160];
    const int n = std::snprintf(line, sizeof line,
                                "%llu.%06llu note %s: the reader never sees its address byte\n",
                                static_cast<unsigned long long>(now / 1'000'000),
                                static_cast<unsigned long long>(now % 1'000'000),
                                tqrf_strerror(TQRF_ERR_PARITY_UNSUPPORTED));
    if (n > 0 && static_cast<std::size_t>(n) < sizeof line) {
        serial::append_trace(reader.trace_file, line, static_cast<std::size_t>(n));
    }
}

// Opens `path` (null when the port number names no device) on the default reader unless a
// port is open already. A failure in configuring leaves the port open and in use; the caller
// closes it with tqrf_exit.
int open_default(const char* path) {
    tqrf_reader& reader = default_reader();
    ReaderLock lock(reader);
    if (reader.device != nullptr) return TQRF_ERR_PORT_IN_USE;
    if (path == nullptr) return TQRF_ERR_PORT_OPEN_FAILED;
    serial::Device* device = serial::open_device(path);
    if (device == nullptr) return TQRF_ERR_PORT_OPEN_FAILED;
    reader.device = device;
    reader.lost = false;
    reader.settle = false;
    apply_environment(reader);
    const int result = configure_port(device, false);
    if (serial::mark_space_dropped(device)) note_mark_space_dropped(reader);
    return result;
}

// Composes "RATE,N,8,1" into `mode` (MODE_STRING_MAX bytes). False when it does not fit.
bool baud_mode(const char* rate, char* mode) {
    const std::size_t rate_len = std::strlen(rate);
    const std::size_t suffix_len = std::strlen(MODE_BAUD_SUFFIX);
    if (rate_len + suffix_len + 1 > MODE_STRING_MAX) return false;
    std::memcpy(mode, rate, rate_len);
    std::memcpy(mode + rate_len, MODE_BAUD_SUFFIX, suffix_len + 1);
    return true;
}

}  // namespace
}  // namespace tqrf

using namespace tqrf;

TQRF_API(int32_t) tqrf_init(char* port_name) {
    if (port_name == nullptr) return TQRF_ERR_FAILED;
    drop_port_prefix(port_name);
    const int number = parse_port_number(port_name);
    char path[DEVICE_PATH_MAX];
    const bool named = serial::com_port_path(number, path, sizeof path) == 0;
    return open_default(named ? path : nullptr);
}

TQRF_API(int32_t) tqrf_init_device(const char* device_path) {
    if (device_path == nullptr) return TQRF_ERR_FAILED;
    return open_default(device_path);
}

TQRF_API(int32_t) tqrf_exit(void) {
    tqrf_reader& reader = default_reader();
    ReaderLock lock(reader);
    if (reader.device == nullptr) return TQRF_ERR_FAILED;
    serial::close_device(reader.device);  // its result is not examined
    reader.device = nullptr;
    serial::close_trace_file(reader.trace_file);
    reader.trace_file = nullptr;
    return 0;
}

TQRF_API(int32_t) tqrf_BaudSetup(const char* rate) {
    tqrf_reader& reader = default_reader();
    ReaderLock lock(reader);
    if (reader.device == nullptr) return TQRF_ERR_PORT_NOT_OPEN;
    char mode[MODE_STRING_MAX];
    if (rate == nullptr || !baud_mode(rate, mode)) return TQRF_ERR_FAILED;
    if (!serial::apply_mode_text(reader.device, mode)) return TQRF_ERR_FAILED;
    return 0;
}

// ---- Reader handles ------------------------------------------------------------------------

TQRF_API(int32_t) tqrf_reader_open(const char* port, tqrf_reader** out) {
    if (out != nullptr) *out = nullptr;
    if (port == nullptr || out == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    // "COMn" opens the device of port n; any other text is a path, used as given.
    char mapped[DEVICE_PATH_MAX];
    const serial::ComName com = serial::parse_com_name(port);
    const char* path = com.is_com ? mapped : port;
    if (com.is_com && serial::com_port_path(com.number, mapped, sizeof mapped) != 0) {
        t_open_error = serial::os_error_code(serial::OsFailure::NoSuchDevice);
        return TQRF_ERR_PORT_OPEN_FAILED;
    }

    tqrf_reader* reader = new (std::nothrow) tqrf_reader;
    serial::Lock* lock = serial::make_lock();
    if (reader == nullptr || lock == nullptr) {
        delete reader;
        serial::free_lock(lock);
        t_open_error = serial::os_error_code(serial::OsFailure::NoMemory);
        return TQRF_ERR_FAILED;
    }
    std::int32_t error = 0;
    serial::Device* device = serial::open_device(path, &error);
    if (device == nullptr) {
        delete reader;
        serial::free_lock(lock);
        t_open_error = error;
        return TQRF_ERR_PORT_OPEN_FAILED;
    }
    // A port whose line cannot be set is closed again: nothing stays open on failure.
    if (const int configured = configure_port(device, true); configured != 0) {
        t_open_error = serial::last_error(device);
        serial::close_device(device);
        delete reader;
        serial::free_lock(lock);
        return configured;
    }
    // An adapter whose driver dropped mark or space parity never reaches the reader: said now,
    // not as silence later.
    if (serial::mark_space_dropped(device)) {
        t_open_error = 0;
        serial::close_device(device);
        delete reader;
        serial::free_lock(lock);
        return TQRF_ERR_PARITY_UNSUPPORTED;
    }
    reader->device = device;
    reader->lock = lock;
    reader->policy = tqrf::Policy::CHECKED;
    reader->settle_after_failure = true;
    reader->reply_mode = TQRF_REPLY_COMPLETE;
    t_open_error = 0;
    *out = reader;
    return 0;
}

TQRF_API(int32_t) tqrf_reader_close(tqrf_reader* r) {
    if (r == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    {
        ReaderLock lock(*r);
        serial::close_device(r->device);
        r->device = nullptr;
    }
    serial::free_lock(r->lock);
    delete r;
    return 0;
}

TQRF_API(int32_t) tqrf_reader_set_baud(tqrf_reader* r, uint32_t rate) {
    if (r == nullptr || rate == 0) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*r);
    if (r->lost) return TQRF_ERR_DEVICE_LOST;
    if (serial::apply_mode(r->device, serial::LineMode{rate, serial::Parity::None, 8, 10}))
        return 0;
    if (serial::device_lost(r->device)) {
        r->lost = true;
        return TQRF_ERR_DEVICE_LOST;
    }
    return TQRF_ERR_FAILED;
}

TQRF_API(int32_t) tqrf_reader_set_option(tqrf_reader* r, int32_t option, int32_t value) {
    if (r == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*r);
    switch (option) {
        case TQRF_OPTION_REPLY_MODE:
            if (value != TQRF_REPLY_FIXED && value != TQRF_REPLY_COMPLETE)
                return TQRF_ERR_BAD_ARGUMENT;
            r->reply_mode = value;
            return 0;
        case TQRF_OPTION_REPLY_SLACK_MS:
            if (value < 0 || value > static_cast<std::int32_t>(REPLY_SLACK_MAX_MS)) {
                return TQRF_ERR_BAD_ARGUMENT;
            }
            r->slack_ms = static_cast<std::uint32_t>(value);
            return 0;
        case TQRF_OPTION_ATTEMPTS:
            if (value < 1 || value > static_cast<std::int32_t>(ATTEMPTS_MAX)) {
                return TQRF_ERR_BAD_ARGUMENT;
            }
            r->attempts = static_cast<std::uint32_t>(value);
            return 0;
        default:
            return TQRF_ERR_BAD_ARGUMENT;
    }
}

TQRF_API(int32_t) tqrf_reader_get_option(tqrf_reader* r, int32_t option, int32_t* value) {
    if (r == nullptr || value == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*r);
    switch (option) {
        case TQRF_OPTION_REPLY_MODE:
            *value = r->reply_mode;
            return 0;
        case TQRF_OPTION_REPLY_SLACK_MS:
            *value = static_cast<std::int32_t>(r->slack_ms);
            return 0;
        case TQRF_OPTION_ATTEMPTS:
            *value = static_cast<std::int32_t>(r->attempts);
            return 0;
        default:
            return TQRF_ERR_BAD_ARGUMENT;
    }
}

TQRF_API(int32_t) tqrf_reader_get_stats(tqrf_reader* r, tqrf_reader_stats* stats) {
    // The caller's structure may be older (shorter) or newer (longer) than this library's:
    // fill what both know, never past the caller's size.
    constexpr std::uint32_t kLeast = offsetof(tqrf_reader_stats, retries);
    if (r == nullptr || stats == nullptr || stats->size < kLeast) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*r);
    tqrf_reader_stats copy = r->stats;
    const std::uint32_t size = stats->size;
    copy.size = size;
    std::memcpy(stats, &copy, size < sizeof copy ? size : sizeof copy);
    return 0;
}

TQRF_API(int32_t) tqrf_reader_set_trace(tqrf_reader* r, tqrf_trace_fn fn, void* user) {
    if (r == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*r);
    r->trace = fn;
    r->trace_user = fn != nullptr ? user : nullptr;
    return 0;
}

TQRF_API(int32_t) tqrf_reader_os_error(const tqrf_reader* r) {
    if (r == nullptr) return t_open_error;
    ReaderLock lock(*r);
    return serial::last_error(r->device);
}
