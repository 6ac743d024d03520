// What the conformance suite expects of the platform it runs on: the operating system's own
// error codes, the device path of a port number, and whether another program can read a file.
// One file per platform (platform_posix.cpp, platform_win32.cpp); the suite itself is written
// once, against os/serial.h.
#pragma once

#include <cstdint>
#include <string>

namespace tqrf::conformance {

struct Platform {
    const char* name;
    std::int32_t no_such_device;  // a path that names nothing
    std::int32_t no_memory;
    std::int32_t busy[2];  // a device another open holds (either code)
    std::int32_t gone[4];  // a device that went away (any of these)
    const char* com5_path;
};

const Platform& platform();

// A fresh path for a scratch file in the system's temporary folder.
std::string scratch_path(const char* stem);

// True when another program could open `path` for reading now (POSIX: its mode lets group or
// others read; Windows: a shared read open succeeds).
bool readable_by_others(const std::string& path);

void remove_file(const std::string& path);

}  // namespace tqrf::conformance
