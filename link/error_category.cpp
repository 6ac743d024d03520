// The one error category of the library's result codes. It lives here, in the library, so
// that every module of a process (the host program, its plug-ins, the library) shares the one
// object and their std::error_code values compare equal.
#include <cstdio>
#include <string>
#include <system_error>

#include "tq_RWD_DLL.hpp"

namespace {

const char* code_name(int code) {
    switch (code) {
        case TQRF_OK:
            return "TQRF_OK";
        case ERR_FAILED:
            return "ERR_FAILED";
        case ERR_PORT_IN_USE:
            return "ERR_PORT_IN_USE";
        case ERR_PORT_OPEN_FAILED:
            return "ERR_PORT_OPEN_FAILED";
        case ERR_PORT_NOT_OPEN:
            return "ERR_PORT_NOT_OPEN";
        case ERR_SEND_FAILED:
            return "ERR_SEND_FAILED";
        case ERR_REPLY_CHECKSUM:
            return "ERR_REPLY_CHECKSUM";
        case ERR_REPLY_FRAME:
            return "ERR_REPLY_FRAME";
        case ERR_REPLY_LENGTH:
            return "ERR_REPLY_LENGTH";
        case ERR_DEVICE_LOST:
            return "ERR_DEVICE_LOST";
        case ERR_BAD_ARGUMENT:
            return "ERR_BAD_ARGUMENT";
        case ERR_BUFFER_TOO_SMALL:
            return "ERR_BUFFER_TOO_SMALL";
        default:
            return nullptr;
    }
}

class Category final : public std::error_category {
  public:
    constexpr Category() noexcept = default;

    const char* name() const noexcept override { return "tqrf"; }

    // "ERR_REPLY_FRAME: <text>" for the library's codes, tqrf_strerror()'s "reader status 20
    // (0x14)" for the reader's status bytes, "unknown result code N" for anything else.
    std::string message(int code) const override {
        if (const char* name = code_name(code)) {
            return std::string(name) + ": " + tqrf_strerror(code);
        }
        if (code > 0 && code <= 255) return tqrf_strerror(code);
        // snprintf, not std::to_string: its helpers would be exported from the library.
        char text[40];
        std::snprintf(text, sizeof text, "unknown result code %d", code);
        return text;
    }
};

// Never destroyed: codes may still be compared or printed while the process shuts down.
union Holder {
    Category category;
    constexpr Holder() noexcept : category() {}
    ~Holder() {}
};
constinit Holder holder;

}  // namespace

TQRF_API(const std::error_category*) tqrf_error_category(void) {
    return &holder.category;
}
