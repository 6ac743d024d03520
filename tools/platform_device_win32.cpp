// Windows: a COM port has no owner or mode to show; the open itself says whether it is free.
#include <cstdlib>

#include "platform_device.h"

namespace tqrf::tool::device {

Access check(const std::string& path) {
    Access a;
    a.resolved = path;
    return a;
}

std::string user_name() {
    const char* env = std::getenv("USERNAME");
    return env != nullptr ? env : "";
}

}  // namespace tqrf::tool::device
