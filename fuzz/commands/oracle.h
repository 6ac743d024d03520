// The oracle of the commands fuzz target: from the line model, what each call must return, what
// it may write into the caller's buffers and the virtual time it ends at; any difference stops
// the run. The drivers make each call and hand it here with the buffers it used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz/commands/exports.h"
#include "fuzz/commands/line_model.h"
#include "fuzz/fuzz_support.h"

namespace tqrf::fuzz::commands {

// What the oracle knows of the legacy exports' port between calls.
struct Session {
    LineModel line;
    bool open = false;
};

// What the oracle knows of a handle between calls: its line, reply mode and slack, and whether
// the next exchange starts with the settle a failure left.
struct HandleSession {
    tqrf_reader* reader = nullptr;
    FullLine line;
    bool complete = true;
    std::uint32_t slack = 0;
    bool settle = false;
};

// One legacy call as the driver made it: the row, the arguments, the replies it scripted (one,
// or three for the request-anticollision-select sequence), the double's wire size before the
// call, and the caller's buffers with their contents from before it.
struct LegacyCall {
    const LegacyExport& e;
    const LegacyArgs& args;
    const PlannedReply* replies;
    int exchanges;
    std::size_t wire_before;
    Buffer& out;
    Buffer& t_type;
    Buffer& t_serial;
    Buffer& t_size;
};

// Checks result `r` and the outputs of a legacy call; moves the model past it.
void check_legacy(Session& s, const LegacyCall& c, int r);

// One handle call as the driver made it: the row, the arguments, the reply it scripted, and the
// caller's buffers with their contents from before it.
struct HandleCall {
    const HandleExport& e;
    const HandleArgs& args;
    const PlannedReply& reply;
    Buffer& type;
    Buffer& serial;
    Buffer& size;
    Buffer& block;
    Buffer& val;
    Buffer& var;
    Buffer& length;
};

// Checks `result` and the outputs of a handle call; moves the model past it.
void check_handle(HandleSession& s, const HandleCall& c, int result);

}  // namespace tqrf::fuzz::commands
