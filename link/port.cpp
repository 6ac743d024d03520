#include "link/port.h"

#include <climits>
#include <cstring>

#include "link/serial.h"
#include "link/wire.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

serial::Device* port_handle = nullptr;

int port_is_open() {
    return port_handle == nullptr ? ERR_PORT_NOT_OPEN : 0;
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

// Puts a freshly opened port into the resting line mode with its queues and time-outs. A
// failure leaves the port open and in use; the caller closes it with tqrf_exit.
int configure_port() {
    if (!serial::apply_mode(port_handle, MODE_FRAME)) return ERR_FAILED;
    if (!serial::set_queue_sizes(port_handle, PORT_QUEUE_BYTES, PORT_QUEUE_BYTES)) {
        return ERR_FAILED;
    }
    (void)serial::set_timeouts(port_handle);  // its result is not examined
    return 0;
}

// Opens `path` (null when the port number names no device) unless a port is open already.
int open_and_configure(const char* path) {
    if (port_handle != nullptr) return ERR_PORT_IN_USE;
    if (path == nullptr) return ERR_PORT_OPEN_FAILED;
    serial::Device* device = serial::open_device(path);
    if (device == nullptr) return ERR_PORT_OPEN_FAILED;
    port_handle = device;
    return configure_port();
}

}  // namespace
}  // namespace tqrf

using namespace tqrf;

TQRF_API(int32_t) tqrf_init(char* port_name) {
    if (port_name == nullptr) return ERR_FAILED;
    drop_port_prefix(port_name);
    const int number = parse_port_number(port_name);
    char path[DEVICE_PATH_MAX];
    const bool named = serial::device_path_for_port(number, path, sizeof path);
    return open_and_configure(named ? path : nullptr);
}

TQRF_API(int32_t) tqrf_init_device(const char* device_path) {
    if (device_path == nullptr) return ERR_FAILED;
    return open_and_configure(device_path);
}

TQRF_API(int32_t) tqrf_exit(void) {
    if (port_handle == nullptr) return ERR_FAILED;
    serial::close_device(port_handle);  // its result is not examined
    port_handle = nullptr;
    return 0;
}

TQRF_API(int32_t) tqrf_BaudSetup(const char* rate) {
    if (const int closed = port_is_open()) return closed;
    if (rate == nullptr) return ERR_FAILED;
    char mode[MODE_STRING_MAX];
    const std::size_t rate_len = std::strlen(rate);
    const std::size_t suffix_len = std::strlen(MODE_BAUD_SUFFIX);
    if (rate_len + suffix_len + 1 > sizeof mode) return ERR_FAILED;
    std::memcpy(mode, rate, rate_len);
    std::memcpy(mode + rate_len, MODE_BAUD_SUFFIX, suffix_len + 1);
    if (!serial::apply_mode(port_handle, mode)) return ERR_FAILED;
    return 0;
}
