#include "state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace tqrf::gateway {

std::string default_state_dir() {
    if (const char* s = std::getenv("STATE_DIRECTORY"); s != nullptr && *s != '\0') {
        std::string dir = s;
        const auto colon = dir.find(':');  // systemd lists several with ':'
        return colon == std::string::npos ? dir : dir.substr(0, colon);
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.local/state/tqrf-gateway";
}

std::string make_dirs(const std::string& dir) {
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i == dir.size() || dir[i] == '/') {
            const std::string part = dir.substr(0, i);
            if (mkdir(part.c_str(), i == dir.size() ? 0700 : 0755) != 0 && errno != EEXIST) {
                return "cannot make " + part + ": " + std::strerror(errno);
            }
        }
    }
    return "";
}

Counter::Counter(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_);
    unsigned long long v = 0;
    if (in >> v) value_ = v;
}

std::uint64_t Counter::add(std::uint64_t n) {
    value_ += n;
    const std::string tmp = path_ + ".new";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const std::string text = std::to_string(value_) + "\n";
        const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        (void)::fsync(fd);
        ::close(fd);
        if (ok) (void)::rename(tmp.c_str(), path_.c_str());
    }
    return value_;
}

}  // namespace tqrf::gateway
