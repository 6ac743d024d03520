// What "COMn" opens on POSIX systems: COM1 is the first serial device, /dev/ttyS0, as Windows
// compatibility layers map it. Shared by the POSIX backend and the recording double in the
// tests; it only writes text.
#include <cstdio>

#include "os/serial.h"

namespace tqrf::serial {

bool device_path_for_port(int number, char* out, std::size_t capacity) {
    if (number < 1) return false;
    const int n = std::snprintf(out, capacity, "/dev/ttyS%d", number - 1);
    return n > 0 && static_cast<std::size_t>(n) < capacity;
}

}  // namespace tqrf::serial
