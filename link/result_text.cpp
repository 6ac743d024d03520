// tqrf_strerror: a static English text for every result code.
#include <array>
#include <cstdint>

#include "tq_RWD_DLL.h"

namespace {

// "reader status N (0xHH)" for every status byte 1 to 255, built at compile time.
constexpr std::size_t STATUS_TEXT_MAX = 32;

struct StatusTexts {
    std::array<std::array<char, STATUS_TEXT_MAX>, 256> text{};

    constexpr StatusTexts() {
        constexpr char prefix[] = "reader status ";
        constexpr char hex[] = "0123456789ABCDEF";
        for (int code = 1; code <= 255; ++code) {
            auto& t = text[static_cast<std::size_t>(code)];
            std::size_t n = 0;
            for (std::size_t i = 0; prefix[i] != '\0'; ++i) t[n++] = prefix[i];
            if (code >= 100) t[n++] = static_cast<char>('0' + code / 100);
            if (code >= 10) t[n++] = static_cast<char>('0' + code / 10 % 10);
            t[n++] = static_cast<char>('0' + code % 10);
            t[n++] = ' ';
            t[n++] = '(';
            t[n++] = '0';
            t[n++] = 'x';
            t[n++] = hex[code >> 4];
            t[n++] = hex[code & 0x0F];
            t[n++] = ')';
            t[n] = '\0';
        }
    }
};

constexpr StatusTexts STATUS_TEXTS;

}  // namespace

TQRF_API(const char*) tqrf_strerror(int32_t result) {
    switch (result) {
        case TQRF_OK:
            return "done";
        case ERR_FAILED:
            return "the call failed (line settings refused, argument refused, or no port to close)";
        case ERR_PORT_IN_USE:
            return "a port is already open";
        case ERR_PORT_OPEN_FAILED:
            return "the serial device could not be opened (missing, not permitted, busy, or not a "
                   "serial device)";
        case ERR_PORT_NOT_OPEN:
            return "no port is open";
        case ERR_SEND_FAILED:
            return "the request was not written whole";
        case ERR_REPLY_CHECKSUM:
            return "the reader's reply failed its checksum";
        case ERR_REPLY_FRAME:
            return "no reply from the reader in time, or a malformed reply";
        case ERR_REPLY_LENGTH:
            return "the reader's reply does not carry the data the command needs";
        case ERR_DEVICE_LOST:
            return "the device is gone (unplugged or closed)";
        case ERR_BAD_ARGUMENT:
            return "an argument was refused";
        case ERR_BUFFER_TOO_SMALL:
            return "the reply is longer than the buffer";
        default:
            break;
    }
    if (result > 0 && result <= 255)
        return STATUS_TEXTS.text[static_cast<std::size_t>(result)].data();
    return "unknown result code";
}
