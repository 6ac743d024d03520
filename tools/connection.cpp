#include "connection.h"

#include <cstdio>
#include <cstdlib>

#include "errors.h"
#include "finding.h"
#include "platform.h"
#include "support.h"

namespace tqrf::tool {

void Tracer::event(const std::string& port, const Trace& t) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
        started_ = true;
        origin_ = t.time;
    }
    const auto us = (t.time - origin_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    std::string line = std::string("trace ") + stamp + "  ";
    if (name_ports) line += port + "  ";
    std::string bytes;
    char hex[4];
    const std::size_t hide_from = !show_keys && t.carries_key() ? Trace::key_offset : t.count;
    for (std::size_t i = 0; i < t.count; ++i) {
        if (i < hide_from) {
            std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", t.bytes[i]);
        } else {
            std::snprintf(hex, sizeof hex, " **");
        }
        bytes += hex;
    }
    switch (t.event) {
        case TraceEvent::Address:
            line += "> " + bytes + "  (address, mark parity)";
            break;
        case TraceEvent::Frame:
            line += "> " + bytes + "  (frame, space parity)";
            break;
        case TraceEvent::Reply:
            line += "< " + (bytes.empty() ? std::string("(nothing)") : bytes) +
                    "  (reply, space parity)";
            break;
        case TraceEvent::Retry:
            line += "! " + bytes + "  (after " + std::to_string(t.result) +
                    ": command code, attempt, what was done)";
            break;
        case TraceEvent::Result:
            line += "= " + std::to_string(t.result) + " " +
                    (t.result == 0 ? std::string("done") : describe(result_code(t.result)));
            break;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::unique_ptr<Connection> Connection::open(const Globals& g, bool several_allowed,
                                             bool keep_going) {
    std::unique_ptr<Connection> c(new Connection);
    std::vector<std::string> ports = g.ports;
    for (const auto& p : ports) {
        if (p.empty()) {
            throw usage_error(
                "--port needs a port name such as /dev/ttyUSB0 or COM3, not an empty one");
        }
    }
    if (g.simulate && !ports.empty()) {
        throw usage_error("--port and --simulate exclude each other");
    }
    if (!g.simulate && ports.empty()) {
        // Only a reader named nowhere else comes from the environment.
        if (const char* env = std::getenv("TQRF_PORT"); env != nullptr && *env != '\0') {
            ports.emplace_back(env);
        }
    }
    if (!g.simulate && ports.empty()) {
        throw usage_error(
            "no reader given: use --port PORT (COM3, /dev/ttyUSB0), TQRF_PORT, or --simulate");
    }
    // "auto": the one reader that answers on the ports the system lists.
    for (auto& p : ports) {
        if (p == "auto") p = find_the_reader();
    }
    if (ports.size() > 1 && !several_allowed) {
        throw usage_error("--port may be given more than once only for scan and watch");
    }
    if (g.simulate) {
        const auto image = demo_card_image();
        c->sim_ = platform::start_simulated_reader(image.data(), image.size());
        ports = {c->sim_->port()};
    }
    c->tracer_.name_ports = ports.size() > 1;
    c->tracer_.show_keys = g.trace_keys;
    c->options_.reply_mode = g.timing;
    c->options_.reply_slack = std::chrono::milliseconds(g.slack_ms);
    c->options_.attempts = g.retries;
    c->trace_ = g.trace || g.trace_keys;
    c->simulated_ = g.simulate;
    const bool tolerate = keep_going && ports.size() > 1;
    for (const auto& port : ports) {
        const std::string shown = g.simulate ? std::string("simulated reader") : port;
        if (!tolerate) {
            c->links_.push_back(Link{shown, c->open_one(port, shown)});
            continue;
        }
        try {
            c->links_.push_back(Link{shown, c->open_one(port, shown)});
        } catch (const CommandError& e) {
            c->failures_.push_back(OpenFailure{c->links_.size(), e});
            c->links_.push_back(Link{shown, Reader{}});
        }
    }
    return c;
}

Reader Connection::open_one(const std::string& port, const std::string& shown) {
    auto reader = Reader::open(port, options_);
    if (!reader) {
        const std::int32_t r = reader.error().value();
        const int os = Reader::last_open_error().value();
        throw CommandError(open_failure_kind(r, os),
                           open_failure_message(port, device_for_port(port), r, os), kExitFailed,
                           r);
    }
    if (trace_) {
        Tracer* tracer = &tracer_;
        (void)reader->set_trace([tracer, shown](const Trace& t) { tracer->event(shown, t); });
    }
    return std::move(*reader);
}

Reader Connection::reopen(const std::string& port) {
    return open_one(simulated_ && sim_ ? sim_->port() : port, port);
}

Connection::~Connection() {
    links_.clear();  // close the readers before the simulator stops
}

}  // namespace tqrf::tool
