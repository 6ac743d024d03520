// The tool's operating system layer on Windows (platform.h).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "errors.h"
#include "platform.h"

namespace tqrf::tool::platform {

namespace {

// Paths come from the command line in the ANSI code page; the wide API takes every name the
// file system allows.
std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool vt_on_stderr = false;  // escape sequences work on the console of standard error

}  // namespace

void init_process() {
    // No "insert a disk" or "cannot open" dialog boxes from a console program.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The progress line clears itself with an escape sequence: turned on where the console
    // knows them (Windows 10 and later).
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (err != INVALID_HANDLE_VALUE && err != nullptr && GetConsoleMode(err, &mode) != 0) {
        constexpr DWORD kVirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
        vt_on_stderr =
            (mode & kVirtualTerminal) != 0 || SetConsoleMode(err, mode | kVirtualTerminal) != 0;
    }
}

std::string error_text(int code) {
    char buf[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    // One line, without the closing full stop: it is put into a sentence of the tool's.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' ||
                             text.back() == '.')) {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    if (text.empty()) text = "Windows error " + std::to_string(static_cast<unsigned long>(code));
    return text;
}

const char* port_help() {
    return "The reader's port: COM3, or a device path such as \\\\.\\COM12, or auto (the one "
           "reader on the listed ports: tqrf ports --probe); repeatable for scan and watch. "
           "Default: %TQRF_PORT%";
}

OpenProblem open_problem(int os_error) {
    switch (static_cast<DWORD>(os_error)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_NOT_CONNECTED:
            return OpenProblem::Missing;
        // A serial port that another program holds open refuses access: no more is known.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
        case ERROR_DEVICE_IN_USE:
            return OpenProblem::Busy;
        case ERROR_PRIVILEGE_NOT_HELD:
            return OpenProblem::Denied;
        case ERROR_DIRECTORY:
            return OpenProblem::Directory;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return OpenProblem::NotSerial;
        default:
            return OpenProblem::Other;
    }
}

std::string list_ports_hint() {
    return "List the serial ports and what answers on each with: tqrf ports --probe (the Device "
           "Manager lists them under \"Ports (COM & LPT)\")";
}

std::string permission_hint() {
    return "Ask an administrator for access to the port";
}

std::string busy_hint(const std::string&) {
    return "close the other terminal program or tqrf that uses it, then try again";
}

PathKind path_kind(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PathKind::Directory;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PathKind::Other;
    return PathKind::File;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        // "C:name" is in the current folder of drive C.
        if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2) + ".";
        return ".";
    }
    // The root of a drive or of the current drive keeps its separator.
    if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

namespace {

// Closes a handle when it goes out of scope.
struct HandleGuard {
    HANDLE h;
    ~HandleGuard() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    void close() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
};

}  // namespace

ReadStatus read_file(const std::string& path, std::size_t max_bytes, std::string& out,
                     int& os_error) {
    out.clear();
    os_error = 0;
    if (path_kind(path) == PathKind::Directory) return ReadStatus::Directory;
    HandleGuard file{CreateFileW(wide(path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (file.h == INVALID_HANDLE_VALUE) {
        os_error = static_cast<int>(GetLastError());
        return ReadStatus::Failed;
    }
    char buf[4096];
    for (;;) {
        DWORD n = 0;
        if (ReadFile(file.h, buf, sizeof buf, &n, nullptr) == 0) {
            os_error = static_cast<int>(GetLastError());
            return ReadStatus::Failed;
        }
        if (n == 0) break;
        out.append(buf, n);
        if (out.size() > max_bytes) return ReadStatus::TooLarge;
    }
    return ReadStatus::Ok;
}

bool stderr_is_terminal() {
    return vt_on_stderr;
}

namespace {

// Days since 1970-01-01 of a civil date.
long long days_from_civil(long long y, unsigned m, unsigned d) {
    using namespace std::chrono;
    return sys_days{year{static_cast<int>(y)} / month{m} / day{d}}.time_since_epoch().count();
}

long long seconds_of(const std::tm& tm) {
    return days_from_civil(tm.tm_year + 1900LL, static_cast<unsigned>(tm.tm_mon + 1),
                           static_cast<unsigned>(tm.tm_mday)) *
               86400 +
           tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
}

}  // namespace

std::tm local_time(std::time_t t, int& utc_offset_minutes) {
    std::tm local{};
    std::tm utc{};
    utc_offset_minutes = 0;
    if (localtime_s(&local, &t) != 0) return local;
    if (gmtime_s(&utc, &t) == 0) {
        utc_offset_minutes = static_cast<int>((seconds_of(local) - seconds_of(utc)) / 60);
    }
    return local;
}

namespace {

// Set by Ctrl-C, Ctrl-Break or closing the console; never reset: one stop ends the command.
HANDLE stop_event() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}
// Set once the command has wound down after a stop.
HANDLE done_event() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            SetEvent(stop_event());
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // Windows ends the process when this returns: give the command a moment (Windows
            // allows a few seconds) to close its readers and report.
            SetEvent(stop_event());
            WaitForSingleObject(done_event(), 3000);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

StopRequest::StopRequest() {
    (void)stop_event();
    (void)done_event();
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

// The handler stays: a second Ctrl-C while the command winds down must not end the process
// before it has reported what it did.
StopRequest::~StopRequest() {
    SetEvent(done_event());
}

bool StopRequest::wait(std::chrono::milliseconds most) {
    const auto ms = std::clamp<std::chrono::milliseconds::rep>(most.count(), 0, 0x7FFFFFFF);
    return WaitForSingleObject(stop_event(), static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

std::unique_ptr<SimulatedReader> start_simulated_reader(const unsigned char*, std::size_t) {
    throw usage_error(
        "--simulate is not available on Windows: the simulated reader needs a pseudo-terminal. "
        "Use a reader on a serial port (--port COM3), or run tqrf --simulate on Linux");
}

}  // namespace tqrf::tool::platform
