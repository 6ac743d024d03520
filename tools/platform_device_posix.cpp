#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform_device.h"

namespace tqrf::tool::device {

namespace {

std::string mode_text(mode_t m) {
    std::string s = S_ISCHR(m) ? "c" : S_ISDIR(m) ? "d" : S_ISREG(m) ? "-" : "?";
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) s += (m & (0400u >> i)) != 0 ? rwx[i] : '-';
    return s;
}

// Whether the user `me` is in the group `name`: in this session (its group ids) or in the
// group database (from the next login on).
bool in_group_named(const char* name, const std::string& me, const gid_t* ids, int n) {
    std::vector<char> buf(16384);
    group gr{};
    group* grp = nullptr;
    if (::getgrnam_r(name, &gr, buf.data(), buf.size(), &grp) != 0 || grp == nullptr) {
        return false;
    }
    if (::getegid() == grp->gr_gid) return true;
    for (int i = 0; i < n; ++i) {
        if (ids[i] == grp->gr_gid) return true;
    }
    for (char** m = grp->gr_mem; m != nullptr && *m != nullptr; ++m) {
        if (me == *m) return true;
    }
    return false;
}

}  // namespace

Access check(const std::string& path) {
    Access a;
    a.checked = true;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        a.os_error = errno;
        return a;
    }
    a.resolved = resolved;
    struct stat st {};
    if (::stat(resolved, &st) != 0) {
        a.os_error = errno;
        return a;
    }
    a.exists = true;
    a.character_device = S_ISCHR(st.st_mode);
    a.pseudo_terminal = a.resolved.rfind("/dev/pts/", 0) == 0;
    a.may_open = ::access(resolved, R_OK | W_OK) == 0;
    a.mode = mode_text(st.st_mode);
    a.group_read_write = (st.st_mode & S_IRGRP) != 0 && (st.st_mode & S_IWGRP) != 0;
    a.owner_read_write = (st.st_mode & S_IRUSR) != 0 && (st.st_mode & S_IWUSR) != 0;
    a.is_owner = ::geteuid() == st.st_uid;
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* pwp = nullptr;
    if (::getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &pwp) == 0 && pwp != nullptr) {
        a.owner = pw.pw_name;
    } else {
        a.owner = std::to_string(st.st_uid);
    }
    group gr{};
    group* grp = nullptr;
    if (::getgrgid_r(st.st_gid, &gr, buf.data(), buf.size(), &grp) == 0 && grp != nullptr) {
        a.group = gr.gr_name;
        const std::string me = user_name();
        for (char** m = gr.gr_mem; m != nullptr && *m != nullptr; ++m) {
            if (me == *m) a.in_group = true;
        }
    } else {
        a.group = std::to_string(st.st_gid);
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(NGROUPS_MAX) + 1);
    const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < n; ++i) {
        if (groups[static_cast<std::size_t>(i)] == st.st_gid) a.in_group_now = true;
    }
    if (::getegid() == st.st_gid) a.in_group_now = true;
    if (a.in_group_now) a.in_group = true;
    a.in_grant_group = in_group_named(kGrantGroup, user_name(), groups.data(), n);
    return a;
}

std::string user_name() {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* pwp = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &pwp) == 0 && pwp != nullptr) {
        return pw.pw_name;
    }
    const char* env = std::getenv("USER");
    return env != nullptr ? env : "";
}

}  // namespace tqrf::tool::device
