#include "errors.h"

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

namespace {

const char* (*status_namer)(int) = nullptr;

std::string status_text(int status) {
    char head[40];
    std::snprintf(head, sizeof head, "reader status 0x%02X", static_cast<unsigned>(status));
    // A real reader's status bytes are its own: only the simulator's have names here.
    const char* name = status_namer != nullptr ? status_namer(status) : nullptr;
    return name == nullptr ? std::string(head) : std::string(head) + " (" + name + ")";
}

}  // namespace

void set_status_namer(const char* (*namer)(int status)) {
    status_namer = namer;
}

std::string describe(const std::error_code& ec, const std::error_code& os_error) {
    if (ec.category() != category()) return ec.message();
    if (is_reader_status(ec)) return status_text(ec.value());
    switch (ec.value()) {
        case ERR_REPLY_FRAME:
            return "no reply from the reader (check its power, the cable and the line rate)";
        case ERR_REPLY_CHECKSUM:
            return "the reader's reply failed its checksum (noise on the line? check the cable)";
        case ERR_REPLY_LENGTH:
            return "the reader's reply does not carry the data the command must return";
        case ERR_DEVICE_LOST: {
            std::string text = "the reader's device is gone (unplugged, or its adapter reset)";
            if (os_error) text += ": " + platform::error_text(os_error.value());
            return text;
        }
        case ERR_SEND_FAILED:
            return "the request could not be sent to the reader";
        default:
            return tqrf_strerror(ec.value());
    }
}

std::string explain(const std::string& what, const std::error_code& ec,
                    const std::error_code& os_error) {
    return what + ": " + describe(ec, os_error);
}

std::string kind_of(const std::error_code& ec) {
    if (ec.category() != category()) return "failed";
    if (is_reader_status(ec)) return "reader_status";
    switch (ec.value()) {
        case ERR_REPLY_FRAME:
            return "no_reply";
        case ERR_REPLY_CHECKSUM:
        case ERR_REPLY_LENGTH:
            return "bad_reply";
        case ERR_DEVICE_LOST:
            return "device_lost";
        case ERR_SEND_FAILED:
            return "send_failed";
        case ERR_BAD_ARGUMENT:
            return "bad_argument";
        default:
            return "failed";
    }
}

bool is_link_failure(const std::error_code& ec) {
    return !is_reader_status(ec);
}

CommandError failure(const std::string& what, const std::error_code& ec,
                     const std::error_code& os_error) {
    const std::optional<std::int32_t> code =
        ec.category() == category() ? std::optional<std::int32_t>(ec.value()) : std::nullopt;
    return CommandError(kind_of(ec), explain(what, ec, os_error), kExitFailed, code);
}

void throw_failure(const std::string& what, const std::error_code& ec,
                   const std::error_code& os_error) {
    const CommandError e = failure(what, ec, os_error);
    if (is_link_failure(ec)) throw LinkError(e.kind(), e.what(), e.status(), e.code());
    throw e;
}

std::string open_failure_kind(std::int32_t result, int os_error) {
    if (result != ERR_PORT_OPEN_FAILED) return "open_failed";
    switch (platform::open_problem(os_error)) {
        case platform::OpenProblem::Missing:
            return "device_missing";
        case platform::OpenProblem::Denied:
            return "permission_denied";
        case platform::OpenProblem::Busy:
            return "device_busy";
        case platform::OpenProblem::NotSerial:
        case platform::OpenProblem::Directory:
            return "not_a_serial_device";
        case platform::OpenProblem::Other:
            break;
    }
    return "open_failed";
}

std::string open_failure_message(const std::string& port, const std::string& device,
                                 std::int32_t result, int os_error) {
    const std::string where =
        "cannot open " + (device == port ? device : port + " (" + device + ")") + ": ";
    const std::string os_text = os_error != 0 ? platform::error_text(os_error) : "";
    if (result == ERR_FAILED) {
        return where +
               "the device refused the reader's line settings (19200 baud, 8 data bits, mark "
               "and space parity)" +
               (os_text.empty() ? "" : ": " + os_text);
    }
    if (result != ERR_PORT_OPEN_FAILED) return where + tqrf_strerror(result);
    switch (platform::open_problem(os_error)) {
        case platform::OpenProblem::Missing:
            return where +
                   "the device is missing. Is the reader plugged in and powered? List the "
                   "serial ports with: " +
                   platform::list_ports_hint();
        case platform::OpenProblem::Denied:
            return where + "permission denied. " + platform::permission_hint();
        case platform::OpenProblem::Busy:
            return where + "the device is busy (another program holds it open; " +
                   platform::busy_hint(device) + ")";
        case platform::OpenProblem::NotSerial:
            return where + "not a serial device";
        case platform::OpenProblem::Directory:
            return where + "not a serial device (a directory)";
        case platform::OpenProblem::Other:
            break;
    }
    return where + (os_text.empty() ? tqrf_strerror(result) : os_text);
}

}  // namespace tqrf::tool
