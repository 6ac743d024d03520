#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "replace_file.h"

namespace tqrf::files {

int replace_file(const std::string& path, std::string_view bytes) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string temp_name = (folder == "/" ? "" : folder) + "/." + base + ".tmp-XXXXXX";
    std::vector<char> temp(temp_name.begin(), temp_name.end());
    temp.push_back('\0');
    const int fd = ::mkstemp(temp.data());  // created readable and writable by its owner only
    if (fd < 0) return errno;
    auto give_up = [&](int error) {
        ::close(fd);
        ::unlink(temp.data());
        return error;
    };
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        if (::fchmod(fd, old.st_mode & 07777) != 0) return give_up(errno);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return give_up(errno);
        }
        if (n == 0) return give_up(EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) return give_up(errno);
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.data());
        return e;
    }
    if (::rename(temp.data(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.data());
        return e;
    }
    return 0;
}

std::string error_text(int error) {
    return std::strerror(error);
}

}  // namespace tqrf::files
