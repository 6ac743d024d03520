// tqrf-sim: the simulated reader on a pseudo-terminal, as a program. Prints the device path
// to open on its first line, then serves until SIGINT or SIGTERM.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "card_file.h"
#include "tq_RWD_DLL_image.hpp"
#include "tqrf_sim/simulator.h"

namespace {

constexpr const char* kUsage =
    "usage: tqrf-sim [options]\n"
    "\n"
    "Simulates the MF RC500 card reader on a pseudo-terminal. Prints the device path to\n"
    "open (for example /dev/pts/4) on its first line, then serves requests until SIGINT or\n"
    "SIGTERM.\n"
    "\n"
    "options:\n"
    "  --link PATH       also make PATH a symlink to the device (removed on exit)\n"
    "  --card FILE       put a card holding this image in the field (repeatable): raw\n"
    "                    .mfd/.bin, Proxmark3 .eml or JSON, Flipper .nfc, MIFARE Classic\n"
    "                    Tool .mct or a tqrf JSON dump; what the file does not know the\n"
    "                    card still holds, said on stderr a sector a line: blocks not read\n"
    "                    are zeros, trailers not read have the transport access bits\n"
    "                    FF0780 69, keys not known are FFFFFFFFFFFF; a file without a UID\n"
    "                    is refused\n"
    "  --uid HEX         put a factory-fresh card with this 8-digit UID in the field\n"
    "                    (repeatable)\n"
    "  --no-card         start with an empty field\n"
    "                    (without --card, --uid or --no-card one factory-fresh card with UID\n"
    "                    3A7C91E5 is in the field)\n"
    "  --latency MS      extra time before every reply, in milliseconds, on top of the\n"
    "                    timing profile's (default 3 with --timing instant, 0 with mf1k)\n"
    "  --pace            model the line's rate, 0.573 ms per byte, both ways: a request is\n"
    "                    taken once its bytes have crossed the line, and the reply goes\n"
    "                    out a byte at a time\n"
    "  --timing PROFILE  how long the reader works on each command: instant (default) or\n"
    "                    mf1k (an MF RC500 reader with a Mifare Classic 1K card)\n"
    "  --adapter KIND    what sits between the reader and the host: direct (default);\n"
    "                    ftdi[:MS], a USB adapter that holds the reply bytes until 62 wait\n"
    "                    or its latency timer (default 16 ms, 1 to 255) runs out; echo, a\n"
    "                    line that sends back every byte it receives, with no reader\n"
    "                    behind it; noise, a device that answers every request with bytes\n"
    "                    that are no frame\n"
    "  --identity HEX    the reader's identity number (default 12345678)\n"
    "  --fault RULE      commit a fault on replies (repeatable):\n"
    "                    KIND[:ARG][@CODE][+SKIP][/COUNT], KIND one of noreply, delay:MS,\n"
    "                    corrupt-xor, truncate[:KEEP], noise-before[:N], noise-after[:N],\n"
    "                    oversize[:SIZE], extra-data[:N], status:BYTE; @CODE limits it to one\n"
    "                    command code, +SKIP serves the first SKIP matching requests\n"
    "                    untouched, /COUNT limits it to the next COUNT matching requests;\n"
    "                    %PERCENT in place of /COUNT commits it on that share of them at\n"
    "                    random (noreply%2, corrupt-xor@0x45%0.5)\n"
    "  --seed N          the seed of the random faults (default: from the clock, printed\n"
    "                    on stderr): the same seed, the same faults for the same requests\n"
    "  --replay TRACE    answer with the replies recorded in TRACE (a TQRF_TRACE file, or\n"
    "                    what tqrf --trace wrote on stderr), as long as the requests are the\n"
    "                    recorded ones; the first that differs ends the program with status 1\n"
    "  --verbose         log every exchange on stderr\n"
    "  --help            show this text\n";

// 1 to 8 hexadecimal digits, either case, and nothing else (no sign, no "0x").
bool parse_hex32(std::string_view s, std::uint32_t& out) {
    if (s.empty() || s.size() > 8 || s.front() == '+' || s.front() == '-') return false;
    std::uint32_t v = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (error != std::errc{} || end != s.data() + s.size()) return false;
    out = v;
    return true;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        s += buf;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "tqrf-sim: %s\n(try --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    tqrf_sim::SimulatorOptions options;
    std::vector<std::vector<std::uint8_t>> images;
    std::vector<tqrf_sim::Uid> uids;
    std::vector<tqrf_sim::FaultRule> faults;
    std::string link;
    bool no_card = false;
    bool verbose = false;
    bool latency_given = false;
    std::optional<std::uint32_t> identity;
    std::optional<std::uint64_t> seed;
    std::optional<tqrf_sim::RecordedSession> replay;
    std::string replay_path;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--link") {
            if (!value(link)) return usage_error("--link needs a path");
        } else if (arg == "--card") {
            if (!value(v)) return usage_error("--card needs a file");
            struct stat st {};
            if (::stat(v.c_str(), &st) != 0) {
                return usage_error("cannot read " + v + ": " + std::strerror(errno));
            }
            if (S_ISDIR(st.st_mode)) return usage_error("cannot read " + v + ": a directory");
            std::vector<std::uint8_t> image;
            try {
                std::ifstream in(v, std::ios::binary);
                if (!in) return usage_error("cannot read " + v + ": " + std::strerror(errno));
                image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
                if (in.bad()) return usage_error("cannot read " + v);
            } catch (const std::exception& e) {
                // A read error of the stream buffer (for example EISDIR) throws.
                return usage_error("cannot read " + v + ": " + e.what());
            }
            if (image.size() > (1u << 20)) {
                return usage_error(v + ": " + std::to_string(image.size()) +
                                   " bytes; no card image is that large");
            }
            std::string error;
            const std::string_view bytes(reinterpret_cast<const char*>(image.data()), image.size());
            const auto file = tqrf::image::load_named(bytes, v, error);
            if (!file) return usage_error(v + " " + error);
            // Every format by the same rule: what the file does not know, the simulated card
            // must still hold.
            const auto card = tqrf_sim_tool::served_card(file->card, error);
            if (!card) return usage_error(v + " " + error);
            for (const auto& f : card->notices) {
                std::fprintf(stderr, "tqrf-sim: %s: not in the file, the card holds %s\n",
                             v.c_str(), f.c_str());
            }
            image.assign(card->memory.begin(), card->memory.end());
            images.push_back(std::move(image));
        } else if (arg == "--uid") {
            std::uint32_t u = 0;
            if (!value(v) || v.size() != 8 || !parse_hex32(v, u)) {
                return usage_error("--uid needs 8 hex digits");
            }
            uids.push_back({static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                            static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)});
        } else if (arg == "--no-card") {
            no_card = true;
        } else if (arg == "--latency") {
            char* end = nullptr;
            if (!value(v)) return usage_error("--latency needs milliseconds");
            const double ms = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end != '\0' || ms < 0 || ms > 60000) {
                return usage_error("bad latency '" + v + "'");
            }
            options.latency = std::chrono::microseconds(static_cast<long>(ms * 1000));
            latency_given = true;
        } else if (arg == "--pace") {
            options.pacing = true;
        } else if (arg == "--timing") {
            if (!value(v)) return usage_error("--timing needs a profile (instant or mf1k)");
            const auto profile = tqrf_sim::parse_timing_profile(v);
            if (!profile) return usage_error("unknown timing profile '" + v + "'");
            options.timing = *profile;
        } else if (arg == "--adapter") {
            std::string error;
            if (!value(v))
                return usage_error("--adapter needs a kind (direct, ftdi[:MS], echo, noise)");
            const auto adapter = tqrf_sim::parse_adapter(v, &error);
            if (!adapter) return usage_error(error);
            options.adapter = *adapter;
        } else if (arg == "--identity") {
            std::uint32_t id = 0;
            if (!value(v) || !parse_hex32(v, id)) return usage_error("--identity needs hex");
            identity = id;
        } else if (arg == "--fault") {
            std::string error;
            if (!value(v)) return usage_error("--fault needs a rule");
            const auto rule = tqrf_sim::parse_fault_rule(v, &error);
            if (!rule) return usage_error(error);
            faults.push_back(*rule);
        } else if (arg == "--seed") {
            std::uint64_t n = 0;
            if (!value(v)) return usage_error("--seed needs a number");
            const auto [end, error] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (v.empty() || error != std::errc{} || end != v.data() + v.size()) {
                return usage_error("bad seed '" + v + "'");
            }
            seed = n;
        } else if (arg == "--replay") {
            if (!value(replay_path)) return usage_error("--replay needs a trace file");
            struct stat st {};
            if (::stat(replay_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                return usage_error("cannot read " + replay_path + ": " +
                                   (S_ISDIR(st.st_mode) ? "a directory" : std::strerror(errno)));
            }
            std::ifstream in(replay_path, std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (in.bad()) return usage_error("cannot read " + replay_path);
            std::string error;
            replay = tqrf_sim::parse_trace(text, &error);
            if (!replay) return usage_error(replay_path + ": " + error);
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return usage_error("unknown option '" + std::string(arg) + "'");
        }
    }

    // The mf1k profile holds all of the reader's own time.
    if (!latency_given && options.timing == tqrf_sim::TimingProfile::Mf1k) {
        options.latency = std::chrono::microseconds(0);
    }
    options.default_card = !no_card && images.empty() && uids.empty();
    tqrf_sim::Simulator sim(options);
    for (const auto& image : images) {
        if (!sim.place_card(image)) return usage_error("two cards with the same UID");
    }
    for (const auto& uid : uids) {
        if (!sim.place_card(uid)) return usage_error("two cards with the same UID");
    }
    const bool random_faults =
        std::any_of(faults.begin(), faults.end(), [](const auto& r) { return r.share_ppm > 0; });
    if (random_faults && !seed) {
        // A different sequence each run, and the seed to repeat it.
        seed = static_cast<std::uint64_t>(
                   std::chrono::system_clock::now().time_since_epoch().count()) ^
               (static_cast<std::uint64_t>(::getpid()) << 32);
        seed = *seed % 1'000'000'000'000ull;
        std::fprintf(stderr, "tqrf-sim: random faults with seed %llu (--seed repeats them)\n",
                     static_cast<unsigned long long>(*seed));
    }
    if (seed) sim.set_seed(*seed);
    for (const auto& rule : faults) sim.add_fault(rule);
    if (identity) sim.set_identity(*identity);
    if (replay) sim.set_replay(std::move(*replay));
    const bool replaying = !replay_path.empty();
    sim.set_observer([verbose, replaying, &sim](const tqrf_sim::Exchange& ex) {
        if (verbose) {
            std::fprintf(stderr, "#%llu request %s -> reply %s%s%s\n",
                         static_cast<unsigned long long>(ex.sequence), hex(ex.request).c_str(),
                         ex.reply.empty() ? "(none)" : hex(ex.reply).c_str(),
                         ex.fault ? " fault " : "",
                         ex.fault ? tqrf_sim::fault_kind_name(ex.fault->kind) : "");
        }
        // A request that is not the recorded one ends the program (main takes the signal).
        if (replaying && ex.trace_line == 0) ::kill(::getpid(), SIGUSR1);
    });

    // The serving thread inherits this mask; the signals are taken by sigwait below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        sim.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tqrf-sim: %s\n", e.what());
        return 1;
    }
    if (!link.empty()) {
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                std::fprintf(stderr, "tqrf-sim: %s exists and is not a symlink\n", link.c_str());
                return 1;
            }
            ::unlink(link.c_str());
        }
        if (::symlink(sim.slave_path().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "tqrf-sim: symlink %s: %s\n", link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", sim.slave_path().c_str());
    std::fflush(stdout);

    int signal_number = 0;
    do {
        sigwait(&stop_signals, &signal_number);
    } while (signal_number == SIGUSR1 &&
             !(replaying && sim.replay_progress() && sim.replay_progress()->mismatch));
    sim.stop();
    if (!link.empty()) ::unlink(link.c_str());
    if (const auto progress = sim.replay_progress()) {
        // The whole recorded session, and nothing else, is a replay that matched.
        if (progress->mismatch) {
            std::fprintf(stderr, "tqrf-sim: replay of %s: %s\n", replay_path.c_str(),
                         tqrf_sim::describe(*progress->mismatch).c_str());
            return 1;
        }
        if (progress->answered < progress->total) {
            std::fprintf(stderr,
                         "tqrf-sim: replay of %s: stopped after %zu of %zu recorded requests; "
                         "the next is on line %zu\n",
                         replay_path.c_str(), progress->answered, progress->total,
                         progress->next_line);
            return 1;
        }
    }
    return 0;
}
