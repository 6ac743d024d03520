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

// Whether `user` may open a device, why not, and what to do: the one judgement behind scan's
// and every command's "permission denied", doctor's access check, ports --probe and --port auto.
// `port` is the device's entry in the port listing (nullptr when it is not listed).
//   - the group to join is named only when that group owns the device and may read and write
//     it (and is not root's own group);
//   - a device that only its owner may open, or whose group may not read and write it, needs a
//     udev rule that gives it to the group dialout: for a USB adapter one that matches its
//     vendor and product id (or its /dev/serial/by-id name), for a built-in UART its kernel
//     name (ttyS0);
//   - a pseudo-terminal has no udev rule: it belongs to the program that made it.
struct AccessVerdict {
    bool ok = false;
    std::string finding;  // "you (alice) may not open it (crw------- root root)"
    std::string remedy;   // "" when ok
};
AccessVerdict access_judgement(const device::Access& a, const PortEntry* port,
                               const std::string& user);

// The udev rule that gives the device of `port` (or, unlisted, the device `a`) to the group
// dialout; "" for a pseudo-terminal or a device that cannot be matched.
std::string udev_rule(const device::Access& a, const PortEntry* port);

// The entry of `port` in `ports`: by its device or stable name, or by the device both lead to.
const PortEntry* listed_entry(const std::vector<PortEntry>& ports, const std::string& port,
                              const device::Access& access);

// Why `port` (which opens `device`) refused this user, and what to do: the judgement of the
// device as it is now, in one sentence for an error message ("you (alice) may not open it
// (crw------- root root): REMEDY"). "" where the system keeps no owner and mode (Windows).
std::string permission_text(const std::string& port, const std::string& device);

// What the probe of `line` found, in words; a refused open says why and what to do.
std::string probe_text(const ProbeLine& line);

// The port of the one reader among the listed ports, for --port auto. Throws CommandError (exit
// 1) when none answers as a reader or several do, listing what was tried.
std::string find_the_reader();

}  // namespace tqrf::tool
