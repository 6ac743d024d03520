// COM port names, the same on every platform; the backend makes the path of a number.
#include "os/com_names.h"

#include <cstring>

#include "os/serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf::serial {

namespace {

// Room for the path of any COM port number on any backend ("\\.\COM999", "/dev/ttyS998").
constexpr std::size_t COM_PATH_ROOM = 32;

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

ComName parse_com_name(const char* name) {
    ComName out;
    if (name == nullptr || upper(name[0]) != 'C' || upper(name[1]) != 'O' ||
        upper(name[2]) != 'M' || name[3] == '\0') {
        return out;
    }
    std::int64_t value = 0;
    for (const char* p = name + 3; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return out;
        if (value <= INT32_MAX) value = value * 10 + (*p - '0');
    }
    out.is_com = true;
    out.number = value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
    return out;
}

std::int32_t com_port_path(std::int32_t number, char* out, std::size_t capacity) {
    if (number < 1 || number > TQRF_COM_PORT_MAX) return TQRF_ERR_BAD_ARGUMENT;
    char path[COM_PATH_ROOM];
    if (!device_path_for_port(number, path, sizeof path)) return TQRF_ERR_BAD_ARGUMENT;
    const std::size_t length = std::strlen(path);
    if (length + 1 > capacity) return TQRF_ERR_BUFFER_TOO_SMALL;
    std::memcpy(out, path, length + 1);
    return 0;
}

}  // namespace tqrf::serial

TQRF_API(int32_t) tqrf_com_port_path(const char* name, char* path, uint32_t capacity) {
    if (path == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    const tqrf::serial::ComName com = tqrf::serial::parse_com_name(name);
    if (!com.is_com) return TQRF_ERR_BAD_ARGUMENT;
    return tqrf::serial::com_port_path(com.number, path, capacity);
}
