#include "finding.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "errors.h"
#include "platform.h"

namespace tqrf::tool {

std::vector<PortEntry> list_ports() {
    auto ports = tqrf::list_ports();
    if (!ports) {
        throw CommandError("failed", std::string("cannot list the serial ports: ") +
                                         tqrf_strerror(ports.error().value()));
    }
    return std::move(*ports);
}

namespace {

// The word of a C value numbered from 0 in the order of `words`, or `other` for any other value.
template <std::size_t N>
const char* word_of(std::int32_t value, const char* const (&words)[N], const char* other) {
    return value >= 0 && static_cast<std::size_t>(value) < N ? words[value] : other;
}

}  // namespace

const char* transport_word(std::int32_t transport) {
    static_assert(TQRF_TRANSPORT_BUILTIN == 0 && TQRF_TRANSPORT_BLUETOOTH == 2);
    static constexpr const char* kWords[] = {"builtin", "usb", "bluetooth"};
    return word_of(transport, kWords, "other");
}

const char* mark_space_word(std::int32_t mark_space) {
    static_assert(TQRF_MARK_SPACE_NO == 0 && TQRF_MARK_SPACE_YES == 1);
    static constexpr const char* kWords[] = {"no", "yes"};
    return word_of(mark_space, kWords, "unknown");
}

std::string usb_id_text(std::int32_t id) {
    if (id < 0) return "";
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(id) & 0xFFFFu);
    return buf;
}

ProbeLine probe(const std::string& port) {
    auto found = tqrf::probe(port);
    if (!found) {
        throw CommandError("bad_argument",
                           "cannot probe '" + port + "': " + tqrf_strerror(found.error().value()));
    }
    return ProbeLine{port, std::move(*found)};
}

const char* outcome_word(std::int32_t outcome) {
    static_assert(TQRF_PROBE_READER == 0 && TQRF_PROBE_NO_MARK_SPACE == 9);
    static constexpr const char* kWords[] = {"reader",      "echo",          "noise", "silent",
                                             "missing",     "no_permission", "busy",  "not_serial",
                                             "open_failed", "no_mark_space"};
    return word_of(outcome, kWords, "open_failed");
}

std::string version_text(const ProbeResult& r) {
    std::string v;
    for (const std::uint8_t byte : r.version) {
        if (byte == 0) break;
        const auto c = static_cast<char>(byte);
        v += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return v;
}

std::string outcome_text(const ProbeResult& r) {
    const std::string os = r.os_error ? ": " + r.os_error.message() : "";
    switch (r.outcome) {
        case ProbeOutcome::Reader: {
            char id[16];
            std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(r.reader_id));
            const std::string v = version_text(r);
            return "a reader: " + (v.empty() ? std::string("version not given") : v) +
                   ", identity " + id;
        }
        case ProbeOutcome::Echo:
            return answer_text(TQRF_ANSWER_ECHO);
        case ProbeOutcome::Noise: {
            std::string bytes;
            char hex[4];
            const std::size_t n = r.received.size() < 16 ? r.received.size() : 16;
            for (std::size_t i = 0; i < n; ++i) {
                std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", r.received[i]);
                bytes += hex;
            }
            if (r.received.size() > n) bytes += " ...";
            return answer_text(TQRF_ANSWER_NOISE) + (bytes.empty() ? "" : ": " + bytes);
        }
        case ProbeOutcome::Silent:
            return "nothing answers: no reader, or one without power (check its power and the "
                   "cable)";
        case ProbeOutcome::Missing:
            return "the device is missing" + os;
        case ProbeOutcome::NoPermission:
            return "permission denied" + os + " (tqrf doctor --port PORT names the group to join)";
        case ProbeOutcome::Busy:
            return "busy: another program holds it" + os;
        case ProbeOutcome::NotSerial:
            return "not a serial device" + os;
        case ProbeOutcome::NoMarkSpace:
            return "the serial adapter cannot send mark or space parity, so no reader behind it "
                   "can hear its address (use another adapter; tqrf doctor names its driver)";
        default:
            return "does not open" + os;
    }
}

namespace {

constexpr const char* kRulesFile = "/etc/udev/rules.d/99-tqrf-serial.rules";

std::string base_name(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool all_digits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// Whether the mode text ("crw-------") gives the group neither read nor write.
bool group_has_nothing(const std::string& mode) {
    return mode.size() >= 7 && mode[4] == '-' && mode[5] == '-';
}

}  // namespace

std::string udev_rule(const device::Access& a, const PortEntry* port) {
    std::string match;
    if (port != nullptr && port->usb_vendor_id >= 0 && port->usb_product_id >= 0) {
        match = "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"" + usb_id_text(port->usb_vendor_id) +
                "\", ATTRS{idProduct}==\"" + usb_id_text(port->usb_product_id) + "\"";
        if (!port->serial_number.empty()) {
            match += ", ATTRS{serial}==\"" + port->serial_number + "\"";
        }
    } else if (const auto by_id =
                   port != nullptr ? port->stable_path.find("serial/by-id/") : std::string::npos;
               by_id != std::string::npos) {
        match = "SUBSYSTEM==\"tty\", SYMLINK==\"" + port->stable_path.substr(by_id) + "\"";
    } else {
        // A built-in UART, or an unlisted device: its kernel name. Never a pseudo-terminal's:
        // its number is given anew each time one is made.
        if (port == nullptr && a.pseudo_terminal) return "";
        const std::string name = base_name(port != nullptr ? port->device : a.resolved);
        if (name.empty() || all_digits(name)) return "";
        match = "SUBSYSTEM==\"tty\", KERNEL==\"" + name + "\"";
    }
    return match + ", GROUP=\"" + device::kGrantGroup + "\", MODE=\"0660\"";
}

AccessVerdict access_judgement(const device::Access& a, const PortEntry* port,
                               const std::string& user) {
    AccessVerdict v;
    const std::string owned = "(" + a.mode + " " + a.owner + " " + a.group + ")";
    if (a.may_open) {
        v.ok = true;
        v.finding = "you may open it " + owned;
        return v;
    }
    const std::string who = user.empty() ? "$USER" : user;
    v.finding =
        "you" + (user.empty() ? std::string() : " (" + user + ")") + " may not open it " + owned;
    const bool group_usable = a.group_read_write && a.group != "root" && a.group != "0";
    if (group_usable) {
        if (a.in_group_now) {
            v.remedy = "you are in the group " + a.group +
                       " that may open it, yet the system refuses: check its access control "
                       "list (getfacl " +
                       a.resolved + ") and security modules";
        } else if (a.in_group) {
            v.remedy = "you are in the group " + a.group +
                       ", but this session started before you joined it: log out and in again "
                       "(or run: newgrp " +
                       a.group + ")";
        } else {
            v.remedy = "join the group " + a.group + " that owns it: sudo usermod -aG " + a.group +
                       " " + who + ", then log out and in again";
        }
        return v;
    }
    const std::string why = std::string("no group you could join may open it (") +
                            (a.group_read_write ? "its group is root's own"
                             : a.owner_read_write && group_has_nothing(a.mode)
                                 ? "only its owner may read and write it"
                                 : "its group " + a.group + " may not read and write it") +
                            ")";
    const std::string rule = udev_rule(a, port);
    if (rule.empty() && a.pseudo_terminal) {
        v.remedy = why +
                   ": a pseudo-terminal belongs to the program that made it (a simulator, a "
                   "terminal, a network bridge), which decides who may open it; run the tool as "
                   "that program's user, or have that program open it to you. No udev rule "
                   "applies: its number is new each time";
        return v;
    }
    if (rule.empty()) {
        v.remedy = why + ": ask the administrator to give it to the group " +
                   std::string(device::kGrantGroup);
        return v;
    }
    v.remedy = why + ": a udev rule gives it to the group " + std::string(device::kGrantGroup) +
               "; put this line in " + kRulesFile + ":\n    " + rule +
               "\nthen run: sudo udevadm control --reload && sudo udevadm trigger (or plug the "
               "adapter in again)";
    v.remedy += a.in_grant_group
                    ? std::string("; you are in the group ") + device::kGrantGroup + " already"
                    : std::string(", and join the group ") + device::kGrantGroup +
                          ": sudo usermod -aG " + device::kGrantGroup + " " + who +
                          ", then log out and in again";
    return v;
}

const PortEntry* listed_entry(const std::vector<PortEntry>& ports, const std::string& port,
                              const device::Access& access) {
    for (const auto& p : ports) {
        if (p.device == port || (!p.stable_path.empty() && p.stable_path == port)) return &p;
    }
    if (access.resolved.empty()) return nullptr;
    for (const auto& p : ports) {
        if (device::check(p.device).resolved == access.resolved) return &p;
    }
    return nullptr;
}

namespace {

// permission_text() over a listing already made.
std::string permission_text(const std::string& port, const std::string& device_path,
                            const std::vector<PortEntry>& ports) {
    const device::Access a = device::check(device_path);
    // Where the device cannot be looked at, or its mode lets this user open it (so something
    // else refused), the judgement has nothing to tell.
    if (!a.checked || !a.exists || a.may_open) return "";
    const AccessVerdict v = access_judgement(a, listed_entry(ports, port, a), device::user_name());
    return v.finding + ": " + v.remedy;
}

std::vector<PortEntry> listing_or_none() {
    try {
        return list_ports();
    } catch (const CommandError&) {
        return {};  // without the listing the device is judged by its name alone
    }
}

std::string probe_text(const ProbeLine& line, const std::vector<PortEntry>& ports) {
    if (line.result.outcome != ProbeOutcome::NoPermission) return outcome_text(line.result);
    const std::string why = permission_text(line.port, platform::device_for_port(line.port), ports);
    return why.empty() ? outcome_text(line.result) : "permission denied: " + why;
}

// Whether the probe could not open the port at all.
bool refused(ProbeOutcome o) {
    return o == ProbeOutcome::Missing || o == ProbeOutcome::NoPermission ||
           o == ProbeOutcome::Busy || o == ProbeOutcome::NotSerial || o == ProbeOutcome::OpenFailed;
}

}  // namespace

std::string permission_text(const std::string& port, const std::string& device_path) {
    return permission_text(port, device_path, listing_or_none());
}

std::string probe_text(const ProbeLine& line) {
    if (line.result.outcome != ProbeOutcome::NoPermission) return outcome_text(line.result);
    return probe_text(line, listing_or_none());
}

std::string find_the_reader() {
    const auto ports = list_ports();
    std::vector<ProbeLine> tried;
    std::vector<std::string> readers;
    for (const auto& p : ports) {
        tried.push_back(probe(p.device));
        if (tried.back().result.outcome == ProbeOutcome::Reader) readers.push_back(p.device);
    }
    if (readers.size() == 1) return readers.front();
    std::string opened, closed;
    std::size_t n_closed = 0;
    for (const auto& t : tried) {
        const std::string line = "\n  " + t.port + ": " + probe_text(t, ports);
        if (refused(t.result.outcome)) {
            closed += line;
            ++n_closed;
        } else {
            opened += line;
        }
    }
    if (readers.empty()) {
        if (ports.empty()) {
            throw CommandError("no_reader_found",
                               "--port auto: the system lists no serial port. Is the reader "
                               "plugged in? Name its port with --port");
        }
        std::string text = "--port auto: no reader found; name its port with --port.";
        if (n_closed > 0) {
            text += " " + std::to_string(n_closed) + (n_closed == 1 ? " port" : " ports") +
                    " could not be opened:" + closed;
            text += n_closed == ports.size()
                        ? "\nNo port opened, so no reader could be asked."
                        : "\nNo reader answers on the other ports tried:" + opened;
        } else {
            text += " No reader answers on the serial ports tried:" + opened;
        }
        throw CommandError("no_reader_found", text);
    }
    std::string names;
    for (const auto& r : readers) names += (names.empty() ? "" : " and ") + r;
    throw CommandError("several_readers",
                       "--port auto: " + std::to_string(readers.size()) + " readers answer (" +
                           names + "); choose one with --port. Tried:" + opened + closed);
}

}  // namespace tqrf::tool
