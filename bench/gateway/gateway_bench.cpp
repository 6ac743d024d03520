// tqrf-gateway under load: paced simulated readers (in this process, one thread each), cards
// placed in and taken out of their fields on a schedule, the gateway as a process of its own
// and a subscriber (mosquitto_sub, started by bench/gateway/run.sh) that stamps each event with
// the time it took it. Reports the time from a card's arrival (or removal) in the simulated field
// to the subscriber's receipt, the gateway's CPU time per event and the events per second.
//
//   gateway_bench --gateway EXE --broker-port N --received FILE --work DIR [options]
//
// FILE is the subscriber's output, one line per event: "<unix time with ns> <payload>"
// (mosquitto_sub -F '%U %p'). See docs/performance.md, "The gateway on MQTT".
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tqrf_sim/simulator.h"

namespace {

using json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "gateway_bench: %s\n", message.c_str());
    std::exit(1);
}

double unix_now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// user + system CPU time of a process, in seconds (/proc/PID/stat, fields 14 and 15).
double cpu_seconds(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');  // the command name may hold spaces
    if (close == std::string::npos) die("cannot read /proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stoull(f);
        if (i == 15) stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// "2026-12-09T22:19:03.123Z" -> Unix time in seconds.
double parse_utc(const std::string& text) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7) {
        return 0;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + ms / 1000.0;
}

std::string reader_name(const std::string& pty) {
    std::string n = pty.substr(5);  // "/dev/pts/3" -> "pts-3", as the gateway names it
    std::replace(n.begin(), n.end(), '/', '-');
    return n;
}

struct Options {
    std::string gateway, received, work;
    int broker_port = 0;
    int readers = 16;
    int interval_ms = 100;
    int idle_s = 10;
    int phase_s = 30;
};

// A load: each reader has a card in its field for a time drawn between hold_min and hold_max,
// then none for a time drawn between gap_min and gap_max, over and over. Both drawn, so that a
// card's removal falls anywhere in the gateway's poll cycle whatever its arrival did.
struct Phase {
    const char* name;
    int hold_min_ms, hold_max_ms, gap_min_ms, gap_max_ms;
};

// One card event as the bench made it.
struct Made {
    std::string phase;
    double at = 0;  // Unix time, just before the simulator was told
};

class GatewayProcess {
  public:
    GatewayProcess(const Options& o, const std::vector<std::string>& ports) {
        std::vector<std::string> args{
            o.gateway,         "--broker",   "mqtt://127.0.0.1:" + std::to_string(o.broker_port),
            "--name",          "bench",      "--state",
            o.work + "/state", "--interval", std::to_string(o.interval_ms)};
        for (const auto& p : ports) {
            args.push_back("--port");
            args.push_back(p);
        }
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        log_ = o.work + "/gateway.log";
        pid_ = ::fork();
        if (pid_ < 0) die("fork");
        if (pid_ == 0) {
            (void)::setpriority(PRIO_PROCESS, 0, 0);  // the host's own priority, not the readers'
            if (!std::freopen(log_.c_str(), "w", stderr)) _exit(126);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~GatewayProcess() { stop(); }
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    pid_t pid() const { return pid_; }
    std::string log() const { return slurp(log_); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
    }

  private:
    pid_t pid_ = 0;
    std::string log_;
};

std::size_t count_lines(const std::string& path) {
    const std::string s = slurp(path);
    return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n'));
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

Options parse(int argc, char** argv) {
    Options o;
    const std::pair<const char*, std::string*> texts[] = {
        {"--gateway", &o.gateway}, {"--received", &o.received}, {"--work", &o.work}};
    const std::pair<const char*, int*> numbers[] = {{"--broker-port", &o.broker_port},
                                                    {"--readers", &o.readers},
                                                    {"--interval", &o.interval_ms},
                                                    {"--idle", &o.idle_s},
                                                    {"--phase", &o.phase_s}};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) die("missing value for " + a);
        const std::string v = argv[++i];
        const auto named = [&](const auto& option) { return a == option.first; };
        if (const auto t = std::find_if(std::begin(texts), std::end(texts), named);
            t != std::end(texts)) {
            *t->second = v;
        } else if (const auto n = std::find_if(std::begin(numbers), std::end(numbers), named);
                   n != std::end(numbers)) {
            *n->second = std::atoi(v.c_str());
        } else {
            die("unknown option " + a);
        }
    }
    if (o.gateway.empty() || o.received.empty() || o.work.empty() || o.broker_port <= 0) {
        die("usage: gateway_bench --gateway EXE --broker-port N --received FILE --work DIR "
            "[--readers N] [--interval MS] [--idle S] [--phase S]");
    }
    if (o.readers < 1 || o.readers > 64) die("--readers must be 1 to 64");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    // The readers are devices of their own: other work on the machine should not delay them as
    // it delays the host. Raised when permitted (threads started from here on inherit it).
    (void)::setpriority(PRIO_PROCESS, 0, -10);

    tqrf_sim::SimulatorOptions so;
    so.pacing = true;
    so.timing = tqrf_sim::TimingProfile::Mf1k;
    so.latency = std::chrono::microseconds(0);
    so.default_card = false;
    std::vector<std::unique_ptr<tqrf_sim::Simulator>> sims;
    std::vector<std::string> ports, names;
    for (int i = 0; i < o.readers; ++i) {
        sims.push_back(std::make_unique<tqrf_sim::Simulator>(so));
        sims.back()->start();
        ports.push_back(sims.back()->slave_path());
        names.push_back(reader_name(ports.back()));
    }

    GatewayProcess gw(o, ports);
    // Every reader online (the gateway logs each), then the broker connection.
    const auto ready_by = SteadyClock::now() + std::chrono::seconds(30);
    for (;;) {
        const std::string log = gw.log();
        std::size_t online = 0;
        for (std::size_t at = log.find(" online"); at != std::string::npos;
             at = log.find(" online", at + 1)) {
            ++online;
        }
        if (online >= static_cast<std::size_t>(o.readers) &&
            log.find("connected to the broker") != std::string::npos) {
            break;
        }
        if (SteadyClock::now() > ready_by) die("the gateway did not start:\n" + log);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Idle: the readers polled, no card anywhere.
    // Each poll of an empty field is one request: the readers' counts give the poll cycle.
    std::uint64_t polls0 = 0, polls1 = 0;
    for (const auto& s : sims) polls0 += s->exchanges();
    double cpu0 = cpu_seconds(gw.pid());
    double t0 = unix_now();
    std::this_thread::sleep_for(std::chrono::seconds(o.idle_s));
    const double idle_s = unix_now() - t0;
    const double idle_cpu_per_s = (cpu_seconds(gw.pid()) - cpu0) / idle_s;
    for (const auto& s : sims) polls1 += s->exchanges();
    const double cycle_ms =
        polls1 > polls0 ? idle_s * 1000 * o.readers / static_cast<double>(polls1 - polls0) : 0;

    const Phase phases[] = {{"steady", 300, 700, 500, 1500}, {"rush", 200, 400, 200, 400}};
    std::map<std::string, Made> made;  // "reader uid event" -> when
    std::mt19937 rng(7);
    std::uint32_t next_uid = 0x10000001;
    struct PhaseResult {
        double seconds = 0, cpu = 0;
        std::size_t events = 0;
    };
    std::map<std::string, PhaseResult> results;
    for (const Phase& ph : phases) {
        // Per reader: the card in its field (0 when none) and when it changes next.
        std::vector<std::uint32_t> card(sims.size(), 0);
        std::vector<SteadyClock::time_point> due(sims.size());
        std::uniform_int_distribution<int> gap(ph.gap_min_ms, ph.gap_max_ms);
        std::uniform_int_distribution<int> hold(ph.hold_min_ms, ph.hold_max_ms);
        std::uniform_int_distribution<int> start(0, ph.gap_max_ms);
        const auto begin = SteadyClock::now();
        for (auto& d : due) d = begin + std::chrono::milliseconds(start(rng));
        const auto end = begin + std::chrono::seconds(o.phase_s);
        const std::size_t received_before = count_lines(o.received);
        std::size_t events = 0;
        cpu0 = cpu_seconds(gw.pid());
        t0 = unix_now();
        for (;;) {
            const auto i =
                static_cast<std::size_t>(std::min_element(due.begin(), due.end()) - due.begin());
            // Past the end, only cards still in a field are taken out.
            if (due[i] >= end && card[i] == 0) {
                due[i] = SteadyClock::time_point::max();
                if (std::all_of(due.begin(), due.end(),
                                [](auto d) { return d == SteadyClock::time_point::max(); })) {
                    break;
                }
                continue;
            }
            std::this_thread::sleep_until(due[i]);
            // A new card arrives in an empty field; the one in the field leaves.
            const bool arrives = card[i] == 0;
            if (arrives) card[i] = next_uid++;
            const tqrf_sim::Uid uid{
                static_cast<std::uint8_t>(card[i] >> 24), static_cast<std::uint8_t>(card[i] >> 16),
                static_cast<std::uint8_t>(card[i] >> 8), static_cast<std::uint8_t>(card[i])};
            char uid_hex[9];
            std::snprintf(uid_hex, sizeof uid_hex, "%08X", card[i]);
            made[names[i] + " " + uid_hex + (arrives ? " arrived" : " left")] = {ph.name,
                                                                                 unix_now()};
            if (arrives) {
                sims[i]->place_card(uid);
                due[i] += std::chrono::milliseconds(hold(rng));
            } else {
                sims[i]->remove_card(uid);
                card[i] = 0;
                due[i] += std::chrono::milliseconds(gap(rng));
            }
            ++events;
        }
        // Until the subscriber has taken every event of the phase (bounded).
        const auto drain_by = SteadyClock::now() + std::chrono::seconds(20);
        while (count_lines(o.received) < received_before + events &&
               SteadyClock::now() < drain_by) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        results[ph.name] = {unix_now() - t0, cpu_seconds(gw.pid()) - cpu0, events};
    }
    gw.stop();
    for (auto& s : sims) s->stop();

    // What the subscriber took: the first receipt of each event; QoS 1 may repeat one.
    struct Times {
        std::vector<double> total, to_gateway, to_subscriber;
    };
    std::map<std::string, Times> times;  // "phase event"
    std::map<std::string, std::size_t> missing, duplicates;
    std::map<std::string, bool> seen;
    std::istringstream lines(slurp(o.received));
    for (std::string line; std::getline(lines, line);) {
        const auto sp = line.find(' ');
        if (sp == std::string::npos) continue;
        const double got = std::atof(line.substr(0, sp).c_str());
        const json e = json::parse(line.substr(sp + 1), nullptr, false);
        if (!e.is_object() || !e.contains("event")) continue;
        const std::string key =
            e.value("reader", "") + " " + e.value("uid", "") + " " + e.value("event", "");
        const auto it = made.find(key);
        if (it == made.end()) continue;
        const std::string group = it->second.phase + " " + e.value("event", "");
        if (seen[key]) {
            ++duplicates[group];
            continue;
        }
        seen[key] = true;
        const double published = parse_utc(e.value("time", ""));
        Times& t = times[group];
        t.total.push_back((got - it->second.at) * 1000);
        t.to_gateway.push_back((published - it->second.at) * 1000);
        t.to_subscriber.push_back((got - published) * 1000);
    }
    for (const auto& [key, m] : made) {
        if (!seen[key]) ++missing[m.phase + " " + key.substr(key.rfind(' ') + 1)];
    }

    std::printf(
        "Poll cycle of an empty field (the gateway's interval and one request on the line): "
        "%.1f ms\n\n",
        cycle_ms);
    std::printf(
        "| Load | Event | Events | Median ms | p90 ms | p99 ms | Max ms | Card to "
        "gateway, median ms | Gateway to subscriber, median ms | Missing | "
        "Duplicates |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Phase& ph : phases) {
        for (const char* ev : {"arrived", "left"}) {
            const std::string g = std::string(ph.name) + " " + ev;
            const Times& t = times[g];
            const auto max =
                t.total.empty() ? 0.0 : *std::max_element(t.total.begin(), t.total.end());
            std::printf("| %s | %s | %zu | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %zu | %zu |\n",
                        ph.name, ev, t.total.size(), percentile(t.total, 0.5),
                        percentile(t.total, 0.9), percentile(t.total, 0.99), max,
                        percentile(t.to_gateway, 0.5), percentile(t.to_subscriber, 0.5), missing[g],
                        duplicates[g]);
        }
    }
    std::printf(
        "\n| Load | Card hold ms | Gap ms | Events | Seconds | Events/s | Gateway CPU s | "
        "CPU ms/event | CPU ms/event above idle | Gateway CPU %% of a core |\n");
    std::printf("|---|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
    std::printf(
        "| idle (%d readers polled every %d ms, no card) | | | 0 | %d | 0 | %.2f | | | "
        "%.1f |\n",
        o.readers, o.interval_ms, o.idle_s, idle_cpu_per_s * o.idle_s, idle_cpu_per_s * 100);
    for (const Phase& ph : phases) {
        const PhaseResult& r = results[ph.name];
        const double per = r.events ? r.cpu * 1000 / static_cast<double>(r.events) : 0;
        const double above =
            r.events ? (r.cpu - idle_cpu_per_s * r.seconds) * 1000 / static_cast<double>(r.events)
                     : 0;
        std::printf("| %s | %d-%d | %d-%d | %zu | %.1f | %.1f | %.2f | %.2f | %.2f | %.1f |\n",
                    ph.name, ph.hold_min_ms, ph.hold_max_ms, ph.gap_min_ms, ph.gap_max_ms, r.events,
                    r.seconds, static_cast<double>(r.events) / r.seconds, r.cpu, per, above,
                    r.cpu / r.seconds * 100);
    }
    return 0;
}
