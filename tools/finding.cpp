#include "finding.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "errors.h"

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

AccessVerdict judge_access(const device::Access& a, const std::string& user) {
    AccessVerdict v;
    const std::string owned = "(" + a.mode + " " + a.owner + " " + a.group + ")";
    if (a.may_open) {
        v.ok = true;
        v.finding = "you may open it " + owned;
        return v;
    }
    v.finding =
        "you" + (user.empty() ? std::string() : " (" + user + ")") + " may not open it " + owned;
    const std::string base = a.resolved.substr(a.resolved.find_last_of('/') + 1);
    const std::string rule =
        "a udev rule can give it to a group, for example SUBSYSTEM==\"tty\", "
        "KERNEL==\"" +
        base + "\", GROUP=\"dialout\", MODE=\"0660\"";
    const bool group_usable = a.group_read_write && a.group != "root" && a.group != "0";
    if (group_usable && a.in_group_now) {
        v.remedy = "you are in the group " + a.group +
                   " that may open it, yet the system refuses: check its access control list "
                   "(getfacl " +
                   a.resolved + ") and security modules";
    } else if (group_usable && a.in_group) {
        v.remedy = "you are in the group " + a.group +
                   ", but this session started before you joined it: log out and in again (or "
                   "run: newgrp " +
                   a.group + ")";
    } else if (group_usable) {
        v.remedy = "join the group " + a.group + " that owns it: sudo usermod -aG " + a.group +
                   " " + (user.empty() ? "$USER" : user) + ", then log out and in again";
    } else {
        v.remedy = "no group you could join may open it: " + rule;
    }
    return v;
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
    std::string list;
    for (const auto& t : tried) list += "\n  " + t.port + ": " + outcome_text(t.result);
    if (readers.empty()) {
        throw CommandError(
            "no_reader_found",
            ports.empty() ? std::string("--port auto: the system lists no serial port. Is the "
                                        "reader plugged in? Name its port with --port")
                          : "--port auto: no reader answers on the serial ports tried; name its "
                            "port with --port. Tried:" +
                                list);
    }
    std::string names;
    for (const auto& r : readers) names += (names.empty() ? "" : " and ") + r;
    throw CommandError("several_readers", "--port auto: " + std::to_string(readers.size()) +
                                              " readers answer (" + names +
                                              "); choose one with --port. Tried:" + list);
}

}  // namespace tqrf::tool
