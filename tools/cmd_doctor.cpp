// doctor: a report on the reader's port that a technician can act on. Each finding is ok, a
// warning or a problem, with what to do about it. Exit 0 when the reader works.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "finding.h"
#include "platform_device.h"

namespace tqrf::tool {

using nlohmann::json;

namespace {

constexpr int kLinkTests = 20;
// The link test on a 19200-baud line: the 1 ms pause after the address byte (which crosses
// the line meanwhile), the 7-byte request frame and the 4-byte reply at 0.573 ms a byte.
constexpr double kByteMs = 11.0 / 19.2;
constexpr double kLinkTestFloorMs = 1.0 + (7 + 4) * kByteMs;
// A reply is taken within this window after its request (complete mode), plus --slack.
constexpr double kReplyWindowMs = 1.0 + 40.0;
// The doctor waits this long for each reply, so that late ones are measured, not lost.
constexpr unsigned kMeasureSlackMs = 300;

enum class Level { Ok, Warning, Problem };

const char* level_word(Level l) {
    static constexpr const char* kWords[] = {"ok", "warning", "problem"};  // in Level's order
    return kWords[static_cast<int>(l)];
}

struct Finding {
    std::string check;
    Level level = Level::Ok;
    std::string text;
    std::string remedy;
};

struct Report {
    std::string port;
    std::vector<Finding> findings;
    bool works = false;
    std::optional<double> min_ms, median_ms, max_ms;
    unsigned slack_ms = 0;
    std::string version;
    std::optional<std::uint32_t> reader_id;

    void add(std::string check, Level level, std::string text, std::string remedy = "") {
        findings.push_back({std::move(check), level, std::move(text), std::move(remedy)});
    }
};

std::string ms_text(double ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

std::string base_name(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr const char* kGoodAdapters =
    "use another adapter, one whose driver carries mark and space parity: FTDI (ftdi_sio), CP2102 "
    "or "
    "later (cp210x), PL2303 (pl2303), CH340/CH341 (ch341), or a built-in serial port";

constexpr const char* kLatencyRule =
    "let the driver use 1 ms: the library asks for it on open where the driver allows; to make "
    "it the adapter's setting, add a udev rule, /etc/udev/rules.d/99-tqrf-latency.rules:\n"
    "    ACTION==\"add\", SUBSYSTEM==\"usb-serial\", DRIVER==\"ftdi_sio\", "
    "ATTR{latency_timer}=\"1\"\n"
    "then run: sudo udevadm control --reload && sudo udevadm trigger (or plug the adapter in "
    "again)";

void check_access(Report& rep, const device::Access& a, const PortEntry* entry) {
    const AccessVerdict v = access_judgement(a, entry, device::user_name());
    rep.add("access", v.ok ? Level::Ok : Level::Problem, v.finding, v.remedy);
}

void check_adapter(Report& rep, const PortEntry* entry, const device::Access& a) {
    if (entry == nullptr) {
        if (a.pseudo_terminal) {
            rep.add("adapter", Level::Ok,
                    "a pseudo-terminal: a simulated reader or a network bridge, no adapter");
        } else {
            rep.add("adapter", Level::Warning,
                    "not among the serial ports the system lists, so its adapter and driver are "
                    "not known",
                    "check the name: tqrf ports lists the serial ports");
        }
        return;
    }
    std::string text = entry->description.empty() ? std::string(transport_word(entry->transport))
                                                  : entry->description;
    if (entry->usb_vendor_id >= 0) {
        text +=
            ", USB " + usb_id_text(entry->usb_vendor_id) + ":" + usb_id_text(entry->usb_product_id);
    }
    if (!entry->serial_number.empty()) text += ", serial " + entry->serial_number;
    text += entry->driver.empty() ? ", driver not known" : ", driver " + entry->driver;
    rep.add("adapter", Level::Ok, text);
}

void check_mark_space(Report& rep, const PortEntry* entry, const device::Access& a,
                      std::int32_t open_result) {
    if (open_result == TQRF_ERR_PARITY_UNSUPPORTED) {
        rep.add("mark/space", Level::Problem,
                "the adapter dropped mark and space parity when the line was set (read back): "
                "the reader never sees its address byte and never answers",
                kGoodAdapters);
        return;
    }
    const std::string read_back =
        a.pseudo_terminal  ? "; not read back on a pseudo-terminal, which keeps no parity"
        : open_result == 0 ? "; the line kept the settings when they were read back"
                           : "";
    if (entry == nullptr && a.pseudo_terminal) {
        rep.add("mark/space", Level::Ok,
                "a pseudo-terminal carries no parity bit: nothing to check or read back");
        return;
    }
    if (entry == nullptr) {
        rep.add("mark/space", a.pseudo_terminal ? Level::Ok : Level::Warning,
                std::string("the driver is not known") + read_back,
                a.pseudo_terminal ? ""
                                  : "if the reader does not answer: " + std::string(kGoodAdapters));
        return;
    }
    const std::string driver = entry->driver.empty() ? "its driver" : "the driver " + entry->driver;
    switch (static_cast<std::int32_t>(entry->mark_space)) {
        case TQRF_MARK_SPACE_YES:
            rep.add("mark/space", Level::Ok, driver + " carries mark and space parity" + read_back);
            break;
        case TQRF_MARK_SPACE_NO:
            rep.add("mark/space", Level::Problem,
                    driver +
                        " drops mark and space parity: the reader never sees its address "
                        "byte and never answers",
                    kGoodAdapters);
            break;
        default:
            rep.add(
                "mark/space", Level::Warning,
                driver + " may not carry mark and space parity (it is not known to)" + read_back,
                "if the reader does not answer: " + std::string(kGoodAdapters));
            break;
    }
}

// Drivers of adapters that keep no latency timer: a byte reaches the host as soon as the
// adapter's next USB poll (or the UART's interrupt) brings it, and there is nothing to set.
bool without_latency_timer(const PortEntry& entry) {
    static constexpr const char* kDrivers[] = {"ch341",   "ch343",       "pl2303",     "cp210x",
                                               "cdc_acm", "serial8250",  "serial",     "8250_pnp",
                                               "8250",    "dw-apb-uart", "uart-pl011", "rfcomm"};
    for (const char* d : kDrivers) {
        if (entry.driver == d) return true;
    }
    return static_cast<std::int32_t>(entry.transport) == TQRF_TRANSPORT_BUILTIN;
}

void check_latency(Report& rep, const PortEntry* entry) {
    if (entry == nullptr) return;
    const std::string driver = entry->driver.empty() ? "its driver" : "the driver " + entry->driver;
    const bool ftdi = entry->driver == "ftdi_sio";
    if (!ftdi && without_latency_timer(*entry)) {
        rep.add("latency", Level::Ok,
                driver +
                    " keeps no latency timer: nothing to set (a reply reaches the host as "
                    "the adapter passes it on)");
        return;
    }
    const char* root = std::getenv("TQRF_DEVICE_ROOT");
    const std::string file = std::string(root != nullptr ? root : "") + "/sys/class/tty/" +
                             base_name(entry->device) + "/device/latency_timer";
    std::ifstream in(file);
    long ms = -1;
    if (!(in >> ms)) {
        if (ftdi) {
            rep.add("latency", Level::Warning,
                    "the adapter's latency timer cannot be read (" + file + ")");
        }
        return;
    }
    if (ms <= 1) {
        rep.add("latency", Level::Ok,
                "the adapter's latency timer is " + std::to_string(ms) + " ms: low latency is on");
        return;
    }
    rep.add("latency", Level::Warning,
            "the adapter's latency timer is " + std::to_string(ms) +
                " ms and low latency is off: each reply reaches the host up to " +
                std::to_string(ms) + " ms after it is complete",
            ftdi ? std::string(kLatencyRule)
                 : "set it to 1 ms (" + driver +
                       " is not known to take the library's request "
                       "for low latency): echo 1 | sudo tee " +
                       file);
}

void run_link_tests(Report& rep, Reader& reader, const Globals& g) {
    std::vector<double> times;
    for (int i = 0; i < kLinkTests; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        auto r = reader.link_test();
        const auto t1 = std::chrono::steady_clock::now();
        if (!r) {
            rep.add("link", Level::Problem,
                    "link test " + std::to_string(i + 1) + " of " + std::to_string(kLinkTests) +
                        " failed: " + describe(r.error(), reader),
                    i == 0 ? "check the reader's power and cable, and that this is its port "
                             "(tqrf ports --probe)"
                           : "the line is unreliable: check the cable, and other programs on "
                             "the port");
            return;
        }
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    rep.min_ms = times.front();
    rep.max_ms = times.back();
    rep.median_ms = (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    // The least --slack that takes the slowest reply, with room to spare.
    const double over = *rep.max_ms + 5.0 - kReplyWindowMs;
    rep.slack_ms = over > 0 ? static_cast<unsigned>(std::ceil(over / 10.0) * 10.0) : 0;
    const std::string figures = std::to_string(kLinkTests) + " link tests: min " +
                                ms_text(*rep.min_ms) + ", median " + ms_text(*rep.median_ms) +
                                ", max " + ms_text(*rep.max_ms) + " (the line's floor " +
                                ms_text(kLinkTestFloorMs) + ")";
    if (rep.slack_ms <= g.slack_ms) {
        rep.add("link", Level::Ok,
                figures + "; --slack " + std::to_string(g.slack_ms) + " covers them" +
                    (*rep.min_ms < kLinkTestFloorMs ? " (faster than a 19200-baud line: not a "
                                                      "real serial line)"
                                                    : ""));
    } else {
        rep.add("link", Level::Warning,
                figures + "; the slowest replies need --slack " + std::to_string(rep.slack_ms),
                "run the tool with --slack " + std::to_string(rep.slack_ms) +
                    " (programs: the reply slack option of the library)");
    }
}

void print_text(const Report& rep) {
    std::cout << "tqrf doctor: " << (rep.port.empty() ? "no port" : rep.port) << '\n';
    for (const auto& f : rep.findings) {
        char head[40];
        std::snprintf(head, sizeof head, "%-8s %-11s ", level_word(f.level), f.check.c_str());
        std::cout << head << f.text << '\n';
        if (!f.remedy.empty()) std::cout << "         remedy: " << f.remedy << '\n';
    }
    std::cout << (rep.works ? "the reader works" : "the reader does not work") << '\n'
              << std::flush;
}

void print_json(const Report& rep) {
    json findings = json::array();
    for (const auto& f : rep.findings) {
        findings.push_back({{"check", f.check},
                            {"status", level_word(f.level)},
                            {"finding", f.text},
                            {"remedy", f.remedy.empty() ? json(nullptr) : json(f.remedy)}});
    }
    auto opt = [](const std::optional<double>& v) { return v ? json(*v) : json(nullptr); };
    json j = {{"port", rep.port.empty() ? json(nullptr) : json(rep.port)},
              {"works", rep.works},
              {"findings", findings},
              {"round_trip_ms",
               {{"min", opt(rep.min_ms)},
                {"median", opt(rep.median_ms)},
                {"max", opt(rep.max_ms)},
                {"floor", kLinkTestFloorMs}}},
              {"slack_ms", rep.min_ms ? json(rep.slack_ms) : json(nullptr)},
              {"hardware_version", rep.reader_id ? json(rep.version) : json(nullptr)},
              {"reader_id", rep.reader_id ? json(*rep.reader_id) : json(nullptr)}};
    std::cout << j.dump(2) << '\n' << std::flush;
}

void diagnose(Report& rep, const Globals& g) {
    std::string port;
    if (g.ports.size() > 1) throw usage_error("doctor looks at one port: give --port once");
    if (!g.ports.empty()) {
        port = g.ports.front();
        if (port.empty()) {
            throw usage_error(
                "--port needs a port name such as /dev/ttyUSB0 or COM3, not an empty one");
        }
    } else if (const char* env = std::getenv("TQRF_PORT"); env != nullptr && *env != '\0') {
        port = env;
    } else {
        port = "auto";
    }
    if (port == "auto") {
        try {
            port = find_the_reader();
            rep.add("port", Level::Ok, "the one reader found on the listed ports: " + port);
        } catch (const CommandError& e) {
            rep.add("port", Level::Problem, e.what(),
                    "plug the reader in, or name its port with --port");
            return;
        }
    }
    rep.port = port;
    const std::string device_path = device_for_port(port);
    const device::Access access = device::check(device_path);
    if (access.checked) {
        if (!access.exists) {
            rep.add("device", Level::Problem,
                    device_path + " does not exist (" +
                        std::error_code(access.os_error, std::system_category()).message() + ")",
                    "plug the reader in and power it; tqrf ports lists the serial ports");
            return;
        }
        if (!access.character_device) {
            rep.add("device", Level::Problem, device_path + " is not a serial device",
                    "tqrf ports lists the serial ports");
            return;
        }
        rep.add("device", Level::Ok,
                device_path + (access.resolved != device_path ? " -> " + access.resolved : "") +
                    ", a character device");
    }
    std::vector<PortEntry> ports;
    try {
        ports = list_ports();
    } catch (const CommandError&) {
        // Without the listing the adapter is not known; the rest still says a lot.
    }
    const PortEntry* entry = listed_entry(ports, port, access);
    if (access.checked) check_access(rep, access, entry);
    check_adapter(rep, entry, access);

    ReaderOptions options;
    options.reply_mode = g.timing;
    options.reply_slack = std::chrono::milliseconds(std::max(g.slack_ms, kMeasureSlackMs));
    auto reader = Reader::open(port, options);
    const std::int32_t open_result = reader ? 0 : reader.error().value();
    check_mark_space(rep, entry, access, open_result);
    if (!reader) {
        if (open_result != TQRF_ERR_PARITY_UNSUPPORTED) {
            const int os = Reader::last_open_error().value();
            rep.add("open", Level::Problem,
                    open_failure_message(port, device_path, open_result, os));
        }
        return;
    }
    check_latency(rep, entry);
    run_link_tests(rep, *reader, g);
    if (!rep.min_ms) return;
    auto version = reader->hardware_version();
    auto id = reader->reader_id();
    if (!version || !id) {
        const auto& ec = !version ? version.error() : id.error();
        rep.add("reader", Level::Problem,
                "the link test passes, but the reader does not give its " +
                    std::string(!version ? "version" : "identity") + ": " + describe(ec, *reader),
                "reset the reader (power it off and on)");
        return;
    }
    rep.version = *version;
    rep.reader_id = *id;
    char id_text[16];
    std::snprintf(id_text, sizeof id_text, "0x%08X", static_cast<unsigned>(*id));
    rep.add("reader", Level::Ok, "version " + *version + ", identity " + id_text);
    rep.works = true;
}

}  // namespace

int run_doctor(const Globals& g) {
    if (g.simulate) throw usage_error("doctor looks at a real port; --simulate has none");
    Report rep;
    diagnose(rep, g);
    if (g.json) {
        print_json(rep);
    } else {
        print_text(rep);
    }
    if (rep.works) return kExitOk;
    for (const auto& f : rep.findings) {
        if (f.level == Level::Problem) {
            warn("the reader does not work: " + f.check + ": " + f.text);
            break;
        }
    }
    return kExitFailed;
}

}  // namespace tqrf::tool
