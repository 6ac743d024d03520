// Serial ports on Linux, read from sysfs.
#include <cerrno>

#include "link/ports.h"
#include "tq_RWD_DLL.h"

namespace tqrf::ports {

bool list_platform_ports(std::vector<PortEntry>& out) {
    (void)out;
    return true;
}

std::int32_t open_failure_outcome(std::int32_t os_error) {
    switch (os_error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return TQRF_PROBE_MISSING;
        case EACCES:
        case EPERM:
            return TQRF_PROBE_NO_PERMISSION;
        case EBUSY:
            return TQRF_PROBE_BUSY;
        case ENOTTY:
            return TQRF_PROBE_NOT_SERIAL;
        default:
            return TQRF_PROBE_OPEN_FAILED;
    }
}

}  // namespace tqrf::ports
