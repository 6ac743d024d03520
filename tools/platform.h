// What the tool asks of the operating system, behind one interface: platform_posix.cpp and
// platform_win32.cpp implement it, and CMake compiles the one of the target system. Nothing
// else in the tool includes an operating system header.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

namespace tqrf::tool::platform {

// Once at start-up, before anything else: settings of the process that the tool relies on
// (POSIX: a file-size limit makes writes fail with EFBIG instead of killing the tool).
void init_process();

// The operating system's text for one of its error codes: an errno value on POSIX, a
// GetLastError() code on Windows (FormatMessage, in the system's language).
std::string error_text(int code);

// The device a port name opens: "COMn" is /dev/ttyS(n-1) on POSIX and \\.\COMn on Windows
// (n from 1 to TQRF_COM_PORT_MAX); anything else is a path as given. The library's mapping
// (tqrf_com_port_path()), the same on every platform: defined in support.cpp.
std::string device_for_port(std::string_view port);

// How the --port option's help describes port names here.
const char* port_help();

// What a port's open failure means, from the operating system's error of the open.
enum class OpenProblem { Missing, Denied, Busy, NotSerial, Directory, Other };
OpenProblem open_problem(int os_error);

// What to do about one: how to list the serial ports (a sentence); how to get the right to open
// one; how to find the program that holds `device` open.
std::string list_ports_hint();
std::string permission_hint();
std::string busy_hint(const std::string& device);

// Files. `path` is as the user gave it (UTF-8 on POSIX, the ANSI code page on Windows).
enum class PathKind { Missing, File, Directory, Other };
PathKind path_kind(const std::string& path);

// The folder a path is in ("." when it names none).
std::string folder_of(const std::string& path);

// Reads a whole file into `out`. Fails with TooLarge as soon as more than `max_bytes` were
// read; with Failed and the OS error in `os_error` when it cannot be opened or read.
enum class ReadStatus { Ok, Directory, TooLarge, Failed };
ReadStatus read_file(const std::string& path, std::size_t max_bytes, std::string& out,
                     int& os_error);

// Whether standard error is a terminal (a console on Windows).
bool stderr_is_terminal();

// The local time of `t`, and its offset from UTC in minutes (east positive).
std::tm local_time(std::time_t t, int& utc_offset_minutes);

// The stop request of a long-running command (watch): Ctrl-C or SIGTERM on POSIX; Ctrl-C,
// Ctrl-Break or closing the console on Windows. Create it before starting any thread: from
// then on those requests no longer end the process, they end wait() instead.
class StopRequest {
  public:
    StopRequest();
    ~StopRequest();
    StopRequest(const StopRequest&) = delete;
    StopRequest& operator=(const StopRequest&) = delete;
    // True when a stop was requested, within at most `most`.
    bool wait(std::chrono::milliseconds most);
};

// The simulated reader of --simulate: the tool's own simulator on a pseudo-terminal.
class SimulatedReader {
  public:
    virtual ~SimulatedReader() = default;
    // The port the reader is on.
    virtual std::string port() const = 0;
};

// Starts a simulated reader with the card image `image` (1024 bytes) in its field. Throws a
// usage error where there are no pseudo-terminals (Windows), CommandError when it fails to
// start.
std::unique_ptr<SimulatedReader> start_simulated_reader(const unsigned char* image,
                                                        std::size_t size);

}  // namespace tqrf::tool::platform
