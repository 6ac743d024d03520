// What a refusal of each command means (link/refusals.h, tqrf_refusal_text): every row of the
// command table has its words, the status byte follows them, and the arguments are checked.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "link/commands.h"
#include "link/refusals.h"
#include "tq_RWD_DLL.h"

namespace tqrf::testing {
namespace {

std::string text_of(std::int32_t command, std::int32_t status) {
    char text[TQRF_REFUSAL_TEXT_MAX];
    const std::int32_t n = tqrf_refusal_text(command, status, text, sizeof text);
    EXPECT_GT(n, 0) << command;
    EXPECT_LT(n, TQRF_REFUSAL_TEXT_MAX) << command;
    EXPECT_EQ(static_cast<std::size_t>(n), std::strlen(text)) << command;
    return text;
}

bool has(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

TEST(Refusals, EveryCommandSaysWhatItsRefusalMeansWithTheStatusAfter) {
    // What a user must learn from each command's refusal: the cause and, where there is one,
    // the way out.
    struct Row {
        Op op;
        std::int32_t command;
        std::initializer_list<const char*> parts;
    };
    const Row rows[] = {
        {Op::REQUEST,
         TQRF_COMMAND_REQUEST,
         {"no card answered", "halted", "request for all cards"}},
        {Op::ANTICOLL, TQRF_COMMAND_ANTICOLL, {"no card answered", "left the field"}},
        {Op::SELECT, TQRF_COMMAND_SELECT, {"select", "serial number"}},
        {Op::HALT, TQRF_COMMAND_HALT, {"did not halt", "no card is selected"}},
        {Op::CARD_FIND_SELECT,
         TQRF_COMMAND_FIND,
         {"no card answered", "halted", "request for all cards"}},
        {Op::LOAD_KEY, TQRF_COMMAND_LOADKEY, {"did not take the key"}},
        {Op::AUTHENTICATE,
         TQRF_COMMAND_AUTHENTICATE,
         {"the key is wrong", "access conditions", "find the card again"}},
        {Op::READ_BLOCK, TQRF_COMMAND_READ, {"not read", "not authenticated", "access conditions"}},
        {Op::WRITE_BLOCK, TQRF_COMMAND_WRITE, {"not written", "access conditions", "block 0"}},
        {Op::INIT_VALUE,
         TQRF_COMMAND_INITVAL,
         {"not written", "access conditions", "block 0", "trailer"}},
        {Op::READ_VALUE, TQRF_COMMAND_READVAL, {"not a value block", "access conditions"}},
        {Op::INCREMENT,
         TQRF_COMMAND_INCREMENT,
         {"increment", "not a value block", "access conditions"}},
        {Op::DECREMENT,
         TQRF_COMMAND_DECREMENT,
         {"decrement", "not a value block", "access conditions"}},
        {Op::RESTORE, TQRF_COMMAND_RESTORE, {"restore", "not a value block", "access conditions"}},
        {Op::TRANSFER,
         TQRF_COMMAND_TRANSFER,
         {"transfer", "increment, decrement or restore", "access conditions"}},
        {Op::RESET, TQRF_COMMAND_RESET, {"reset"}},
        {Op::READ_VERSION, TQRF_COMMAND_HARDWARE_VERSION, {"hardware version"}},
        {Op::READ_ID, TQRF_COMMAND_ID, {"identity number"}},
        {Op::READ_E2, TQRF_COMMAND_E2_READ, {"E2PROM read"}},
        {Op::WRITE_E2, TQRF_COMMAND_E2_WRITE, {"E2PROM write", "read-only"}},
        {Op::LINK_TEST, TQRF_COMMAND_LINK_TEST, {"link test", "power"}},
        {Op::BEEP, TQRF_COMMAND_BEEP, {"beep"}},
        {Op::READ_CLOCK, TQRF_COMMAND_CLOCK_READ, {"clock"}},
        {Op::SET_CLOCK, TQRF_COMMAND_CLOCK_SET, {"clock", "seven bytes"}},
    };
    static_assert(std::size(rows) == COMMANDS.size(), "a command without its row here");
    std::set<std::string> seen;
    for (const Row& r : rows) {
        SCOPED_TRACE(row(r.op).handle_export);
        EXPECT_EQ(row(r.op).code, r.command);
        const std::string text = text_of(r.command, 0x12);
        EXPECT_EQ(text, std::string(refusal_words(r.op)) + " (reader status 0x12)");
        for (const char* part : r.parts) EXPECT_TRUE(has(text, part)) << text;
        seen.insert(refusal_words(r.op));
    }
    // A find is a request and more: the one pair of commands that shares its words.
    EXPECT_EQ(seen.size(), COMMANDS.size() - 1);
    EXPECT_STREQ(refusal_words(Op::REQUEST), refusal_words(Op::CARD_FIND_SELECT));
}

TEST(Refusals, TheStatusByteIsShownInHexForEveryValue) {
    const std::string words = refusal_words(Op::AUTHENTICATE);
    EXPECT_EQ(text_of(TQRF_COMMAND_AUTHENTICATE, 1), words + " (reader status 0x01)");
    EXPECT_EQ(text_of(TQRF_COMMAND_AUTHENTICATE, 0xAB), words + " (reader status 0xAB)");
    EXPECT_EQ(text_of(TQRF_COMMAND_AUTHENTICATE, 255), words + " (reader status 0xFF)");
}

TEST(Refusals, ArgumentsAreCheckedAndTheTextIsCutToFit) {
    char text[16];
    struct Bad {
        std::int32_t command;
        std::int32_t status;
        char* text;
        std::uint32_t size;
    };
    const Bad bad[] = {
        {0x00, 0x12, text, sizeof text},  // no such command
        {0x50, 0x12, text, sizeof text},
        {0x144, 0x12, text, sizeof text},           // a code above a byte is no command's
        {TQRF_COMMAND_READ, 0, text, sizeof text},  // 0 is no refusal
        {TQRF_COMMAND_READ, 256, text, sizeof text},
        {TQRF_COMMAND_READ, -86, text, sizeof text},
        {TQRF_COMMAND_READ, 0x12, nullptr, 1},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(tqrf_refusal_text(b.command, b.status, b.text, b.size), TQRF_ERR_BAD_ARGUMENT)
            << b.command << " " << b.status;
    }
    const std::string whole = text_of(TQRF_COMMAND_READ, 0x13);
    // Measuring first, as with snprintf.
    EXPECT_EQ(tqrf_refusal_text(TQRF_COMMAND_READ, 0x13, nullptr, 0),
              static_cast<std::int32_t>(whole.size()));
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(tqrf_refusal_text(TQRF_COMMAND_READ, 0x13, text, sizeof text),
              static_cast<std::int32_t>(whole.size()));
    EXPECT_EQ(std::string(text), whole.substr(0, sizeof text - 1));
}

TEST(Refusals, ALastRefusalNeedsAReader) {
    char text[8];
    EXPECT_EQ(tqrf_reader_last_refusal(nullptr, text, sizeof text), TQRF_ERR_BAD_ARGUMENT);
}

}  // namespace
}  // namespace tqrf::testing
