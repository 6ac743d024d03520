// tqrf_refusal_text and tqrf_reader_last_refusal: what a command's refusal means, from the one
// table of words (link/refusals.h), with the reader's status byte after it.
#include <cstdio>
#include <iterator>

#include "link/command.h"
#include "link/refusals.h"
#include "tq_RWD_DLL.h"

namespace tqrf {
namespace {

// The header's command codes are the table's.
constexpr bool codes_match() {
    constexpr int header[] = {
        TQRF_COMMAND_REQUEST,
        TQRF_COMMAND_ANTICOLL,
        TQRF_COMMAND_SELECT,
        TQRF_COMMAND_HALT,
        TQRF_COMMAND_FIND,
        TQRF_COMMAND_LOADKEY,
        TQRF_COMMAND_AUTHENTICATE,
        TQRF_COMMAND_READ,
        TQRF_COMMAND_WRITE,
        TQRF_COMMAND_INITVAL,
        TQRF_COMMAND_READVAL,
        TQRF_COMMAND_INCREMENT,
        TQRF_COMMAND_DECREMENT,
        TQRF_COMMAND_RESTORE,
        TQRF_COMMAND_TRANSFER,
        TQRF_COMMAND_RESET,
        TQRF_COMMAND_HARDWARE_VERSION,
        TQRF_COMMAND_ID,
        TQRF_COMMAND_E2_READ,
        TQRF_COMMAND_E2_WRITE,
        TQRF_COMMAND_LINK_TEST,
        TQRF_COMMAND_BEEP,
        TQRF_COMMAND_CLOCK_READ,
        TQRF_COMMAND_CLOCK_SET,
    };
    if (std::size(header) != COMMANDS.size()) return false;
    for (std::size_t i = 0; i < COMMANDS.size(); ++i) {
        if (header[i] != COMMANDS[i].code) return false;
    }
    return true;
}
static_assert(codes_match(), "TQRF_COMMAND_* must be the command table's codes, in Op order");

// " (reader status 0xNN)" and the NUL.
static_assert(REFUSAL_WORDS_MAX + 21 + 1 <= TQRF_REFUSAL_TEXT_MAX,
              "TQRF_REFUSAL_TEXT_MAX must hold the longest words and the status");

const CommandRow* row_of_code(std::int32_t code) {
    for (const CommandRow& r : COMMANDS) {
        if (r.code == code) return &r;
    }
    return nullptr;
}

std::int32_t write_text(Op op, std::int32_t status, char* text, std::uint32_t size) {
    const int n = std::snprintf(text, size, "%s (reader status 0x%02X)", refusal_words(op),
                                static_cast<unsigned>(status));
    return n < 0 ? TQRF_ERR_FAILED : n;
}

}  // namespace
}  // namespace tqrf

using namespace tqrf;

TQRF_API(int32_t) tqrf_refusal_text(int32_t command, int32_t status, char* text, uint32_t size) {
    const CommandRow* r = row_of_code(command);
    if (r == nullptr || status < 1 || status > 255 || (text == nullptr && size > 0)) {
        return TQRF_ERR_BAD_ARGUMENT;
    }
    return write_text(r->op, status, text, size);
}

TQRF_API(int32_t) tqrf_reader_last_refusal(tqrf_reader* r, char* text, uint32_t size) {
    if (r == nullptr || (text == nullptr && size > 0)) return TQRF_ERR_BAD_ARGUMENT;
    Op op;
    std::int32_t status;
    {
        ReaderLock lock(*r);
        op = r->refused_op;
        status = r->refused_status;
    }
    if (status == 0) {
        if (size > 0) text[0] = '\0';
        return 0;
    }
    return write_text(op, status, text, size);
}
