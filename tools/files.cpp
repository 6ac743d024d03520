#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "errors.h"

namespace tqrf::tool {

namespace {

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

[[noreturn]] void write_failed(const std::string& path, int error) {
    throw CommandError("write_failed", "cannot write " + path + ": " + std::strerror(error) +
                                           " (the file was left as it was)");
}

}  // namespace

std::string read_input_file(const std::string& path, const char* what, std::size_t max_bytes) {
    const std::string name = std::string(what) + " " + path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EISDIR) throw usage_error("cannot read " + name + ": it is a directory");
        throw usage_error("cannot read " + name + ": " + std::strerror(e));
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw usage_error("cannot read " + name + ": it is a directory");
    }
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            ::close(fd);
            if (e == EISDIR) throw usage_error("cannot read " + name + ": it is a directory");
            throw usage_error("cannot read " + name + ": " + std::strerror(e));
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > max_bytes) {
            ::close(fd);
            throw usage_error("cannot read " + name + ": larger than any " + what + " (" +
                              std::to_string(max_bytes) + " bytes)");
        }
    }
    ::close(fd);
    return out;
}

void check_output_path(const std::string& path) {
    struct stat st {};
    if (path.empty()) throw usage_error("the output file name is empty");
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw usage_error("cannot write " + path + ": it is a directory");
    }
    const std::string folder = folder_of(path);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw usage_error("cannot write " + path + ": the folder " + folder + " does not exist");
    }
}

void write_file_atomically(const std::string& path, std::string_view bytes) {
    const std::string folder = folder_of(path);
    std::string temp_name = folder + "/." + base_of(path) + ".tmp-XXXXXX";
    std::vector<char> temp(temp_name.begin(), temp_name.end());
    temp.push_back('\0');
    const int fd = ::mkstemp(temp.data());  // created readable and writable by its owner only
    if (fd < 0) write_failed(path, errno);
    auto give_up = [&](int error) {
        ::close(fd);
        ::unlink(temp.data());
        write_failed(path, error);
    };
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        if (::fchmod(fd, old.st_mode & 07777) != 0) give_up(errno);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            give_up(errno);
        }
        if (n == 0) give_up(EIO);
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) give_up(errno);
    if (::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.data());
        write_failed(path, e);
    }
    if (::rename(temp.data(), path.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp.data());
        write_failed(path, e);
    }
}

}  // namespace tqrf::tool
