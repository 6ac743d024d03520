// The commands of the tqrf tool, one entry point each. main.cpp wires the options into these
// argument records; each command checks its arguments, opens the reader(s), does its work and
// hands its report to the printer. Failures are thrown as CommandError.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "options.h"
#include "render.h"

namespace tqrf::tool {

struct ScanArgs {
    bool all = false;
};
struct ReadArgs {
    long long block = 0;
    KeyOptions keys;
};
struct WriteArgs {
    long long block = 0;
    std::string hex;
    bool force = false;
    // A trailer from keys and named conditions instead of HEX32.
    std::vector<std::string> access;
    std::string new_key_a, new_key_b;
    std::string user_byte = "69";
    KeyOptions keys;
};
struct DumpArgs {
    std::string output;
    std::string format;
    bool partial = false;
    KeyOptions keys;
};
struct RestoreArgs {
    std::string file;
    std::string format;
    bool trailers = false;
    bool force = false;
    bool dry_run = false;
    bool skip_refused = false;
    bool no_verify = false;  // do not read the written blocks back
    KeyOptions keys;
};
struct ImageShowArgs {
    std::string file;
    std::string format;
};
struct ImageConvertArgs {
    std::string input;
    std::string output;
    std::string format;        // of the output
    std::string input_format;  // of the input, when its content and name do not say
    bool partial = false;
};
struct ImageDiffArgs {
    std::string first;
    std::string second;
};
struct AccessDecodeArgs {
    std::string hex;
};
struct AccessEncodeArgs {
    std::vector<std::string> items;  // --access WHICH:RIGHTS
    std::string user_byte = "69";
    std::string key_a, key_b;  // both: print the whole trailer
    bool force = false;
};
struct ValueArgs {
    std::string operation;  // get, init, inc, dec, copy
    long long block = 0;
    long long amount = 0;
    long long to_block = -1;
    bool allow_negative = false;  // dec: a result below zero
    bool allow_wrap = false;      // inc, dec: a result past the 32-bit range, wrapped
    KeyOptions keys;
};
struct BeepArgs {
    long long ms = 100;
};
struct ClockArgs {
    bool set = false;
    std::string value = "now";  // clock set: a date, "now", or 14 hex digits
    std::string layout;         // raw or sim; empty: sim under --simulate, else raw
};
struct E2Args {
    bool write = false;
    long long address = 0;
    std::string hex;
    bool force = false;
};
struct WatchArgs {
    long long interval_ms = 300;
    std::optional<long long> block;  // --read
    std::string key = "FFFFFFFFFFFF";
    bool key_b = false;
};

// Card commands (cmd_card.cpp).
void run_scan(const Globals& g, Printer& out, const ScanArgs& a);
void run_read(const Globals& g, Printer& out, const ReadArgs& a);
void run_write(const Globals& g, Printer& out, const WriteArgs& a);
void run_value(const Globals& g, Printer& out, const ValueArgs& a);

// Whole-card images (cmd_image.cpp).
void run_dump(const Globals& g, Printer& out, const DumpArgs& a);
void run_restore(const Globals& g, Printer& out, const RestoreArgs& a);

// Image files without a reader (cmd_image.cpp); they print their own output. diff gives
// false when the images differ.
void run_image_show(const Globals& g, const ImageShowArgs& a);
void run_image_convert(const Globals& g, const ImageConvertArgs& a);
bool run_image_diff(const Globals& g, const ImageDiffArgs& a);

// Access conditions by name, without a reader (cmd_access.cpp).
void run_access_decode(const Globals& g, const AccessDecodeArgs& a);
void run_access_encode(const Globals& g, const AccessEncodeArgs& a);

// The reader itself (cmd_reader.cpp).
void run_info(const Globals& g, Printer& out);
void run_beep(const Globals& g, Printer& out, const BeepArgs& a);
void run_clock(const Globals& g, Printer& out, const ClockArgs& a);
void run_e2(const Globals& g, Printer& out, const E2Args& a);

// Waiting for cards (cmd_watch.cpp).
void run_watch(const Globals& g, Printer& out, const WatchArgs& a);

// Finding and diagnosing the reader (cmd_ports.cpp, cmd_doctor.cpp): registers `ports` and
// `doctor`; the function returned runs the one given and gives its exit status (nothing when
// neither was given). They print their own reports.
std::function<std::optional<int>(const Globals&)> add_finding_commands(CLI::App& app);

// A warning on stderr ("tqrf: ..."), in every output mode.
void warn(const std::string& message);

}  // namespace tqrf::tool
