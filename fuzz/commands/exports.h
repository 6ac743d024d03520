// The rows of the commands fuzz target's tables of exports: what the target hands each export,
// what the export writes from a valid reply, and what else it needs or does. The tables
// themselves are in drivers.cpp (fuzz/seeds.py reads them there).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tq_RWD_DLL.h"

namespace tqrf::fuzz::commands {

// ---- The legacy exports ---------------------------------------------------------------------

// The caller's arguments as the target hands them to an export.
struct LegacyArgs {
    std::int32_t a1, a2, a3;
    std::uint8_t* out;       // the output buffer (null now and then)
    const std::uint8_t* in;  // the input buffer (null now and then)
    char* type_text;         // the three text fields of the card functions
    char* serial_text;
    char* size_text;
    char* str;  // rate text or port name
};

// What an export writes into its outputs from a valid reply.
enum class Writes : std::uint8_t {
    kNothing,
    kPositions,     // reply frame positions 2 onward, those the frame has
    kData,          // the data bytes, at most the buffer's size
    kValue,         // four data bytes, least significant first; fewer leave it as it was
    kId,            // the identity number assembly
    kCardAscText,   // type, size and serial number fields of a find, as hex text
    kCardAsc1Text,  // the texts of request, anticollision and select, one exchange each
    kRdAscText,     // the block as hex text
};

// Exports that do not run one plain command exchange.
enum class Form : std::uint8_t {
    kCommand,
    kInit,          // opens the port
    kBaudSetup,     // changes the rate, no exchange
    kTrailerCheck,  // refuses a block that is not its sector's trailer before anything else
};

// What else an export needs or does.
enum Traits : std::uint8_t {
    kPlain = 0,
    kOut = 1,         // a null output gives ERR_FAILED
    kIn = 2,          // a null input gives ERR_FAILED
    kTextIn = 4 | 2,  // its input is hex text, refused when null before the port check
    kBeeper = 8,      // mode 0 waits for the beep as well
};

struct LegacyExport {
    const char* name;
    std::size_t out_size;  // the documented size of its output buffer (1 where it has none)
    std::size_t in_size;   // the documented size of its input buffer (1 where it has none)
    int traits;
    Writes writes;
    Form form;
    int (*call)(const LegacyArgs&);
};

// ---- The handle exports ---------------------------------------------------------------------

// The caller's arguments as the target hands them to a handle export.
struct HandleArgs {
    tqrf_reader* r;
    std::int32_t a1, a2;
    std::uint32_t value, capacity;
    std::uint8_t *type, *serial, *size, *block;
    std::uint32_t* val;
    std::uint8_t* var;  // a variable-length output of `capacity` bytes
    std::uint32_t* length;
    const std::uint8_t* in;
};

// What a handle export writes from a status-0 reply of the right length.
enum class HandleWrites : std::uint8_t {
    kNothing,
    kType,      // two data bytes
    kSerial,    // four data bytes
    kSize,      // one data byte
    kFind,      // type, size and serial number
    kBlock,     // sixteen data bytes
    kValue,     // four data bytes, least significant first
    kId,        // one to four data bytes, least significant first
    kVariable,  // every data byte, with their count, when they fit `capacity`
};

struct HandleExport {
    const char* name;
    std::int32_t a1_range;  // the target picks the numbers mostly below these
    std::int32_t a2_range;
    std::size_t min_data;  // data bytes a status-0 reply must carry
    std::size_t max_data;
    HandleWrites writes;
    int traits;                     // kBeeper, or kOption: not a command, an option
    bool (*ok)(const HandleArgs&);  // the arguments the API accepts
    int (*call)(const HandleArgs&);
};

// Not a command: an option of the handle (a handle row's traits).
constexpr int kOption = 16;

}  // namespace tqrf::fuzz::commands
