#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tests/conformance/platform.h"

namespace tqrf::conformance {

const Platform& platform() {
    static const Platform p{"POSIX",     ENOENT, ENOMEM, {EBUSY, EBUSY}, {EIO, ENXIO, ENODEV, EIO},
                            "/dev/ttyS4"};
    return p;
}

std::string scratch_path(const char* stem) {
    return "/tmp/" + std::string(stem) + "-" + std::to_string(getpid());
}

bool readable_by_others(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

void remove_file(const std::string& path) {
    (void)std::remove(path.c_str());
}

}  // namespace tqrf::conformance
