// The reader benchmark: the shared library, through its handle API, against tqrf-sim processes
// on paced lines. For each timing profile of the simulated reader (instant, mf1k) and each
// reply mode (complete, fixed) it measures single commands (read, write, authenticate, request),
// a tap-to-data sequence, a whole 1K card dump, the CPU time and heap calls per command, and 1,
// 2 and 4 readers in parallel, each on a simulator of its own; then the retry layer: a clean
// session with 1 and with 3 attempts, and whole-card dumps on a reader that loses 2 % of its
// replies. Every figure is printed next to its line floor: the least time the line allows (see
// floor_ms()).
//
//   tqrf_reader_bench --sim PATH/tqrf-sim [--quick] [--calls N] [--data FILE]
//   tqrf_reader_bench --sim PATH/tqrf-sim --retry [--retry-dumps N]   (the retry layer alone)
//
// Not a test: nothing here passes or fails on a time. bench/run.sh runs it and publishes the
// figures in docs/performance.md.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/alloc_count.h"
#include "tq_RWD_DLL.h"
#include "tqrf_sim/timing.h"

namespace {

using tqrf_sim::TimingProfile;

// 11 bits a byte at 19200 baud.
constexpr double kByteMs = 11.0 * 1000.0 / 19200.0;
// The pause after the address byte (the address byte itself goes out during it).
constexpr double kAddressPauseMs = 1.0;
// Fixed mode's pause after the frame; the frame and the reply cross the line during it.
constexpr double kFixedPauseMs = 40.0;

constexpr std::uint8_t kKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kBlockData[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                         0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Voluntary context switches of the calling thread: each is a sleep and a wake-up.
std::int64_t thread_switches() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// The CPU time one sleep and its wake-up cost the calling thread on this machine (in a virtual
// machine mostly the timer or the interrupt that ends the sleep): a timed sleep, and a wait in
// poll() that bytes from another thread end.
double timed_wake_cost_us() {
    constexpr int kSleeps = 400;
    const double c0 = thread_cpu_us();
    for (int i = 0; i < kSleeps; ++i) {
        timespec ts{0, 500'000};
        nanosleep(&ts, nullptr);
    }
    return (thread_cpu_us() - c0) / kSleeps;
}

double data_wake_cost_us() {
    constexpr int kWakes = 400;
    int fds[2];
    if (::pipe(fds) != 0) return 0;
    std::thread writer([&] {
        for (int i = 0; i < kWakes; ++i) {
            timespec ts{0, 500'000};
            nanosleep(&ts, nullptr);
            const char byte = 0;
            (void)::write(fds[1], &byte, 1);
        }
    });
    const double c0 = thread_cpu_us();
    for (int i = 0; i < kWakes; ++i) {
        pollfd p{fds[0], POLLIN, 0};
        (void)::poll(&p, 1, -1);
        char byte;
        (void)::read(fds[0], &byte, 1);
    }
    const double cost = (thread_cpu_us() - c0) / kWakes;
    writer.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return cost;
}

// User and system CPU time of the calling thread, from getrusage.
double rusage_cpu_us() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "tqrf_reader_bench: %s\n", message.c_str());
    std::exit(1);
}

// ---- The simulated reader, as a process of its own -------------------------------------------

class SimProcess {
  public:
    // `adapter`: what sits between the reader and the host (tqrf-sim --adapter); `extra`: more
    // options (faults, their seed).
    SimProcess(const std::string& exe, TimingProfile profile, const char* adapter = "direct",
               const std::vector<std::string>& extra = {}) {
        const char* timing = tqrf_sim::timing_profile_name(profile);
        std::vector<std::string> args{exe,         "--pace", "--timing",  timing,
                                      "--latency", "0",      "--adapter", adapter};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) die("pipe");
        pid_ = ::fork();
        if (pid_ < 0) die("fork");
        if (pid_ == 0) {
            // The reader is a device of its own: other work on the machine should not delay
            // it as it delays the host. Raised when permitted, left as it is otherwise.
            (void)::setpriority(PRIO_PROCESS, 0, -10);
            ::dup2(fds[1], STDOUT_FILENO);
            ::execv(exe.c_str(), argv.data());
            _exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
        // The first line is the device.
        const double deadline = now_ms() + 10000;
        char c = 0;
        while (c != '\n') {
            pollfd p{out_, POLLIN, 0};
            const int left = static_cast<int>(deadline - now_ms());
            if (left <= 0 || ::poll(&p, 1, left) <= 0) die("tqrf-sim did not start: " + exe);
            if (::read(out_, &c, 1) != 1) die("tqrf-sim did not start: " + exe);
            if (c != '\n') device_ += c;
        }
    }
    ~SimProcess() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    const std::string& device() const { return device_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string device_;
};

struct Reader {
    tqrf_reader* r = nullptr;
    explicit Reader(const std::string& device) {
        if (tqrf_reader_open(device.c_str(), &r) != 0) die("cannot open " + device);
    }
    ~Reader() { tqrf_reader_close(r); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
};

// ---- What crossed the line, and the floor it gives -------------------------------------------

struct Wire {
    std::vector<std::uint8_t> frame;  // LEN, payload, XOR
    std::vector<std::uint8_t> reply;  // the reply frame
};

void TQRF_CALL on_trace(void* user, std::int32_t event, std::int32_t, const std::uint8_t* bytes,
                        std::uint32_t count, std::uint64_t) {
    auto* wire = static_cast<Wire*>(user);
    if (event == TQRF_TRACE_FRAME) wire->frame.assign(bytes, bytes + count);
    if (event == TQRF_TRACE_REPLY) wire->reply.assign(bytes, bytes + count);
}

// Runs one call with the trace on and gives what went over the line.
// A step of the set-up, not measured: a busy machine may delay a simulator that has just
// started past a reply's deadline, so a failed step is tried again, twice at most.
template <class F>
std::int32_t set_up(F&& step) {
    std::int32_t result = step();
    for (int again = 0; again < 2 && result != 0; ++again) result = step();
    return result;
}

template <class F>
Wire probe(tqrf_reader* r, F&& call) {
    Wire wire;
    tqrf_reader_set_trace(r, on_trace, &wire);
    const std::int32_t result = set_up(call);
    tqrf_reader_set_trace(r, nullptr, nullptr);
    if (result != 0 || wire.frame.size() < 3 || wire.reply.size() < 4) {
        std::string what = "probe call failed with " + std::to_string(result) + ": frame";
        char hex[4];
        for (std::uint8_t b : wire.frame) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            what += hex;
        }
        what += ", reply";
        for (std::uint8_t b : wire.reply) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            what += hex;
        }
        die(what);
    }
    return wire;
}

// The least time a command can take. Complete mode: the address pause, then the frame and the
// reply at the line's rate, and between them the reader's working time under the profile.
// Fixed mode: the address pause and the fixed pause, which the frame and reply fall inside.
double floor_ms(const Wire& w, TimingProfile profile, bool complete) {
    if (!complete) return kAddressPauseMs + kFixedPauseMs;
    const std::span<const std::uint8_t> payload(w.frame.data() + 2, w.frame.size() - 3);
    const std::uint8_t status = w.reply[w.reply.size() - 2];
    const double working =
        static_cast<double>(tqrf_sim::processing_time(profile, payload, status).count()) / 1e6;
    return kAddressPauseMs + static_cast<double>(w.frame.size() + w.reply.size()) * kByteMs +
           working;
}

// ---- Measuring -------------------------------------------------------------------------------

struct Sample {
    double ms = 0;
    double cpu_us = 0;
    std::int64_t switches = 0;
    std::uint64_t allocations = 0;
    std::int32_t result = 0;
};

template <class F>
Sample run_once(F& call) {
    Sample s;
    const std::int64_t w0 = thread_switches();
    const std::uint64_t a0 = tqrf::testing::allocations();
    tqrf::testing::count_allocations(true);
    const double c0 = thread_cpu_us();
    const double t0 = now_ms();
    s.result = call();
    const double t1 = now_ms();
    const double c1 = thread_cpu_us();
    tqrf::testing::count_allocations(false);
    s.ms = t1 - t0;
    s.cpu_us = c1 - c0;
    s.allocations = tqrf::testing::allocations() - a0;
    s.switches = thread_switches() - w0;
    return s;
}

struct Stats {
    double min = 0, median = 0, p95 = 0, mean = 0, max = 0;
};

Stats stats_of(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    s.min = v.front();
    s.max = v.back();
    s.median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    s.p95 = v[static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n))) - 1];
    double sum = 0;
    for (double x : v) sum += x;
    s.mean = sum / static_cast<double>(n);
    return s;
}

struct Row {
    TimingProfile profile = TimingProfile::Instant;
    bool complete = true;
    std::string figure;
    int runs = 0;
    int commands = 1;  // per run
    Stats ms;
    double floor_ms = 0;
    double cpu_us_per_command = 0;  // median over runs, per command
    double switches_per_command = 0;
    double allocations_per_command = 0;
    int failed = 0;
    std::int32_t first_failure = 0;  // the result of the first failed run
};

template <class F>
Row measure(TimingProfile profile, bool complete, std::string figure, int runs, int commands,
            double floor, F call) {
    Row row;
    row.profile = profile;
    row.complete = complete;
    row.figure = std::move(figure);
    row.runs = runs;
    row.commands = commands;
    row.floor_ms = floor;
    std::vector<double> times, cpu;
    std::uint64_t allocations = 0;
    std::int64_t switches = 0;
    for (int i = 0; i < 3 && commands == 1; ++i) (void)call();  // warm up
    for (int i = 0; i < runs; ++i) {
        const Sample s = run_once(call);
        // A failed run stopped early or waited out its deadline: its time is no figure.
        if (s.result != 0) {
            if (row.failed++ == 0) row.first_failure = s.result;
            continue;
        }
        times.push_back(s.ms);
        cpu.push_back(s.cpu_us / commands);
        allocations += s.allocations;
        switches += s.switches;
    }
    row.ms = stats_of(times);
    row.cpu_us_per_command = stats_of(cpu).median;
    const double counted = static_cast<double>(std::max<std::size_t>(times.size(), 1) *
                                               static_cast<std::size_t>(commands));
    row.allocations_per_command = static_cast<double>(allocations) / counted;
    row.switches_per_command = static_cast<double>(switches) / counted;
    return row;
}

struct ParallelRow {
    TimingProfile profile = TimingProfile::Instant;
    bool complete = true;
    int readers = 0;
    double commands_per_s = 0;
    double floor_commands_per_s = 0;
    double cpu_us_per_command = 0;
    int failed = 0;
};

struct Options {
    std::string sim;
    int calls = 200;
    int taps = 50;
    int dumps = 3;
    int parallel_reads = 100;
    bool compare_only = false;
    bool retry_only = false;
    int retry_dumps = 20;  // dumps with lost replies, and clean ones beside them
    std::string data;
};

// Find, load key A of `sector`, authenticate: the card's sector is open for block commands.
std::int32_t open_sector(tqrf_reader* r, int sector) {
    std::uint8_t type[2], serial[4], size = 0;
    std::int32_t res = tqrf_reader_find(r, TQRF_REQUEST_ALL, type, serial, &size);
    if (res == 0) res = tqrf_reader_loadkey(r, TQRF_KEY_A, sector, kKey);
    if (res == 0) res = tqrf_reader_authenticate(r, TQRF_KEY_A, sector);
    return res;
}

// A reader on a simulator of its own, in complete mode, with sector 1 authenticated.
struct OpenSector {
    SimProcess sim;
    Reader reader;
    OpenSector(const Options& o, TimingProfile profile, const char* adapter = "direct")
        : sim(o.sim, profile, adapter), reader(sim.device()) {
        tqrf_reader_set_option(reader.r, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_COMPLETE);
        if (set_up([&] { return open_sector(reader.r, 1); }) != 0) {
            die("no card in the simulated reader");
        }
    }
};

const char* mode_name(bool complete) {
    return complete ? "complete" : "fixed";
}

// The figures of one profile and one reply mode, on one simulator.
void run_one(const Options& o, TimingProfile profile, bool complete, std::vector<Row>& rows) {
    // What each command puts on the line, taken in complete mode.
    OpenSector session(o, profile);
    tqrf_reader* r = session.reader.r;
    std::uint8_t block[16], type[2], serial[4], size = 0;
    const Wire w_read = probe(r, [&] { return tqrf_reader_read(r, 4, block); });
    const Wire w_write = probe(r, [&] { return tqrf_reader_write(r, 5, kBlockData); });
    const Wire w_loadkey = probe(r, [&] { return tqrf_reader_loadkey(r, TQRF_KEY_A, 1, kKey); });
    const Wire w_auth = probe(r, [&] { return tqrf_reader_authenticate(r, TQRF_KEY_A, 1); });
    const Wire w_request =
        probe(r, [&] { return tqrf_reader_request(r, TQRF_REQUEST_IDLE, type); });
    const Wire w_anticoll = probe(r, [&] { return tqrf_reader_anticoll(r, 0, serial); });
    const Wire w_select = probe(r, [&] { return tqrf_reader_select(r, serial, &size); });
    auto floor = [&](const Wire& w) { return floor_ms(w, profile, complete); };

    tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE,
                           complete ? TQRF_REPLY_COMPLETE : TQRF_REPLY_FIXED);

    if (set_up([&] { return open_sector(r, 1); }) != 0) die("cannot open sector 1");
    rows.push_back(measure(profile, complete, "read", o.calls, 1, floor(w_read),
                           [&] { return tqrf_reader_read(r, 4, block); }));
    rows.push_back(measure(profile, complete, "write", o.calls, 1, floor(w_write),
                           [&] { return tqrf_reader_write(r, 5, kBlockData); }));
    rows.push_back(measure(profile, complete, "authenticate", o.calls, 1, floor(w_auth),
                           [&] { return tqrf_reader_authenticate(r, TQRF_KEY_A, 1); }));
    rows.push_back(measure(profile, complete, "request", o.calls, 1, floor(w_request),
                           [&] { return tqrf_reader_request(r, TQRF_REQUEST_IDLE, type); }));

    const double tap_floor = floor(w_request) + floor(w_anticoll) + floor(w_select) +
                             floor(w_loadkey) + floor(w_auth) + floor(w_read);
    rows.push_back(
        measure(profile, complete, "tap to data (6 commands)", o.taps, 6, tap_floor, [&] {
            std::int32_t res = tqrf_reader_request(r, TQRF_REQUEST_IDLE, type);
            if (res == 0) res = tqrf_reader_anticoll(r, 0, serial);
            if (res == 0) res = tqrf_reader_select(r, serial, &size);
            if (res == 0) res = tqrf_reader_loadkey(r, TQRF_KEY_A, 1, kKey);
            if (res == 0) res = tqrf_reader_authenticate(r, TQRF_KEY_A, 1);
            if (res == 0) res = tqrf_reader_read(r, 4, block);
            return res;
        }));

    if (set_up([&] { return tqrf_reader_find(r, TQRF_REQUEST_ALL, type, serial, &size); }) != 0) {
        die("find failed");
    }
    const double dump_floor = 16 * (floor(w_loadkey) + floor(w_auth) + 4 * floor(w_read));
    rows.push_back(
        measure(profile, complete, "1K dump (96 commands)", o.dumps, 96, dump_floor, [&] {
            std::int32_t res = 0;
            for (int sector = 0; sector < 16 && res == 0; ++sector) {
                res = tqrf_reader_loadkey(r, TQRF_KEY_A, sector, kKey);
                if (res == 0) res = tqrf_reader_authenticate(r, TQRF_KEY_A, sector);
                for (int b = 0; b < 4 && res == 0; ++b)
                    res = tqrf_reader_read(r, sector * 4 + b, block);
            }
            return res;
        }));
}

// A reader behind an FTDI USB adapter whose latency timer is `timer_ms`: a read and a 1K dump,
// against the line's floor and the floor plus the timer (the latest the chip hands a reply
// over once it crossed the line).
struct AdapterRow {
    int timer_ms = 0;
    Row row;
    double worst_floor_ms = 0;  // the line's floor plus the timer for each command
};

void run_adapter(const Options& o, int timer_ms, bool complete, std::vector<AdapterRow>& rows) {
    const TimingProfile profile = TimingProfile::Mf1k;
    const std::string adapter = "ftdi:" + std::to_string(timer_ms);
    OpenSector session(o, profile, adapter.c_str());
    tqrf_reader* r = session.reader.r;
    std::uint8_t block[16], type[2], serial[4], size = 0;
    const Wire w_read = probe(r, [&] { return tqrf_reader_read(r, 4, block); });
    const Wire w_loadkey = probe(r, [&] { return tqrf_reader_loadkey(r, TQRF_KEY_A, 1, kKey); });
    const Wire w_auth = probe(r, [&] { return tqrf_reader_authenticate(r, TQRF_KEY_A, 1); });
    auto floor = [&](const Wire& w) { return floor_ms(w, profile, complete); };
    // Fixed mode reads once its 40 ms pause is over: a reply the chip holds for less is there.
    auto worst = [&](const Wire& w) { return complete ? floor(w) + timer_ms : floor(w); };
    tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE,
                           complete ? TQRF_REPLY_COMPLETE : TQRF_REPLY_FIXED);
    if (set_up([&] { return open_sector(r, 1); }) != 0) die("cannot open sector 1");
    AdapterRow read{timer_ms,
                    measure(profile, complete, "read", o.calls, 1, floor(w_read),
                            [&] { return tqrf_reader_read(r, 4, block); }),
                    worst(w_read)};
    rows.push_back(read);
    if (set_up([&] { return tqrf_reader_find(r, TQRF_REQUEST_ALL, type, serial, &size); }) != 0) {
        die("find failed");
    }
    const double dump_floor = 16 * (floor(w_loadkey) + floor(w_auth) + 4 * floor(w_read));
    const double dump_worst = 16 * (worst(w_loadkey) + worst(w_auth) + 4 * worst(w_read));
    AdapterRow dump{timer_ms,
                    measure(profile, complete, "1K dump (96 commands)", o.dumps, 96, dump_floor,
                            [&] {
                                std::int32_t res = 0;
                                for (int sector = 0; sector < 16 && res == 0; ++sector) {
                                    res = tqrf_reader_loadkey(r, TQRF_KEY_A, sector, kKey);
                                    if (res == 0) {
                                        res = tqrf_reader_authenticate(r, TQRF_KEY_A, sector);
                                    }
                                    for (int b = 0; b < 4 && res == 0; ++b)
                                        res = tqrf_reader_read(r, sector * 4 + b, block);
                                }
                                return res;
                            }),
                    dump_worst};
    rows.push_back(dump);
}

// `readers` readers, each on a simulator of its own and a thread of its own, reading a block
// `reads` times; the aggregate rate over the wall time from the common start to the last end.
ParallelRow run_parallel(const Options& o, TimingProfile profile, bool complete, int readers) {
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::unique_ptr<Reader>> handles;
    double floor = 0;
    for (int i = 0; i < readers; ++i) {
        sims.push_back(std::make_unique<SimProcess>(o.sim, profile));
        handles.push_back(std::make_unique<Reader>(sims.back()->device()));
        tqrf_reader* r = handles.back()->r;
        tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_COMPLETE);
        if (set_up([&] { return open_sector(r, 1); }) != 0) die("no card in the simulated reader");
        std::uint8_t block[16];
        floor =
            floor_ms(probe(r, [&] { return tqrf_reader_read(r, 4, block); }), profile, complete);
        tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE,
                               complete ? TQRF_REPLY_COMPLETE : TQRF_REPLY_FIXED);
    }
    std::latch ready(readers + 1);
    std::atomic<bool> go{false};
    std::vector<double> end(static_cast<std::size_t>(readers), 0.0);
    std::vector<double> cpu(static_cast<std::size_t>(readers), 0.0);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < readers; ++i) {
        threads.emplace_back([&, i] {
            tqrf_reader* r = handles[static_cast<std::size_t>(i)]->r;
            std::uint8_t block[16];
            ready.count_down();
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            const double c0 = thread_cpu_us();
            for (int k = 0; k < o.parallel_reads; ++k) {
                if (tqrf_reader_read(r, 4, block) != 0) failed.fetch_add(1);
            }
            cpu[static_cast<std::size_t>(i)] = (thread_cpu_us() - c0) / o.parallel_reads;
            end[static_cast<std::size_t>(i)] = now_ms();
        });
    }
    ready.arrive_and_wait();
    const double start = now_ms();
    go.store(true, std::memory_order_release);
    for (auto& t : threads) t.join();
    const double wall = *std::max_element(end.begin(), end.end()) - start;
    ParallelRow row;
    row.profile = profile;
    row.complete = complete;
    row.readers = readers;
    row.commands_per_s = readers * o.parallel_reads / (wall / 1000.0);
    row.floor_commands_per_s = readers / (floor / 1000.0);
    row.cpu_us_per_command = stats_of(cpu).median;
    row.failed = failed.load();
    return row;
}

// ---- Against a minimal exchange ---------------------------------------------------------------
//
// The least a program can do for a block read: one purge, the mark switch, the address byte,
// a 1 ms pause, the space switch, the frame, a wait for the reply's first byte, one sleep for
// the line time of the rest, one read. Raw system calls on the same simulated reader, measured
// the same way as the library's read: the reference the library's CPU time is held against.

std::string fixed(double v, int decimals);
std::string failures(int count, std::int32_t first);

class RawLine {
  public:
    explicit RawLine(const std::string& device) {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) die("cannot open " + device);
        termios2 t{};
        if (::ioctl(fd_, TCGETS2, &t) != 0) die("TCGETS2");
        t.c_iflag = 0;
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag = CS8 | CREAD | CLOCAL | BOTHER | PARENB | CMSPAR;
        t.c_ispeed = t.c_ospeed = 19200;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        space_ = t;
        mark_ = t;
        mark_.c_cflag |= PARODD;
        if (::ioctl(fd_, TCSETS2, &space_) != 0) die("TCSETS2");
    }
    ~RawLine() { ::close(fd_); }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;

    // Reads block 4; 0 when a whole, well-formed reply came.
    std::int32_t read_block() {
        static constexpr std::uint8_t frame[] = {0x00, 0x04, 0xBB, 0x45, 0x04, 0x00, 0xFE};
        constexpr std::uint32_t kReply = 20;
        (void)::ioctl(fd_, TCFLSH, TCIFLUSH);
        (void)::ioctl(fd_, TCSETS2, &mark_);
        const std::uint8_t address = 0x58;
        if (::write(fd_, &address, 1) != 1) return -83;
        sleep_ns(1'000'000);
        (void)::ioctl(fd_, TCSETS2, &space_);
        if (::write(fd_, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) return -83;
        const double deadline = now_ms() + 100;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) return settle(-86);
        sleep_ns(static_cast<long>((kReply - 1) * kByteMs * 1e6) + 100'000);
        std::uint8_t reply[kReply];
        ssize_t n = ::read(fd_, reply, sizeof reply);
        // A reader slower than the line's rate (a busy machine): the rest as it comes.
        while (n >= 0 && n < static_cast<ssize_t>(kReply) && now_ms() < deadline) {
            if (::poll(&p, 1, static_cast<int>(deadline - now_ms()) + 1) != 1) break;
            const ssize_t more = ::read(fd_, reply + n, kReply - static_cast<std::size_t>(n));
            if (more <= 0) break;
            n += more;
        }
        std::uint8_t x = 0;
        for (ssize_t i = 0; i < n; ++i) x ^= reply[i];
        return n == kReply && x == 0 && reply[kReply - 2] == 0 ? 0 : settle(-86);
    }

  private:
    // After a failure the rest of a late reply may still come: waits for 20 quiet ms and purges.
    std::int32_t settle(std::int32_t result) {
        pollfd p{fd_, POLLIN, 0};
        std::uint8_t discard[128];
        for (int i = 0; i < 50 && ::poll(&p, 1, 20) == 1; ++i)
            (void)::read(fd_, discard, sizeof discard);
        (void)::ioctl(fd_, TCFLSH, TCIFLUSH);
        return result;
    }
    static void sleep_ns(long ns) {
        timespec ts{ns / 1'000'000'000, ns % 1'000'000'000};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    int fd_ = -1;
    termios2 space_{}, mark_{};
};

struct CompareRow {
    std::string line;  // "instant", "mf1k", "mf1k behind ftdi:16" ...
    double floor_ms = 0;
    Stats lib_ms, raw_ms;
    double lib_cpu_us = 0, raw_cpu_us = 0;  // user + system, getrusage, median per command
    double lib_switches = 0, raw_switches = 0;
    int lib_failed = 0, raw_failed = 0;
};

template <class F>
void sample_read(int runs, F&& call, Stats* ms, double* cpu_us, double* switches, int* failed) {
    std::vector<double> times, cpu;
    std::int64_t total_switches = 0;
    for (int i = 0; i < 3; ++i) (void)call();
    for (int i = 0; i < runs; ++i) {
        const std::int64_t w0 = thread_switches();
        const double c0 = rusage_cpu_us();
        const double t0 = now_ms();
        const std::int32_t result = call();
        const double t1 = now_ms();
        const double c1 = rusage_cpu_us();
        if (result != 0) {
            ++*failed;
            continue;
        }
        times.push_back(t1 - t0);
        cpu.push_back(c1 - c0);
        total_switches += thread_switches() - w0;
    }
    *ms = stats_of(times);
    *cpu_us = stats_of(cpu).median;
    *switches =
        times.empty() ? 0 : static_cast<double>(total_switches) / static_cast<double>(times.size());
}

CompareRow run_compare(const Options& o, TimingProfile profile, const char* adapter) {
    CompareRow row;
    row.line = std::string(tqrf_sim::timing_profile_name(profile));
    if (std::string_view(adapter) != "direct") row.line += std::string(" behind ") + adapter;
    SimProcess sim(o.sim, profile, adapter);
    {
        Reader reader(sim.device());
        tqrf_reader* r = reader.r;
        tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_COMPLETE);
        if (set_up([&] { return open_sector(r, 1); }) != 0) die("no card in the simulated reader");
        std::uint8_t block[16];
        row.floor_ms =
            floor_ms(probe(r, [&] { return tqrf_reader_read(r, 4, block); }), profile, true);
        sample_read(
            o.calls, [&] { return tqrf_reader_read(r, 4, block); }, &row.lib_ms, &row.lib_cpu_us,
            &row.lib_switches, &row.lib_failed);
    }
    RawLine raw(sim.device());
    sample_read(
        o.calls, [&] { return raw.read_block(); }, &row.raw_ms, &row.raw_cpu_us, &row.raw_switches,
        &row.raw_failed);
    return row;
}

void print_compare(const std::vector<CompareRow>& rows, int runs) {
    std::printf(
        "\n### Against a minimal exchange\n\nA block read in complete mode through the handle "
        "API, and the same read as a minimal exchange of raw system calls (one purge, the mark "
        "switch, the address byte, 1 ms, the space switch, the frame, a wait for the first reply "
        "byte, one sleep for the line time of the rest, one read) on the same simulated reader, "
        "%s runs each. CPU: user + system time of the calling thread (getrusage), median per "
        "command. Wake-ups: voluntary context switches per command.\n\n",
        std::to_string(runs).c_str());
    std::printf(
        "| Line | Floor ms | Library median ms | Median / floor | Minimal median ms | Minimal / "
        "floor | Library CPU us | Minimal CPU us | CPU ratio | Library wake-ups | Minimal "
        "wake-ups | Failed (library / minimal) |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const CompareRow& r : rows) {
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %d / %d |\n",
                    r.line.c_str(), fixed(r.floor_ms, 2).c_str(), fixed(r.lib_ms.median, 2).c_str(),
                    fixed(r.lib_ms.median / r.floor_ms, 3).c_str(),
                    fixed(r.raw_ms.median, 2).c_str(),
                    fixed(r.raw_ms.median / r.floor_ms, 3).c_str(), fixed(r.lib_cpu_us, 0).c_str(),
                    fixed(r.raw_cpu_us, 0).c_str(),
                    fixed(r.raw_cpu_us > 0 ? r.lib_cpu_us / r.raw_cpu_us : 0, 2).c_str(),
                    fixed(r.lib_switches, 1).c_str(), fixed(r.raw_switches, 1).c_str(),
                    r.lib_failed, r.raw_failed);
    }
    std::printf("\n| Target (complete-mode read) | Measured | Met |\n|---|---|---|\n");
    for (const CompareRow& r : rows) {
        const double ratio = r.raw_cpu_us > 0 ? r.lib_cpu_us / r.raw_cpu_us : 0;
        const double wall = r.lib_ms.median / r.floor_ms;
        std::printf("| %s: CPU <= 1.5 x minimal, <= 5 wake-ups | %s x, %s wake-ups | %s |\n",
                    r.line.c_str(), fixed(ratio, 2).c_str(), fixed(r.lib_switches, 1).c_str(),
                    ratio <= 1.5 && r.lib_switches <= 5 ? "yes" : "no");
        if (r.line.find("ftdi") == std::string::npos) {
            std::printf("| %s: median <= 1.03 x floor | %s x | %s |\n", r.line.c_str(),
                        fixed(wall, 3).c_str(), wall <= 1.03 ? "yes" : "no");
        }
    }
}

// ---- The retry layer ---------------------------------------------------------------------------

// A whole-card dump as 96 commands: key A and its authentication, then the four blocks, for
// each sector; the card was found before.
std::int32_t dump_card(tqrf_reader* r) {
    std::uint8_t block[16];
    std::int32_t res = 0;
    for (int sector = 0; sector < 16 && res == 0; ++sector) {
        res = tqrf_reader_loadkey(r, TQRF_KEY_A, sector, kKey);
        if (res == 0) res = tqrf_reader_authenticate(r, TQRF_KEY_A, sector);
        for (int b = 0; b < 4 && res == 0; ++b) res = tqrf_reader_read(r, sector * 4 + b, block);
    }
    return res;
}

tqrf_reader_stats stats_of_reader(tqrf_reader* r) {
    tqrf_reader_stats st{};
    st.size = sizeof st;
    (void)tqrf_reader_get_stats(r, &st);
    return st;
}

struct RetryRow {
    std::string line;
    std::string figure;
    int attempts = 1;
    Row row;
    double retries_per_run = 0;
};

// A clean session (nothing lost) with 1 attempt and with 3, in alternating rounds on one reader
// so that both see the same machine: a read and a whole-card dump, each against its floor.
void run_retry_clean(const Options& o, TimingProfile profile, std::vector<RetryRow>& rows) {
    OpenSector session(o, profile);
    tqrf_reader* r = session.reader.r;
    std::uint8_t block[16], type[2], serial[4], size = 0;
    const Wire w_read = probe(r, [&] { return tqrf_reader_read(r, 4, block); });
    const Wire w_loadkey = probe(r, [&] { return tqrf_reader_loadkey(r, TQRF_KEY_A, 1, kKey); });
    const Wire w_auth = probe(r, [&] { return tqrf_reader_authenticate(r, TQRF_KEY_A, 1); });
    const double read_floor = floor_ms(w_read, profile, true);
    const double dump_floor = 16 * (floor_ms(w_loadkey, profile, true) +
                                    floor_ms(w_auth, profile, true) + 4 * read_floor);
    constexpr int kRounds = 4;
    std::vector<double> read_ms[2], dump_ms[2];
    int failed[2] = {0, 0};
    std::uint64_t retries[2] = {0, 0};
    for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const int attempts = k == 0 ? 1 : 3;
            tqrf_reader_set_option(r, TQRF_OPTION_ATTEMPTS, attempts);
            const std::uint64_t r0 = stats_of_reader(r).retries;
            if (set_up([&] { return open_sector(r, 1); }) != 0) die("cannot open sector 1");
            for (int i = 0; i < std::max(1, o.calls / kRounds); ++i) {
                auto call = [&] { return tqrf_reader_read(r, 4, block); };
                const Sample sm = run_once(call);
                if (sm.result != 0) {
                    ++failed[k];
                    continue;
                }
                read_ms[k].push_back(sm.ms);
            }
            if (set_up([&] {
                    return tqrf_reader_find(r, TQRF_REQUEST_ALL, type, serial, &size);
                }) != 0) {
                die("find failed");
            }
            for (int i = 0; i < std::max(1, (o.dumps + 1) / 2); ++i) {
                auto call = [&] { return dump_card(r); };
                const Sample sm = run_once(call);
                if (sm.result != 0) {
                    ++failed[k];
                    continue;
                }
                dump_ms[k].push_back(sm.ms);
            }
            retries[k] += stats_of_reader(r).retries - r0;
        }
    }
    const std::string line = tqrf_sim::timing_profile_name(profile);
    for (int f = 0; f < 2; ++f) {
        for (int k = 0; k < 2; ++k) {
            RetryRow row;
            row.line = line + ", nothing lost";
            row.attempts = k == 0 ? 1 : 3;
            row.row.profile = profile;
            row.row.figure = f == 0 ? "read" : "1K dump (96 commands)";
            row.row.commands = f == 0 ? 1 : 96;
            const auto& v = f == 0 ? read_ms[k] : dump_ms[k];
            row.row.runs = static_cast<int>(v.size());
            row.row.ms = stats_of(v);
            row.row.floor_ms = f == 0 ? read_floor : dump_floor;
            row.row.failed = failed[k];
            row.retries_per_run = static_cast<double>(retries[k]);
            rows.push_back(row);
        }
    }
}

// Whole-card dumps with 3 attempts on a reader that loses `share` of its replies at random
// (tqrf-sim --fault noreply%SHARE --seed 7), and on a clean one beside it.
void run_retry_lossy(const Options& o, TimingProfile profile, const std::string& share,
                     std::vector<RetryRow>& rows) {
    for (const bool lossy : {false, true}) {
        std::vector<std::string> extra;
        if (lossy) extra = {"--fault", "noreply%" + share, "--seed", "7"};
        SimProcess sim(o.sim, profile, "direct", extra);
        Reader reader(sim.device());
        tqrf_reader* r = reader.r;
        tqrf_reader_set_option(r, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_COMPLETE);
        tqrf_reader_set_option(r, TQRF_OPTION_ATTEMPTS, 3);
        std::uint8_t type[2], serial[4], size = 0;
        if (set_up([&] { return tqrf_reader_find(r, TQRF_REQUEST_ALL, type, serial, &size); }) !=
            0) {
            die("find failed");
        }
        RetryRow row;
        row.line = std::string(tqrf_sim::timing_profile_name(profile)) +
                   (lossy ? ", " + share + " % of replies lost (seed 7)" : ", nothing lost");
        row.attempts = 3;
        const std::uint64_t r0 = stats_of_reader(r).retries;
        row.row = measure(profile, true, "1K dump (96 commands)", o.retry_dumps, 96, 0,
                          [&] { return dump_card(r); });
        row.retries_per_run = static_cast<double>(stats_of_reader(r).retries - r0) /
                              static_cast<double>(std::max(1, o.retry_dumps));
        rows.push_back(row);
    }
}

void print_retry(const std::vector<RetryRow>& clean, const std::vector<RetryRow>& lossy,
                 const std::string& share) {
    std::printf(
        "\n### The retry layer\n\nThe handle option `TQRF_OPTION_ATTEMPTS` repeats an exchange "
        "whose reply was lost (the C++ `Reader` opens with 3). On a clean line it must cost "
        "nothing: the same reader, in complete mode, with 1 attempt and with 3, in alternating "
        "rounds. Retries: repeats the reader counted (`tqrf_reader_get_stats`) in all runs of "
        "the row.\n\n");
    std::printf(
        "| Line | Figure | Attempts | Runs | Min ms | Median ms | p95 ms | Floor ms | Median / "
        "floor | Median / 1 attempt's | Retries | Failed |\n"
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (std::size_t i = 0; i < clean.size(); ++i) {
        const RetryRow& r = clean[i];
        // The rows come in pairs: 1 attempt, then 3, of the same figure.
        const RetryRow& one = clean[i - i % 2];
        std::printf("| %s | %s | %d | %d | %s | %s | %s | %s | %s | %s | %s | %d |\n",
                    r.line.c_str(), r.row.figure.c_str(), r.attempts, r.row.runs,
                    fixed(r.row.ms.min, 2).c_str(), fixed(r.row.ms.median, 2).c_str(),
                    fixed(r.row.ms.p95, 2).c_str(), fixed(r.row.floor_ms, 2).c_str(),
                    fixed(r.row.ms.median / r.row.floor_ms, 3).c_str(),
                    fixed(r.row.ms.median / one.row.ms.median, 3).c_str(),
                    fixed(r.retries_per_run, 0).c_str(), r.row.failed);
    }
    std::printf(
        "\nA whole-card dump (the 96 commands above) with 3 attempts, on a reader that loses "
        "%s %% of its replies at random (`tqrf-sim --pace --fault noreply%%%s --seed 7`), beside "
        "the same dump on a clean reader. A lost reply costs its reply deadline and the quiet "
        "wait before the repeat; a dump fails only when a command loses its reply 3 times in a "
        "row.\n\n",
        share.c_str(), share.c_str());
    std::printf(
        "| Line | Runs | Min ms | Median ms | p95 ms | Max ms | Mean ms | Retries per dump | "
        "Failed |\n|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const RetryRow& r : lossy) {
        std::printf("| %s | %d | %s | %s | %s | %s | %s | %s | %s |\n", r.line.c_str(), r.row.runs,
                    fixed(r.row.ms.min, 1).c_str(), fixed(r.row.ms.median, 1).c_str(),
                    fixed(r.row.ms.p95, 1).c_str(), fixed(r.row.ms.max, 1).c_str(),
                    fixed(r.row.ms.mean, 1).c_str(), fixed(r.retries_per_run, 2).c_str(),
                    failures(r.row.failed, r.row.first_failure).c_str());
    }
}

// ---- Reporting ----------------------------------------------------------------------------------

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

const Row* find_row(const std::vector<Row>& rows, TimingProfile p, bool complete,
                    std::string_view figure) {
    for (const Row& row : rows) {
        if (row.profile == p && row.complete == complete && row.figure.starts_with(figure)) {
            return &row;
        }
    }
    return nullptr;
}

const ParallelRow* find_parallel(const std::vector<ParallelRow>& rows, TimingProfile p,
                                 bool complete, int readers) {
    for (const ParallelRow& row : rows) {
        if (row.profile == p && row.complete == complete && row.readers == readers) return &row;
    }
    return nullptr;
}

std::string failures(int count, std::int32_t first) {
    if (count == 0) return "0";
    return std::to_string(count) + " (" + std::to_string(first) + ")";
}

void print_tables(const std::vector<Row>& rows, const std::vector<ParallelRow>& parallel) {
    std::printf(
        "| Profile | Mode | Figure | Runs | Min ms | Median ms | p95 ms | Floor ms | Median / "
        "floor | Median - floor ms | Failed |\n");
    std::printf("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const Row& r : rows) {
        std::printf("| %s | %s | %s | %d | %s | %s | %s | %s | %s | %s | %s |\n",
                    tqrf_sim::timing_profile_name(r.profile), mode_name(r.complete),
                    r.figure.c_str(), r.runs, fixed(r.ms.min, 2).c_str(),
                    fixed(r.ms.median, 2).c_str(), fixed(r.ms.p95, 2).c_str(),
                    fixed(r.floor_ms, 2).c_str(), fixed(r.ms.median / r.floor_ms, 3).c_str(),
                    fixed(r.ms.median - r.floor_ms, 2).c_str(),
                    failures(r.failed, r.first_failure).c_str());
    }
    std::printf("\n| Profile | Mode | Figure | CPU us/cmd | Wake-ups/cmd | Heap calls/cmd |\n");
    std::printf("|---|---|---|---:|---:|---:|\n");
    for (const Row& r : rows) {
        std::printf("| %s | %s | %s | %s | %s | %s |\n", tqrf_sim::timing_profile_name(r.profile),
                    mode_name(r.complete), r.figure.c_str(), fixed(r.cpu_us_per_command, 1).c_str(),
                    fixed(r.switches_per_command, 1).c_str(),
                    tqrf::testing::allocations_counted()
                        ? fixed(r.allocations_per_command, 2).c_str()
                        : "n/a");
    }
    std::printf(
        "\n| Profile | Mode | Readers | Reads/s | Floor reads/s | Floor / measured | "
        "Scaling vs 1 reader | CPU us/cmd | Failed |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const ParallelRow& p : parallel) {
        const ParallelRow* one = find_parallel(parallel, p.profile, p.complete, 1);
        std::printf("| %s | %s | %d | %s | %s | %s | %s | %s | %d |\n",
                    tqrf_sim::timing_profile_name(p.profile), mode_name(p.complete), p.readers,
                    fixed(p.commands_per_s, 1).c_str(), fixed(p.floor_commands_per_s, 1).c_str(),
                    fixed(p.floor_commands_per_s / p.commands_per_s, 3).c_str(),
                    one ? fixed(p.commands_per_s / one->commands_per_s, 2).c_str() : "-",
                    fixed(p.cpu_us_per_command, 1).c_str(), p.failed);
    }
}

void print_adapters(const std::vector<AdapterRow>& rows) {
    std::printf(
        "\n### Behind an FTDI USB adapter\n\nThe mf1k reader behind `tqrf-sim --adapter "
        "ftdi:MS`: the chip hands the reply over when 62 bytes wait or its free-running latency "
        "timer fires, at 16 ms (the default) and at 1 ms (what the library asks the driver for "
        "on open). Floor + timer: the line's floor with the whole timer added to each reply, the "
        "latest a reply can come in complete mode; fixed mode reads after its 40 ms pause "
        "whatever the timer.\n");
    std::printf(
        "\n| Adapter | Mode | Figure | Runs | Min ms | Median ms | p95 ms | Line floor ms | "
        "Floor + timer ms | Median - line floor ms | Failed |\n");
    std::printf("|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const AdapterRow& a : rows) {
        const Row& r = a.row;
        std::printf(
            "| FTDI, latency timer %d ms | %s | %s | %d | %s | %s | %s | %s | %s | %s | %s |\n",
            a.timer_ms, mode_name(r.complete), r.figure.c_str(), r.runs, fixed(r.ms.min, 2).c_str(),
            fixed(r.ms.median, 2).c_str(), fixed(r.ms.p95, 2).c_str(), fixed(r.floor_ms, 2).c_str(),
            fixed(a.worst_floor_ms, 2).c_str(), fixed(r.ms.median - r.floor_ms, 2).c_str(),
            failures(r.failed, r.first_failure).c_str());
    }
}

void print_targets(const std::vector<Row>& rows, const std::vector<ParallelRow>& parallel) {
    std::printf("\n| Target | Measured | Met |\n|---|---|---|\n");
    auto line = [](const std::string& target, const std::string& measured, bool met) {
        std::printf("| %s | %s | %s |\n", target.c_str(), measured.c_str(), met ? "yes" : "no");
    };
    const auto I = TimingProfile::Instant;
    const auto M = TimingProfile::Mf1k;
    // A command's median in complete mode against its floor: at most `limit` times it.
    auto within_floor = [&](const std::string& command, double limit, int decimals) {
        const Row* d = find_row(rows, I, true, command);
        if (d == nullptr) return;
        const double ratio = d->ms.median / d->floor_ms;
        line("complete, paced instant: " + command + " <= " + fixed(limit, 2) + " x floor",
             fixed(d->ms.median, decimals) + " ms = " + fixed(ratio, 3) + " x " +
                 fixed(d->floor_ms, decimals) + " ms",
             ratio <= limit);
    };
    within_floor("1K dump", 1.15, 0);
    within_floor("read", 1.10, 2);
    const Row* dc = find_row(rows, M, true, "1K dump");
    const Row* df = find_row(rows, M, false, "1K dump");
    if (dc && df) {
        const double speedup = df->ms.median / dc->ms.median;
        line("complete, paced mf1k: 1K dump >= 2 x faster than fixed",
             fixed(df->ms.median, 0) + " ms / " + fixed(dc->ms.median, 0) +
                 " ms = " + fixed(speedup, 2) + " x",
             speedup >= 2.0);
    }
    double worst_fixed = -1e9;
    std::string worst_fixed_what;
    double worst_cpu = 0;
    std::string worst_cpu_what;
    double worst_cpu_switches = 0;
    double worst_alloc = 0;
    for (const Row& r : rows) {
        const std::string what = std::string(tqrf_sim::timing_profile_name(r.profile)) + " " +
                                 mode_name(r.complete) + " " + r.figure;
        if (!r.complete && r.commands == 1) {
            const double over = (r.ms.median - r.floor_ms) / r.commands;
            if (over > worst_fixed) {
                worst_fixed = over;
                worst_fixed_what = what;
            }
        }
        if (r.cpu_us_per_command > worst_cpu) {
            worst_cpu = r.cpu_us_per_command;
            worst_cpu_what = what;
            worst_cpu_switches = r.switches_per_command;
        }
        worst_alloc = std::max(worst_alloc, r.allocations_per_command);
    }
    line("fixed: median overhead above 41 ms <= 0.3 ms per command (single commands)",
         "worst " + fixed(worst_fixed, 3) + " ms (" + worst_fixed_what + ")", worst_fixed <= 0.3);
    line("CPU <= 50 us per command (thread CPU time)",
         "worst " + fixed(worst_cpu, 1) + " us (" + worst_cpu_what + ", " +
             fixed(worst_cpu_switches, 1) + " wake-ups a command)",
         worst_cpu <= 50);
    if (tqrf::testing::allocations_counted()) {
        line("0 heap calls per command", "worst " + fixed(worst_alloc, 2), worst_alloc == 0);
    }
    for (TimingProfile p : {I, M}) {
        for (bool complete : {true, false}) {
            const ParallelRow* one = find_parallel(parallel, p, complete, 1);
            const ParallelRow* four = find_parallel(parallel, p, complete, 4);
            if (!one || !four) continue;
            const double scaling = four->commands_per_s / one->commands_per_s;
            line(std::string("4 readers >= 3.6 x one (") + tqrf_sim::timing_profile_name(p) + ", " +
                     mode_name(complete) + ")",
                 fixed(scaling, 2) + " x", scaling >= 3.6);
        }
    }
}

// One line per figure, the median time per command of each configuration and the floors.
void write_data(const std::string& path, const std::vector<Row>& rows) {
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) die("cannot write " + tmp);
    std::fprintf(f,
                 "figure\tfloor_instant\tfloor_mf1k\tcomplete_instant\tcomplete_mf1k\t"
                 "fixed_instant\tfixed_mf1k\n");
    const char* figures[] = {"read", "write", "authenticate", "request", "tap", "1K dump"};
    const char* labels[] = {"read",
                            "write",
                            "authenticate",
                            "request",
                            "tap to data, per command",
                            "1K dump, per command"};
    for (std::size_t i = 0; i < std::size(figures); ++i) {
        const Row* ci = find_row(rows, TimingProfile::Instant, true, figures[i]);
        const Row* cm = find_row(rows, TimingProfile::Mf1k, true, figures[i]);
        const Row* fi = find_row(rows, TimingProfile::Instant, false, figures[i]);
        const Row* fm = find_row(rows, TimingProfile::Mf1k, false, figures[i]);
        auto per = [](const Row* r, bool floor) {
            return r ? (floor ? r->floor_ms : r->ms.median) / r->commands : 0.0;
        };
        std::fprintf(f, "\"%s\"\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", labels[i], per(ci, true),
                     per(cm, true), per(ci, false), per(cm, false), per(fi, false), per(fm, false));
    }
    std::fclose(f);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) die("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) die(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--sim") {
            o.sim = value();
        } else if (arg == "--calls") {
            o.calls = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--quick") {
            o.calls = 20;
            o.taps = 5;
            o.dumps = 1;
            o.parallel_reads = 10;
            o.retry_dumps = 3;
        } else if (arg == "--compare") {
            o.compare_only = true;
        } else if (arg == "--retry") {
            o.retry_only = true;
        } else if (arg == "--retry-dumps") {
            o.retry_dumps = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--data") {
            o.data = value();
        } else if (arg == "--help" || arg == "-h") {
            std::printf(
                "usage: tqrf_reader_bench --sim PATH [--quick] [--calls N] [--compare] [--retry] "
                "[--retry-dumps N] [--data FILE]\n");
            return 0;
        } else {
            die("unknown option " + std::string(arg));
        }
    }
    if (o.sim.empty()) die("--sim PATH/tqrf-sim is needed");

    std::vector<CompareRow> compares;
    auto compare = [&] {
        for (const auto& [profile, adapter] :
             {std::pair{TimingProfile::Instant, "direct"}, std::pair{TimingProfile::Mf1k, "direct"},
              std::pair{TimingProfile::Mf1k, "ftdi:16"},
              std::pair{TimingProfile::Mf1k, "ftdi:1"}}) {
            std::fprintf(stderr, "against a minimal exchange: %s %s...\n",
                         tqrf_sim::timing_profile_name(profile), adapter);
            compares.push_back(run_compare(o, profile, adapter));
        }
    };
    std::vector<RetryRow> retry_clean, retry_lossy;
    const std::string lost_share = "2";
    auto retry = [&] {
        for (TimingProfile profile : {TimingProfile::Instant, TimingProfile::Mf1k}) {
            std::fprintf(stderr, "retry layer, %s: 1 and 3 attempts...\n",
                         tqrf_sim::timing_profile_name(profile));
            run_retry_clean(o, profile, retry_clean);
        }
        std::fprintf(stderr, "retry layer: dumps with %s %% of replies lost...\n",
                     lost_share.c_str());
        run_retry_lossy(o, TimingProfile::Mf1k, lost_share, retry_lossy);
    };
    if (o.retry_only) {
        retry();
        print_retry(retry_clean, retry_lossy, lost_share);
        return 0;
    }
    if (o.compare_only) {
        compare();
        print_compare(compares, o.calls);
        return 0;
    }

    const double timed_wake = timed_wake_cost_us();
    const double data_wake = data_wake_cost_us();
    std::vector<Row> rows;
    std::vector<ParallelRow> parallel;
    for (TimingProfile profile : {TimingProfile::Instant, TimingProfile::Mf1k}) {
        for (bool complete : {true, false}) {
            std::fprintf(stderr, "%s, %s mode...\n", tqrf_sim::timing_profile_name(profile),
                         mode_name(complete));
            run_one(o, profile, complete, rows);
            for (int readers : {1, 2, 4}) {
                parallel.push_back(run_parallel(o, profile, complete, readers));
            }
        }
    }
    std::printf(
        "On this machine one sleep and its wake-up cost the sleeping thread %s us of CPU "
        "when a timer ends it and %s us when bytes from another thread do.\n\n",
        fixed(timed_wake, 1).c_str(), fixed(data_wake, 1).c_str());
    std::vector<AdapterRow> adapters;
    for (int timer_ms : {16, 1}) {
        for (bool complete : {true, false}) {
            std::fprintf(stderr, "FTDI adapter, latency timer %d ms, %s mode...\n", timer_ms,
                         mode_name(complete));
            run_adapter(o, timer_ms, complete, adapters);
        }
    }
    print_tables(rows, parallel);
    print_adapters(adapters);
    compare();
    print_compare(compares, o.calls);
    retry();
    print_retry(retry_clean, retry_lossy, lost_share);
    print_targets(rows, parallel);
    if (!o.data.empty()) write_data(o.data, rows);
    return 0;
}
