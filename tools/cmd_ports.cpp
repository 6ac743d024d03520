// ports: the serial ports the system lists, with their identity, and with --probe what answers
// on each (and on each port given with --port). Also registers the doctor command.
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "finding.h"

namespace tqrf::tool {

using nlohmann::json;

int run_doctor(const Globals& g);  // cmd_doctor.cpp

namespace {

struct PortsArgs {
    bool probe = false;
};

json probe_json(const ProbeLine& line) {
    const ProbeResult& r = line.result;
    json j = {{"outcome", outcome_word(r.outcome)}, {"message", probe_text(line)}};
    j["os_error"] = r.os_error.value();
    std::string bytes;
    char hex[3];
    for (const std::uint8_t byte : r.received) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        bytes += hex;
    }
    j["received"] = bytes;
    if (r.outcome == ProbeOutcome::Reader) {
        j["round_trip_ms"] = static_cast<double>(r.round_trip.count()) / 1000.0;
        j["hardware_version"] = version_text(r);
        j["reader_id"] = r.reader_id;
    }
    return j;
}

json port_json(const PortEntry& p, bool listed) {
    auto id = [](std::int32_t v) { return v < 0 ? json(nullptr) : json(usb_id_text(v)); };
    return {{"device", p.device},
            {"listed", listed},
            {"stable_path", p.stable_path},
            {"description", p.description},
            {"transport", transport_word(p.transport)},
            {"usb_vendor_id", id(p.usb_vendor_id)},
            {"usb_product_id", id(p.usb_product_id)},
            {"serial_number", p.serial_number},
            {"manufacturer", p.manufacturer},
            {"product", p.product},
            {"driver", p.driver},
            {"mark_space", mark_space_word(p.mark_space)}};
}

// One line: device, what it is, its USB identity, driver, mark/space, stable name.
std::string port_line(const PortEntry& p, bool listed) {
    std::string line = p.device;
    if (!listed) return line + "  (given with --port)";
    line += "  " + std::string(transport_word(p.transport));
    if (p.usb_vendor_id >= 0) {
        line += " " + usb_id_text(p.usb_vendor_id) + ":" + usb_id_text(p.usb_product_id);
    }
    if (!p.description.empty()) line += "  " + p.description;
    if (!p.serial_number.empty()) line += "  serial " + p.serial_number;
    if (!p.driver.empty()) line += "  driver " + p.driver;
    line += "  mark/space " + std::string(mark_space_word(p.mark_space));
    if (!p.stable_path.empty()) line += "  " + p.stable_path;
    return line;
}

void run_ports(const Globals& g, const PortsArgs& a) {
    if (g.simulate) throw usage_error("ports lists the system's ports; --simulate has none");
    for (const auto& p : g.ports) {
        if (p.empty()) {
            throw usage_error(
                "--port needs a port name such as /dev/ttyUSB0 or COM3, not an empty one");
        }
        if (p == "auto")
            throw usage_error("ports --probe probes every listed port; --port auto adds nothing");
    }
    if (!g.ports.empty() && !a.probe) {
        throw usage_error("--port with ports names a port to probe: add --probe");
    }
    std::vector<std::pair<PortEntry, bool>> all;
    for (auto& p : list_ports()) all.emplace_back(std::move(p), true);
    for (const auto& given : g.ports) {
        bool known = false;
        for (const auto& [p, listed] : all)
            known = known || p.device == given || p.stable_path == given;
        if (known) continue;
        PortEntry e;
        e.device = given;
        all.emplace_back(std::move(e), false);
    }
    json doc = json::array();
    for (const auto& [p, listed] : all) {
        std::string line = port_line(p, listed);
        json j = port_json(p, listed);
        if (a.probe) {
            const ProbeLine probed = probe(p.device);
            const json probed_json = probe_json(probed);
            line += "  ->  " + probed_json["message"].get<std::string>();
            j["probe"] = probed_json;
        }
        if (g.json) {
            doc.push_back(j);
        } else {
            std::cout << line << '\n';
        }
    }
    if (g.json) {
        std::cout << json{{"ports", doc}}.dump(2) << '\n';
    } else if (all.empty()) {
        warn(
            "no serial port is listed: is the reader's adapter plugged in? (a port that is not "
            "listed can still be tried: tqrf ports --probe --port PATH)");
    }
    std::cout << std::flush;
}

}  // namespace

std::function<std::optional<int>(const Globals&)> add_finding_commands(CLI::App& app) {
    auto args = std::make_shared<PortsArgs>();
    auto* ports = app.add_subcommand(
        "ports",
        "List the serial ports with their identity (USB ids, driver, whether it carries mark "
        "and space parity); --probe says what answers on each");
    ports->add_flag("--probe", args->probe,
                    "Send one link test to each port (and to each --port) and say what answers: "
                    "a reader, an echo, bytes that are no frame, nothing, or why it did not open");
    auto* doctor = app.add_subcommand(
        "doctor",
        "Check the reader's port, adapter, driver, line settings, latency and link, and say "
        "what to do about each problem (--port, TQRF_PORT, or the one reader found)");
    return [args, ports, doctor](const Globals& g) -> std::optional<int> {
        if (*ports) {
            run_ports(g, *args);
            return kExitOk;
        }
        if (*doctor) return run_doctor(g);
        return std::nullopt;
    };
}

}  // namespace tqrf::tool
