#include "errors.h"

#include <cstdio>
#include <cstring>

#include "finding.h"
#include "platform.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

namespace {

const char* (*status_namer)(int) = nullptr;

// A refusal of a Reader call: the library's words for the command, then the status byte, named
// when the reader is the simulator: "WORDS (reader status 0x12: authentication failed)".
std::string refusal_text(const std::error_code& ec) {
    std::string text = ec.message();
    const char* name = status_namer != nullptr ? status_namer(ec.value()) : nullptr;
    if (name != nullptr && !text.empty() && text.back() == ')') {
        text.insert(text.size() - 1, std::string(": ") + name);
    }
    return text;
}

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

namespace {

// What the tool says about each of the library's codes: the kind word for scripts and, where the
// library's own text (tqrf_strerror) would leave a user without a next step, its own words.
// Every code of the header's list gets its text from there unless it is named here.
struct Words {
    const char* kind;
    const char* text;  // null: tqrf_strerror()'s
};

Words words_for(int code) {
    switch (code) {
        case TQRF_ERR_REPLY_FRAME:
            return {"no_reply",
                    "no reply from the reader (check its power, the cable and the line rate)"};
        case TQRF_ERR_REPLY_CHECKSUM:
            return {"bad_reply",
                    "the reader's reply failed its checksum (noise on the line? check the cable)"};
        case TQRF_ERR_REPLY_LENGTH:
            return {"bad_reply",
                    "the reader's reply does not carry the data the command must return"};
        case TQRF_ERR_DEVICE_LOST:
            return {"device_lost", "the reader's device is gone (unplugged, or its adapter reset)"};
        case TQRF_ERR_SEND_FAILED:
            return {"send_failed", "the request could not be sent to the reader"};
        case TQRF_ERR_BAD_ARGUMENT:
            return {"bad_argument", nullptr};
        case TQRF_ERR_PARITY_UNSUPPORTED:
            return {"parity_unsupported",
                    "the serial adapter cannot send mark or space parity, which the reader "
                    "needs (adapters based on FTDI, CP210x, PL2303 or CH34x chips can)"};
        default:
            return {"failed", nullptr};
    }
}

}  // namespace

std::string describe(const std::error_code& ec, const std::error_code& os_error) {
    if (!is_library_code(ec)) return ec.message();
    if (is_reader_status(ec)) {
        if (dynamic_cast<const detail::RefusalCategory*>(&ec.category()) != nullptr) {
            return refusal_text(ec);
        }
        return status_text(ec.value());
    }
    const Words words = words_for(ec.value());
    std::string text = words.text != nullptr ? words.text : tqrf_strerror(ec.value());
    if (ec.value() == TQRF_ERR_DEVICE_LOST && os_error) {
        text += ": " + platform::error_text(os_error.value());
    }
    return text;
}

std::string explain(const std::string& what, const std::error_code& ec,
                    const std::error_code& os_error) {
    return what + ": " + describe(ec, os_error);
}

std::string kind_of(const std::error_code& ec) {
    if (!is_library_code(ec)) return "failed";
    if (is_reader_status(ec)) return "reader_status";
    return words_for(ec.value()).kind;
}

bool is_link_failure(const std::error_code& ec) {
    return !is_reader_status(ec);
}

bool is_lost_reply(const std::error_code& ec) {
    if (!is_library_code(ec) || is_reader_status(ec)) return false;
    return ec.value() == TQRF_ERR_REPLY_FRAME || ec.value() == TQRF_ERR_REPLY_CHECKSUM ||
           ec.value() == TQRF_ERR_REPLY_LENGTH;
}

CommandError failure(const std::string& what, const std::error_code& ec,
                     const std::error_code& os_error) {
    const std::optional<std::int32_t> code =
        is_library_code(ec) ? std::optional<std::int32_t>(ec.value()) : std::nullopt;
    return CommandError(kind_of(ec), explain(what, ec, os_error), kExitFailed, code);
}

void throw_failure(const std::string& what, const std::error_code& ec,
                   const std::error_code& os_error) {
    const CommandError e = failure(what, ec, os_error);
    if (is_link_failure(ec)) throw LinkError(e.kind(), e.what(), e.status(), e.code());
    throw e;
}

std::string answer_text(std::int32_t answer) {
    switch (answer) {
        case TQRF_ANSWER_ECHO:
            return "the line echoes what is sent: a loopback plug, or an adapter with its lines "
                   "crossed, and no reader answering (check the cable and which port this is)";
        case TQRF_ANSWER_NOISE:
            return "bytes came back that are no reply from the reader: another device on this "
                   "port, or a wrong line rate (check which port this is; the reader uses 19200 "
                   "baud)";
        case TQRF_ANSWER_SILENCE:
            return "no reply from the reader (check its power, the cable and the line rate)";
        default:
            return "";
    }
}

std::string answer_kind(std::int32_t answer) {
    switch (answer) {
        case TQRF_ANSWER_ECHO:
            return "echo";
        case TQRF_ANSWER_NOISE:
            return "noise";
        default:
            return "";
    }
}

namespace {

// What the reader heard, when that explains a failed reply.
std::int32_t heard(const std::error_code& ec, const Reader& reader) {
    if (ec.category() != category() || reader.native_handle() == nullptr) return TQRF_ANSWER_NONE;
    if (ec.value() != TQRF_ERR_REPLY_FRAME && ec.value() != TQRF_ERR_REPLY_CHECKSUM &&
        ec.value() != TQRF_ERR_REPLY_LENGTH) {
        return TQRF_ANSWER_NONE;
    }
    const std::int32_t a = tqrf_reader_last_answer(reader.native_handle());
    // A frame that failed its checks is told by the result code itself.
    return a == TQRF_ANSWER_FRAME || a < 0 ? TQRF_ANSWER_NONE : a;
}

}  // namespace

std::string describe(const std::error_code& ec, const Reader& reader) {
    const std::string text = answer_text(heard(ec, reader));
    return text.empty() ? describe(ec, reader.os_error()) : text;
}

CommandError failure(const std::string& what, const std::error_code& ec, const Reader& reader) {
    const std::int32_t a = heard(ec, reader);
    CommandError e = failure(what, ec, reader.os_error());
    if (a == TQRF_ANSWER_NONE) return e;
    const std::string kind = answer_kind(a);
    return CommandError(kind.empty() ? e.kind() : kind, what + ": " + answer_text(a), e.status(),
                        e.code());
}

void throw_failure(const std::string& what, const std::error_code& ec, const Reader& reader) {
    const CommandError e = failure(what, ec, reader);
    if (is_link_failure(ec)) throw LinkError(e.kind(), e.what(), e.status(), e.code());
    throw e;
}

std::string open_failure_kind(std::int32_t result, int os_error) {
    if (result != TQRF_ERR_PORT_OPEN_FAILED) return "open_failed";
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
    if (result == TQRF_ERR_FAILED) {
        return where +
               "the device refused the reader's line settings (19200 baud, 8 data bits, mark "
               "and space parity)" +
               (os_text.empty() ? "" : ": " + os_text);
    }
    if (result != TQRF_ERR_PORT_OPEN_FAILED) return where + tqrf_strerror(result);
    switch (platform::open_problem(os_error)) {
        case platform::OpenProblem::Missing:
            return where + "the device is missing. Is the reader plugged in and powered? " +
                   platform::list_ports_hint();
        case platform::OpenProblem::Denied: {
            // The same judgement as doctor's and the probe's: who may open it, and what to do.
            const std::string why = permission_text(port, device);
            return where + "permission denied" +
                   (why.empty() ? ". " + platform::permission_hint() : ": " + why);
        }
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
