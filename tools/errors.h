// How the tool fails: exit statuses, the error that ends a command, and every message made
// from a result code or an operating system error.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tqrf {
class Reader;
}

namespace tqrf::tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the reader, the card or a file write failed
inline constexpr int kExitUsage = 2;   // bad arguments or an unreadable input file

// A failure that ends the command. `kind` is a short stable word for scripts ("no_reply",
// "uid_mismatch", ...); `code` the library's result code or the reader's status byte when
// one caused it.
class CommandError : public std::runtime_error {
  public:
    CommandError(std::string kind, const std::string& message, int exit_status = kExitFailed,
                 std::optional<std::int32_t> code = std::nullopt)
        : std::runtime_error(message), kind_(std::move(kind)), status_(exit_status), code_(code) {}
    const std::string& kind() const { return kind_; }
    int status() const { return status_; }
    std::optional<std::int32_t> code() const { return code_; }

  private:
    std::string kind_;
    int status_;
    std::optional<std::int32_t> code_;
};

// A usage error: exit status 2.
inline CommandError usage_error(const std::string& message) {
    return CommandError("usage", message, kExitUsage);
}

// The link to the reader failed (no reply, bad reply, device lost): there is no point going on
// with the card.
class LinkError : public CommandError {
  public:
    using CommandError::CommandError;
};

// Names the reader's status bytes: the simulator's are known; a real reader's are its own, and
// tqrf_strerror() names them.
void set_status_namer(const char* (*namer)(int status));

// The words for a result code: for a reader call's refusal, what it means ("the key is wrong,
// or ... (reader status 0x12)", the library's tqrf_refusal_text()); "reader status 0x14" for a
// status byte of no known command; "no reply from the reader (check its power, the cable and
// the line rate)", ... `os_error` is the reader's operating system error, shown for a lost
// device.
std::string describe(const std::error_code& ec, const std::error_code& os_error = {});

// "what: " + describe(ec).
std::string explain(const std::string& what, const std::error_code& ec,
                    const std::error_code& os_error = {});

// The kind word of a result code (see CommandError).
std::string kind_of(const std::error_code& ec);

// True when the code says the link failed rather than the card or reader refusing.
bool is_link_failure(const std::error_code& ec);

// True when a reply was lost, came late or was garbled (no reply, a frame that failed its
// checks, a reply of the wrong length): the exchange may be repeated. A lost device, a request
// that could not be sent and every reader status are not such failures.
bool is_lost_reply(const std::error_code& ec);

// The CommandError for a failed reader call.
CommandError failure(const std::string& what, const std::error_code& ec,
                     const std::error_code& os_error = {});
// Throws it: as a LinkError when the link failed.
[[noreturn]] void throw_failure(const std::string& what, const std::error_code& ec,
                                const std::error_code& os_error = {});

// The same, for a call on `reader`, saying what its last exchange heard when a reply failed:
// silence, an echo of the request (a loopback plug, crossed lines) or bytes that are no frame.
std::string describe(const std::error_code& ec, const Reader& reader);
CommandError failure(const std::string& what, const std::error_code& ec, const Reader& reader);
[[noreturn]] void throw_failure(const std::string& what, const std::error_code& ec,
                                const Reader& reader);

// The words for what a reader heard (TQRF_ANSWER_*), "" for a frame or nothing known.
std::string answer_text(std::int32_t answer);
// The kind word for it: "echo", "noise", or "" for the others.
std::string answer_kind(std::int32_t answer);

// Why a port did not open, in words, with the usual remedy. `result` is what the open gave,
// `os_error` the operating system's error of the open (errno); `device` the path tried.
std::string open_failure_message(const std::string& port, const std::string& device,
                                 std::int32_t result, int os_error);

// The kind word for a failed open.
std::string open_failure_kind(std::int32_t result, int os_error);

}  // namespace tqrf::tool
