// What the doctor asks of the operating system about a device: whether it exists, what it
// resolves to, and who may open it. platform_device_posix.cpp and platform_device_win32.cpp
// implement it; CMake compiles the one of the target system.
#pragma once

#include <string>

namespace tqrf::tool::device {

struct Access {
    bool checked = false;  // false where the system has no such notion (Windows)
    bool exists = false;
    int os_error = 0;      // why it could not be looked at
    std::string resolved;  // the path with every symlink followed
    bool character_device = false;
    bool pseudo_terminal = false;
    bool may_open = false;  // this user may read and write it
    std::string owner;      // user and group that own it, and its mode ("crw-rw----")
    std::string group;
    std::string mode;
    bool group_read_write = false;  // the owning group may read and write it
    bool in_group = false;          // this user is in that group (now, or after logging in)
    bool in_group_now = false;      // ... in this session already
    bool is_owner = false;          // this user owns it
    bool owner_read_write = false;  // its owner may read and write it
    bool in_grant_group = false;    // this user is in kGrantGroup (now, or after logging in)
};

// The group a udev rule gives a serial device to, as Debian and Ubuntu do for theirs.
inline constexpr const char* kGrantGroup = "dialout";

Access check(const std::string& path);

// The user running the tool.
std::string user_name();

}  // namespace tqrf::tool::device
