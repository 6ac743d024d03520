// tqrf_strerror: a static English text for every result code, from the header's one list.
#include <array>
#include <cstdint>

#include "link/wire.h"
#include "tq_RWD_DLL.h"

static_assert(tqrf::REPLY_DATA_MAX == TQRF_REPLY_DATA_MAX,
              "the public size of the longest reply's data must match the frame link's");

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
#define TQRF_RESULT_TEXT(name, word, text) \
    case name:                             \
        return text;
            TQRF_RESULTS(TQRF_RESULT_TEXT)
#undef TQRF_RESULT_TEXT
        default:
            break;
    }
    if (result > 0 && result <= 255)
        return STATUS_TEXTS.text[static_cast<std::size_t>(result)].data();
    return "unknown result code";
}
