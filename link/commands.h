// Every reader command, one row each: its code, its payload layout, the data bytes a status-0
// reply must carry, its wait rule and how its outputs are written. The exports in card/, reader/
// and text/ name a row and hand over their arguments; link/command.h runs it.
//
// Adding a command: a row here (and its Op), the export in card/ or reader/ that names it, its
// declaration in tq_RWD_DLL.h, then `python3 scripts/gen-lists.py --write` for the lists of
// exports; docs/developing.md lists the rest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/wire.h"

namespace tqrf {

// One entry per reader command.
enum class Op : std::uint8_t {
    REQUEST,
    ANTICOLL,
    SELECT,
    HALT,
    CARD_FIND_SELECT,
    LOAD_KEY,
    AUTHENTICATE,
    READ_BLOCK,
    WRITE_BLOCK,
    INIT_VALUE,
    READ_VALUE,
    INCREMENT,
    DECREMENT,
    RESTORE,
    TRANSFER,
    RESET,
    READ_VERSION,
    READ_ID,
    READ_E2,
    WRITE_E2,
    LINK_TEST,
    BEEP,
    READ_CLOCK,
    SET_CLOCK,
};

// One parameter field of a payload, after COMMAND_LEAD and the code. Fields that take a number
// take the call's numeric arguments in order; the handle API refuses numbers outside the range
// the field lists (the legacy exports cut them as shown, without a check).
enum class Param : std::uint8_t {
    NONE,
    ZERO,          // one 0x00 byte
    FIXED,         // FIXED_PARAMETER (0x55)
    BYTE,          // the number's low byte (0 to 255)
    BLOCK,         // low byte & BLOCK_MASK (0 to 63)
    VALUE_BLOCK,   // low byte, unmasked (0 to 63)
    SECTOR,        // low byte & SECTOR_MASK (0 to 15)
    KEY_TYPE,      // low byte 0: KEY_TYPE_A, else KEY_TYPE_B (0 or 1)
    REQUEST_MODE,  // low byte 0: REQUEST_IDLE, else REQUEST_ALL (0 or 1)
    E2_ADDRESS,    // low byte & E2_WRITE_ADDRESS_MASK (0 to 127)
    DURATION,      // low byte, at most BEEP_DURATION_MAX (0 to 240)
    VALUE,         // four bytes, least significant first (any)
    INPUT,         // the row's input_bytes from the caller's buffer (not null)
};

// How long the reply is waited for.
enum class Wait : std::uint8_t {
    FIXED,   // REPLY_WAIT_MS
    BEEPER,  // mode 0 answers when the beep is over: its duration on top of REPLY_WAIT_MS
};

// How the outputs are written. The legacy policy writes them from any valid reply, whatever
// its status; the checked policy only from a status-0 reply whose data count is within `reply`.
enum class Copy : std::uint8_t {
    NONE,
    // Reply frame positions 2 onward into out[0], fields[0].bytes of them; legacy: positions
    // beyond the frame leave their output bytes as they were (the status byte can be copied).
    POSITIONS,
    // Data bytes into out[0]: legacy at most fields[0].bytes, their count into `length` when
    // given. A row of REPLY_DATA_MAX bytes is sized: on a handle the caller gives the room and
    // always receives the count; TQRF_ERR_BUFFER_TOO_SMALL, nothing copied, when they do not fit.
    DATA,
    // Four data bytes, least significant first, into `word`; legacy: a reply with fewer leaves
    // it as it was.
    VALUE,
    // The identity number into `word`: least significant byte first; a fifth and later byte is
    // added in again at the position of byte k mod 4, with carry, modulo 2^32.
    ID,
    // Each field into its own output out[i] (the card type, serial number and size of a find).
    FIELDS,
};

// The data bytes a status-0 reply must carry.
struct DataBytes {
    std::uint32_t min;
    std::uint32_t max;
};
inline constexpr DataBytes exactly(std::uint32_t n) {
    return {n, n};
}
inline constexpr DataBytes NO_DATA = exactly(0);
inline constexpr DataBytes ANY_DATA = {0, REPLY_DATA_MAX};

// A run of data bytes: first data byte, count.
struct Field {
    std::uint8_t at = 0;
    std::uint8_t bytes = 0;
};

struct CommandRow {
    Op op;
    std::uint8_t code;     // payload byte 1
    std::uint16_t length;  // payload length, COMMAND_LEAD and code included
    std::array<Param, 3> params;
    std::uint8_t input_bytes;  // bytes taken from the caller's buffer by Param::INPUT
    DataBytes reply;
    Wait wait;
    Copy copy;
    std::array<Field, 3> fields;
    // The exports that run it on the default reader and on a handle. Bindings, the fuzzer and
    // the Windows host are checked against these names (tests/bindings).
    const char* legacy_export;
    const char* handle_export;
};

inline constexpr std::array<Param, 3> params(Param a, Param b = Param::NONE,
                                             Param c = Param::NONE) {
    return {a, b, c};
}
inline constexpr std::array<Field, 3> to(std::uint8_t bytes) {
    return {Field{0, bytes}, Field{}, Field{}};
}

inline constexpr DataBytes ID_DATA = {1, 4};
// The find-and-select answer: card type, serial number, size, in the order of the outputs.
inline constexpr std::array<Field, 3> FIND_FIELDS = {
    Field{0, CARD_TYPE_BYTES}, Field{CARD_TYPE_BYTES + SIZE_BYTES, SERIAL_BYTES},
    Field{CARD_TYPE_BYTES, SIZE_BYTES}};

using P = Param;
// clang-format off
inline constexpr std::array<CommandRow, 24> COMMANDS = {{
//   op                    code  len  parameters                                      in  status-0 data          wait          outputs          exports
    {Op::REQUEST,          0x41,  4, params(P::REQUEST_MODE, P::ZERO),                 0, exactly(CARD_TYPE_BYTES), Wait::FIXED,  Copy::POSITIONS, to(CARD_TYPE_BYTES), "tqrf_request", "tqrf_reader_request"},
    {Op::ANTICOLL,         0x42,  4, params(P::ZERO, P::BYTE),                         0, exactly(SERIAL_BYTES),    Wait::FIXED,  Copy::POSITIONS, to(SERIAL_BYTES), "tqrf_anticoll", "tqrf_reader_anticoll"},
    {Op::SELECT,           0x43,  7, params(P::INPUT, P::ZERO),             SERIAL_BYTES, exactly(SIZE_BYTES),      Wait::FIXED,  Copy::POSITIONS, to(SIZE_BYTES), "tqrf_select", "tqrf_reader_select"},
    {Op::HALT,             0x71,  4, params(P::ZERO, P::ZERO),                         0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_halt", "tqrf_reader_halt"},
    {Op::CARD_FIND_SELECT, 0x62,  4, params(P::REQUEST_MODE, P::ZERO),                 0, exactly(CARD_TYPE_BYTES + SIZE_BYTES + SERIAL_BYTES), Wait::FIXED, Copy::FIELDS, FIND_FIELDS, "tqrf_card_asc", "tqrf_reader_find"},
    {Op::LOAD_KEY,         0x61, 10, params(P::KEY_TYPE, P::SECTOR, P::INPUT),  KEY_BYTES, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_loadkey", "tqrf_reader_loadkey"},
    {Op::AUTHENTICATE,     0x44,  4, params(P::KEY_TYPE, P::SECTOR),                   0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_authentication", "tqrf_reader_authenticate"},
    {Op::READ_BLOCK,       0x45,  4, params(P::BLOCK, P::ZERO),                        0, exactly(BLOCK_BYTES),     Wait::FIXED,  Copy::DATA,      to(BLOCK_BYTES), "tqrf_read", "tqrf_reader_read"},
    {Op::WRITE_BLOCK,      0x46, 19, params(P::BLOCK, P::INPUT),             BLOCK_BYTES, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_write", "tqrf_reader_write"},
    {Op::INIT_VALUE,       0x47,  7, params(P::VALUE_BLOCK, P::VALUE),                 0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_initval", "tqrf_reader_initval"},
    {Op::READ_VALUE,       0x48,  4, params(P::BLOCK, P::ZERO),                        0, exactly(VALUE_BYTES),     Wait::FIXED,  Copy::VALUE,     {}, "tqrf_readval", "tqrf_reader_readval"},
    {Op::INCREMENT,        0x49,  7, params(P::VALUE_BLOCK, P::VALUE),                 0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_increment", "tqrf_reader_increment"},
    {Op::DECREMENT,        0x4A,  7, params(P::VALUE_BLOCK, P::VALUE),                 0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_decrement", "tqrf_reader_decrement"},
    {Op::RESTORE,          0x4B,  4, params(P::BLOCK, P::ZERO),                        0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_restore", "tqrf_reader_restore"},
    {Op::TRANSFER,         0x4C,  4, params(P::BLOCK, P::ZERO),                        0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_transfer", "tqrf_reader_transfer"},
    {Op::RESET,            0x72,  4, params(P::FIXED, P::ZERO),                        0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_reset", "tqrf_reader_reset"},
    {Op::READ_VERSION,     0x73,  4, params(P::ZERO, P::ZERO),                         0, ANY_DATA,                 Wait::FIXED,  Copy::DATA,      to(REPLY_DATA_MAX), "tqrf_ReadHardwareVersionNumber", "tqrf_reader_hardware_version"},
    {Op::READ_ID,          0x76,  4, params(P::ZERO, P::ZERO),                         0, ID_DATA,                  Wait::FIXED,  Copy::ID,        {}, "tqrf_Read_RWD_ID", "tqrf_reader_id"},
    {Op::READ_E2,          0x75,  4, params(P::BYTE, P::ZERO),                         0, ANY_DATA,                 Wait::FIXED,  Copy::DATA,      to(REPLY_DATA_MAX), "tqrf_Read_RC500E2", "tqrf_reader_e2_read"},
    {Op::WRITE_E2,         0x74, 20, params(P::FIXED, P::E2_ADDRESS, P::INPUT), E2_WRITE_BYTES, NO_DATA,            Wait::FIXED,  Copy::NONE,      {}, "tqrf_Write_RC500E2", "tqrf_reader_e2_write"},
    {Op::LINK_TEST,        0x77,  4, params(P::FIXED, P::ZERO),                        0, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_Link_PCandRWD", "tqrf_reader_link_test"},
    {Op::BEEP,             0x69,  4, params(P::BYTE, P::DURATION),                     0, NO_DATA,                  Wait::BEEPER, Copy::NONE,      {}, "tqrf_BeepControl", "tqrf_reader_beep"},
    {Op::READ_CLOCK,       0x6B,  4, params(P::ZERO, P::ZERO),                         0, ANY_DATA,                 Wait::FIXED,  Copy::DATA,      to(REPLY_DATA_MAX), "tqrf_UploadRTC", "tqrf_reader_clock_read"},
    {Op::SET_CLOCK,        0x6A,  9, params(P::INPUT),                       CLOCK_BYTES, NO_DATA,                  Wait::FIXED,  Copy::NONE,      {}, "tqrf_DownloadRTC", "tqrf_reader_clock_set"},
}};
// clang-format on

constexpr const CommandRow& row(Op op) {
    return COMMANDS[static_cast<std::size_t>(op)];
}

// Payload bytes a parameter field takes.
constexpr std::uint32_t param_bytes(Param p, std::uint32_t input_bytes) {
    switch (p) {
        case Param::NONE:
            return 0;
        case Param::VALUE:
            return VALUE_BYTES;
        case Param::INPUT:
            return input_bytes;
        default:
            return 1;
    }
}

// The table's own consistency: rows in Op order, codes unique, each length the sum of its
// fields, each status-0 reply within what a frame can carry.
constexpr bool table_is_consistent() {
    for (std::size_t i = 0; i < COMMANDS.size(); ++i) {
        const CommandRow& r = COMMANDS[i];
        if (static_cast<std::size_t>(r.op) != i) return false;
        std::uint32_t length = 2;
        for (Param p : r.params) length += param_bytes(p, r.input_bytes);
        if (length != r.length || length > REQUEST_PAYLOAD_MAX) return false;
        if (r.reply.min > r.reply.max || r.reply.max > REPLY_DATA_MAX) return false;
        for (std::size_t j = i + 1; j < COMMANDS.size(); ++j) {
            if (COMMANDS[j].code == r.code) return false;
        }
    }
    return true;
}
static_assert(table_is_consistent(), "the command table contradicts itself");

}  // namespace tqrf
