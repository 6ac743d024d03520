// The tool's operating system layer on POSIX systems (platform.h).
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <span>
#include <vector>

#include "errors.h"
#include "platform.h"
#include "tqrf_sim/simulator.h"

namespace tqrf::tool::platform {

void init_process() {
    std::signal(SIGXFSZ, SIG_IGN);
}

std::string error_text(int code) {
    return std::strerror(code);
}

const char* port_help() {
    return "The reader's port: COM3 (COMn opens /dev/ttyS(n-1)) or a device path such as "
           "/dev/ttyUSB0, or auto (the one reader on the listed ports: tqrf ports --probe); "
           "repeatable for scan and watch. Default: $TQRF_PORT";
}

OpenProblem open_problem(int os_error) {
    switch (os_error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return OpenProblem::Missing;
        case EACCES:
        case EPERM:
            return OpenProblem::Denied;
        case EBUSY:
        case EAGAIN:
            return OpenProblem::Busy;
        case ENOTTY:
            return OpenProblem::NotSerial;
        case EISDIR:
            return OpenProblem::Directory;
        default:
            return OpenProblem::Other;
    }
}

std::string list_ports_hint() {
    return "List the serial ports and what answers on each with: tqrf ports --probe";
}

std::string permission_hint() {
    return "Add yourself to the group that owns it (usually dialout): sudo usermod -aG dialout "
           "$USER, then log in again";
}

std::string busy_hint(const std::string& device) {
    return "find it with: fuser " + device;
}

PathKind path_kind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return PathKind::Missing;
    if (S_ISDIR(st.st_mode)) return PathKind::Directory;
    if (S_ISREG(st.st_mode)) return PathKind::File;
    return PathKind::Other;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

ReadStatus read_file(const std::string& path, std::size_t max_bytes, std::string& out,
                     int& os_error) {
    out.clear();
    os_error = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        os_error = errno;
        return os_error == EISDIR ? ReadStatus::Directory : ReadStatus::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return ReadStatus::Directory;
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            os_error = errno;
            ::close(fd);
            return os_error == EISDIR ? ReadStatus::Directory : ReadStatus::Failed;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
        if (out.size() > max_bytes) {
            ::close(fd);
            return ReadStatus::TooLarge;
        }
    }
    ::close(fd);
    return ReadStatus::Ok;
}

bool stderr_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::tm local_time(std::time_t t, int& utc_offset_minutes) {
    std::tm tm{};
    localtime_r(&t, &tm);
    utc_offset_minutes = static_cast<int>(tm.tm_gmtoff / 60);
    return tm;
}

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

// Every thread started from now on, the simulator's too, inherits the blocked stop signals and
// leaves them to sigtimedwait in wait().
StopRequest::StopRequest() {
    const sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// The signals stay blocked: a stop that arrives while the command winds down must not kill the
// process before it has reported what it did.
StopRequest::~StopRequest() = default;

bool StopRequest::wait(std::chrono::milliseconds most) {
    const sigset_t set = stop_signals();
    const auto ms = std::max<std::chrono::milliseconds::rep>(most.count(), 0);
    const timespec tick{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    return sigtimedwait(&set, nullptr, &tick) >= 0;
}

namespace {

const char* sim_status_name(int status) {
    if (status < 0x11 || status > 0x1B) return nullptr;
    return tqrf_sim::status_name(static_cast<tqrf_sim::Status>(status));
}

class PtySimulatedReader : public SimulatedReader {
  public:
    explicit PtySimulatedReader(std::span<const std::uint8_t> image) {
        tqrf_sim::SimulatorOptions opts;
        opts.default_card = false;
        sim_ = std::make_unique<tqrf_sim::Simulator>(opts);
        sim_->place_card(image);
        sim_->start();
    }
    std::string port() const override { return sim_->slave_path(); }

  private:
    std::unique_ptr<tqrf_sim::Simulator> sim_;
};

}  // namespace

std::unique_ptr<SimulatedReader> start_simulated_reader(const unsigned char* image,
                                                        std::size_t size) {
    set_status_namer(&sim_status_name);
    try {
        return std::make_unique<PtySimulatedReader>(std::span<const std::uint8_t>(image, size));
    } catch (const std::exception& e) {
        throw CommandError("open_failed",
                           std::string("cannot start the simulated reader: ") + e.what());
    }
}

}  // namespace tqrf::tool::platform
