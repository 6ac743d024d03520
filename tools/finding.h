// Finding the reader: the serial ports the system lists, what answers on a port, and the one
// reader `--port auto` stands for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform_device.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

// A listed port: the C++ API's entry (tqrf::PortInfo, from tqrf::list_ports()).
using PortEntry = tqrf::PortInfo;

// The serial ports the system knows (tqrf::list_ports()). Throws CommandError when the listing
// fails.
std::vector<PortEntry> list_ports();

// "builtin", "usb", "bluetooth", "other".
const char* transport_word(std::int32_t transport);
inline const char* transport_word(Transport transport) {
    return transport_word(static_cast<std::int32_t>(transport));
}
// "yes", "no", "unknown".
const char* mark_space_word(std::int32_t mark_space);
inline const char* mark_space_word(MarkSpace mark_space) {
    return mark_space_word(static_cast<std::int32_t>(mark_space));
}
// "0403", or "" for -1.
std::string usb_id_text(std::int32_t id);

// A port and what a probe found there (tqrf::probe()).
struct ProbeLine {
    std::string port;
    ProbeResult result;
};

ProbeLine probe(const std::string& port);

// "reader", "echo", "noise", "silent", "missing", "no_permission", "busy", "not_serial",
// "open_failed", "no_mark_space".
const char* outcome_word(std::int32_t outcome);
inline const char* outcome_word(ProbeOutcome outcome) {
    return outcome_word(static_cast<std::int32_t>(outcome));
}
// What was found, in words: "a reader: TQRF-SIM RC500 V1.0, identity 0x12345678", "the line
// echoes what is sent: ...".
std::string outcome_text(const ProbeResult& r);
// The reader's version text (its bytes up to the first NUL, printable only).
std::string version_text(const ProbeResult& r);

// Whether `user` may open a device, and if not what to do: the group to join is named only
// when that group owns the device and may read and write it (and is not root's own group).
struct AccessVerdict {
    bool ok = false;
    std::string finding;
    std::string remedy;
};
AccessVerdict judge_access(const device::Access& a, const std::string& user);

// The port of the one reader among the listed ports, for --port auto. Throws CommandError (exit
// 1) when none answers as a reader or several do, listing what was tried.
std::string find_the_reader();

}  // namespace tqrf::tool
