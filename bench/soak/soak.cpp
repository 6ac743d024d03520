// Soak: a long randomized card session through the shared library against the simulated
// reader, with faults injected on the reader's replies at a given rate. The program keeps its
// own model of what the card must hold. After every failed command it waits for the line to
// fall quiet, reads the card back and reconciles: a failed command may have changed nothing
// or, for a write or a transfer, may have completed on the card; anything else is a
// divergence. At the end it reports commands run, faults injected, every result code counted
// and every divergence (there must be none), and exits non-zero when there was one.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tq_RWD_DLL.h"
#include "tq_RWD_DLL_mifare.hpp"
#include "tqrf_sim/faults.h"
#include "tqrf_sim/simulator.h"

namespace {

using namespace std::chrono_literals;
using Block = std::array<std::uint8_t, 16>;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint8_t kKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr int kFirstSector = 1;  // sector 0 holds the manufacturer block
constexpr int kSectors = 5;      // sectors 1 to 5
constexpr int kMaxVerifyTries = 5;

struct Options {
    std::uint64_t commands = 10000;
    double fault_rate = 0.05;
    std::uint64_t seed = 1;
    std::uint64_t progress = 1000;  // a progress line every this many commands (0: none)
};

// A value block as the card lays it out (tq_RWD_DLL_mifare.hpp holds the layout).
Block value_block(std::uint32_t value, std::uint8_t address) {
    const tqrf::Block b =
        tqrf::mifare::ValueBlock{static_cast<std::int32_t>(value), address}.encode();
    Block out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

std::uint32_t value_of(const Block& b) {
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

std::string hex(const Block& b) {
    std::string s;
    char two[3];
    for (std::uint8_t x : b) {
        std::snprintf(two, sizeof two, "%02X", x);
        s += two;
    }
    return s;
}

// The name of a result as the header lists it ("TQRF_ERR_REPLY_FRAME"), "ok" or "reader status".
const char* code_name(int code) {
    switch (code) {
        case TQRF_OK:
            return "ok";
#define TQRF_SOAK_NAME(name, word, text) \
    case name:                           \
        return #name;
            TQRF_RESULTS(TQRF_SOAK_NAME)
#undef TQRF_SOAK_NAME
        default:
            return code > 0 && code <= 255 ? "reader status" : "unknown result code";
    }
}

class Soak {
  public:
    explicit Soak(const Options& o) : options_(o), rng_(o.seed) {}

    int run();

  private:
    // ---- Library calls, counted ---------------------------------------------------------------
    int count(int result) {
        ++commands_;
        ++codes_[result];
        return result;
    }

    // Injects a fault on the next reply at the configured rate.
    void maybe_fault() {
        if (!injecting_ ||
            std::uniform_real_distribution<double>(0, 1)(rng_) >= options_.fault_rate) {
            return;
        }
        static const char* const kinds[] = {
            "noreply",      "delay:45",     "delay:120",    "corrupt-xor",
            "truncate",     "truncate:5",   "noise-before", "noise-after:4",
            "oversize:110", "extra-data:2", "status:0x14",  "delay:15",
        };
        const char* kind = kinds[pick(0, std::size(kinds) - 1)];
        const auto rule = tqrf_sim::parse_fault_rule(std::string(kind) + "/1");
        if (!rule) {
            std::fprintf(stderr, "soak: bad fault rule %s\n", kind);
            std::exit(2);
        }
        sim_.add_fault(*rule);
        ++faults_injected_;
        ++fault_kinds_[kind];
    }

    // Mostly stays in the authenticated sector, so data commands outnumber authentications.
    int pick_sector() {
        if (session_sector_ >= 0 && pick(0, 99) < 60) return session_sector_;
        return static_cast<int>(pick(kFirstSector, kFirstSector + kSectors - 1));
    }

    std::size_t pick(std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(rng_);
    }

    // ---- The session: selected card, authenticated sector -----------------------------------
    bool select_and_authenticate(int sector);
    bool ensure_sector(int sector);
    // One of the first `count` blocks of a random sector, that sector opened; -1 when it could
    // not be opened.
    int open_block(int count);

    // ---- Reconciliation -----------------------------------------------------------------------
    void settle();
    std::optional<Block> read_clean(int block);
    void reconcile(int block, const std::vector<Block>& candidates, const char* what);
    void check_against_card(const char* when);
    void divergence(const std::string& text);

    // ---- Operations -----------------------------------------------------------------------------
    void op_write();
    void op_read();
    void op_value_pair();
    void op_readval();
    void op_initval();

    static int data_block(int sector) { return sector * 4 + 2; }
    static int value_block_of(int sector, int k) { return sector * 4 + k; }  // k = 0, 1

    Options options_;
    std::mt19937_64 rng_;
    tqrf_sim::Simulator sim_;
    std::map<int, Block> model_;
    int session_sector_ = -1;
    bool injecting_ = true;

    std::uint64_t commands_ = 0;
    std::uint64_t operations_ = 0;
    std::uint64_t faults_injected_ = 0;
    std::atomic<std::uint64_t> faults_committed_{0};
    std::uint64_t failures_ = 0;
    std::uint64_t reconciled_unchanged_ = 0;
    std::uint64_t reconciled_completed_ = 0;
    std::uint64_t divergences_ = 0;
    std::map<int, std::uint64_t> codes_;
    std::map<std::string, std::uint64_t> fault_kinds_;
    std::vector<std::string> divergence_log_;
};

bool Soak::select_and_authenticate(int sector) {
    std::uint8_t type[2], serial[4], size = 0;
    maybe_fault();
    if (count(tqrf_reset(0)) != 0) return false;
    maybe_fault();
    if (count(tqrf_request(0, type)) != 0) return false;
    maybe_fault();
    if (count(tqrf_anticoll(0, serial)) != 0) return false;
    maybe_fault();
    if (count(tqrf_select(serial, &size)) != 0) return false;
    maybe_fault();
    if (count(tqrf_loadkey(0, sector, kKey)) != 0) return false;
    maybe_fault();
    if (count(tqrf_authentication(0, sector)) != 0) return false;
    session_sector_ = sector;
    return true;
}

// Makes `sector` the authenticated one, selecting the card again from the start whenever a
// step fails. Gives up (returns false) only after many attempts.
bool Soak::ensure_sector(int sector) {
    if (session_sector_ == sector) return true;
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (session_sector_ >= 0) {
            maybe_fault();
            if (count(tqrf_loadkey(0, sector, kKey)) == 0) {
                maybe_fault();
                if (count(tqrf_authentication(0, sector)) == 0) {
                    session_sector_ = sector;
                    return true;
                }
            }
            ++failures_;
            settle();
            session_sector_ = -1;
        }
        if (select_and_authenticate(sector)) return true;
        ++failures_;
        settle();
        session_sector_ = -1;
    }
    divergence("the card could not be selected and authenticated for sector " +
               std::to_string(sector));
    return false;
}

// Lets every reply still on its way land, so the next command starts on a quiet line.
void Soak::settle() {
    sim_.wait_until_idle(3s);
    std::this_thread::sleep_for(5ms);
}

// Reads a block with no fault injected, trying again after a failure (a late reply from
// before can still spoil one read).
std::optional<Block> Soak::read_clean(int block) {
    const bool was = injecting_;
    injecting_ = false;
    std::optional<Block> out;
    for (int i = 0; i < kMaxVerifyTries && !out; ++i) {
        if (!ensure_sector(block / 4)) break;
        Block b{};
        const int r = count(tqrf_read(block, b.data()));
        if (r == 0) {
            out = b;
        } else {
            settle();
            session_sector_ = r > 0 ? -1 : session_sector_;
        }
    }
    injecting_ = was;
    return out;
}

// After a failed command on `block`: the card must hold one of `candidates` (the first is what
// the model held before). The model takes what the card holds.
void Soak::reconcile(int block, const std::vector<Block>& candidates, const char* what) {
    ++failures_;
    settle();
    const std::optional<Block> now = read_clean(block);
    if (!now) {
        divergence(std::string(what) + ": block " + std::to_string(block) + " cannot be read back");
        return;
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (*now == candidates[i]) {
            model_[block] = *now;
            ++(i == 0 ? reconciled_unchanged_ : reconciled_completed_);
            check_against_card(what);
            return;
        }
    }
    std::string text = std::string(what) + ": block " + std::to_string(block) + " holds " +
                       hex(*now) + ", expected one of";
    for (const Block& c : candidates) text += " " + hex(c);
    divergence(text);
    model_[block] = *now;
}

// The model against the simulated card's memory, block by block.
void Soak::check_against_card(const char* when) {
    const auto image = sim_.card_image(tqrf_sim::kDefaultUid);
    if (!image) {
        divergence(std::string(when) + ": the card is gone");
        return;
    }
    for (auto& [block, data] : model_) {
        Block on_card{};
        std::memcpy(on_card.data(), image->data() + block * 16, 16);
        if (on_card != data) {
            divergence(std::string(when) + ": block " + std::to_string(block) + " model " +
                       hex(data) + " card " + hex(on_card));
            data = on_card;
        }
    }
}

void Soak::divergence(const std::string& text) {
    ++divergences_;
    if (divergence_log_.size() < 50) divergence_log_.push_back(text);
    std::fprintf(stderr, "DIVERGENCE: %s\n", text.c_str());
}

void Soak::op_write() {
    const int sector = pick_sector();
    const int block = data_block(sector);
    if (!ensure_sector(sector)) return;
    Block data;
    for (auto& b : data) b = static_cast<std::uint8_t>(pick(0, 255));
    maybe_fault();
    const int r = count(tqrf_write(block, data.data()));
    if (r == 0) {
        model_[block] = data;
    } else {
        reconcile(block, {model_[block], data}, "write");
    }
}

int Soak::open_block(int count) {
    const int sector = pick_sector();
    const int block =
        value_block_of(sector, static_cast<int>(pick(0, static_cast<std::size_t>(count - 1))));
    return ensure_sector(sector) ? block : -1;
}

void Soak::op_read() {
    const int block = open_block(3);
    if (block < 0) return;
    Block data{};
    maybe_fault();
    const int r = count(tqrf_read(block, data.data()));
    if (r == 0) {
        if (data != model_[block]) {
            divergence("read: block " + std::to_string(block) + " gave " + hex(data) + ", model " +
                       hex(model_[block]));
            model_[block] = data;
        }
    } else {
        reconcile(block, {model_[block]}, "read");
    }
}

void Soak::op_readval() {
    const int block = open_block(2);
    if (block < 0) return;
    std::uint32_t value = 0;
    maybe_fault();
    const int r = count(tqrf_readval(block, &value));
    if (r == 0) {
        if (value != value_of(model_[block])) {
            divergence("readval: block " + std::to_string(block) + " gave " +
                       std::to_string(value) + ", model " +
                       std::to_string(value_of(model_[block])));
        }
    } else {
        reconcile(block, {model_[block]}, "readval");
    }
}

void Soak::op_initval() {
    const int block = open_block(2);
    if (block < 0) return;
    const auto value = static_cast<std::uint32_t>(pick(0, 100000));
    const Block wanted = value_block(value, static_cast<std::uint8_t>(block));
    maybe_fault();
    const int r = count(tqrf_initval(block, value));
    if (r == 0) {
        model_[block] = wanted;
    } else {
        reconcile(block, {model_[block], wanted}, "initval");
    }
}

// Increment, decrement or restore of one value block, then transfer into one of the sector's
// value blocks. The first step changes only the reader's transfer buffer.
void Soak::op_value_pair() {
    const int sector = pick_sector();
    const int source = value_block_of(sector, static_cast<int>(pick(0, 1)));
    const int target = value_block_of(sector, static_cast<int>(pick(0, 1)));
    if (!ensure_sector(sector)) return;
    const Block& src = model_[source];
    const auto amount = static_cast<std::uint32_t>(pick(0, 1000));
    const std::size_t kind = pick(0, 2);
    std::uint32_t result = value_of(src);
    int r;
    maybe_fault();
    if (kind == 0) {
        r = count(tqrf_increment(source, amount));
        result += amount;
    } else if (kind == 1) {
        r = count(tqrf_decrement(source, amount));
        result -= amount;
    } else {
        r = count(tqrf_restore(source));
    }
    if (r != 0) {
        // Nothing on the card changes before the transfer.
        reconcile(source, {model_[source]},
                  kind == 0   ? "increment"
                  : kind == 1 ? "decrement"
                              : "restore");
        return;
    }
    const Block moved = value_block(result, src[12]);
    maybe_fault();
    r = count(tqrf_transfer(target));
    if (r == 0) {
        model_[target] = moved;
    } else {
        reconcile(target, {model_[target], moved}, "transfer");
    }
}

int Soak::run() {
    sim_.set_observer([this](const tqrf_sim::Exchange& ex) {
        if (ex.fault) faults_committed_.fetch_add(1);
    });
    sim_.start();
    const auto started = SteadyClock::now();
    if (tqrf_init_device(sim_.slave_path().c_str()) != 0) {
        std::fprintf(stderr, "soak: cannot open %s\n", sim_.slave_path().c_str());
        return 2;
    }

    // Start from a known card: data blocks from the card, value blocks initialised.
    injecting_ = false;
    for (int s = kFirstSector; s < kFirstSector + kSectors; ++s) {
        if (!ensure_sector(s)) return 2;
        for (int k = 0; k < 2; ++k) {
            const int b = value_block_of(s, k);
            if (count(tqrf_initval(b, 1000u * static_cast<std::uint32_t>(b))) != 0) return 2;
            model_[b] =
                value_block(1000u * static_cast<std::uint32_t>(b), static_cast<std::uint8_t>(b));
        }
        const auto data = read_clean(data_block(s));
        if (!data) return 2;
        model_[data_block(s)] = *data;
    }
    check_against_card("start");
    injecting_ = true;

    std::uint64_t next_progress = options_.progress;
    while (commands_ < options_.commands) {
        const std::size_t roll = pick(0, 99);
        if (roll < 30) {
            op_write();
        } else if (roll < 55) {
            op_read();
        } else if (roll < 80) {
            op_value_pair();
        } else if (roll < 90) {
            op_readval();
        } else {
            op_initval();
        }
        ++operations_;
        if (options_.progress != 0 && commands_ >= next_progress) {
            std::fprintf(
                stderr, "soak: %" PRIu64 " commands, %" PRIu64 " faults, %" PRIu64 " divergences\n",
                commands_, faults_injected_, divergences_);
            next_progress += options_.progress;
        }
    }

    // Final check: every block through the library and against the card itself.
    settle();
    injecting_ = false;
    for (const auto& [block, data] : std::map<int, Block>(model_)) {
        const auto now = read_clean(block);
        if (!now || *now != data) {
            divergence("final: block " + std::to_string(block) + " reads " +
                       (now ? hex(*now) : std::string("nothing")) + ", model " + hex(data));
        }
    }
    check_against_card("final");
    const int closed = tqrf_exit();
    sim_.stop();
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();

    std::printf("soak report\n");
    std::printf("  seed                 %" PRIu64 "\n", options_.seed);
    std::printf("  fault rate           %.3f\n", options_.fault_rate);
    std::printf("  run time             %.1f s\n", seconds);
    std::printf("  operations           %" PRIu64 "\n", operations_);
    std::printf("  commands run         %" PRIu64 "\n", commands_);
    std::printf("  faults injected      %" PRIu64 " (committed by the reader: %" PRIu64 ")\n",
                faults_injected_, faults_committed_.load());
    for (const auto& [kind, n] : fault_kinds_) {
        std::printf("    %-18s %" PRIu64 "\n", kind.c_str(), n);
    }
    std::printf("  failed commands      %" PRIu64 "\n", failures_);
    std::printf("  reconciled           %" PRIu64 " unchanged, %" PRIu64 " completed on the card\n",
                reconciled_unchanged_, reconciled_completed_);
    std::printf("  result codes\n");
    for (const auto& [code, n] : codes_) {
        std::printf("    %5d %-24s %" PRIu64 "\n", code, code_name(code), n);
    }
    std::printf("  port closed          %s\n", closed == 0 ? "yes" : "NO");
    std::printf("  divergences          %" PRIu64 "\n", divergences_);
    for (const std::string& d : divergence_log_) std::printf("    %s\n", d.c_str());
    return divergences_ == 0 && closed == 0 ? 0 : 1;
}

void usage() {
    std::fprintf(stderr,
                 "usage: tqrf_soak [--commands N] [--fault-rate R] [--seed S] [--progress N]\n"
                 "  --commands N    library calls to make (default 10000)\n"
                 "  --fault-rate R  share of replies with an injected fault, 0..1 (default 0.05)\n"
                 "  --seed S        random seed (default 1)\n"
                 "  --progress N    a progress line every N commands (default 1000; 0: none)\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr || arg == "--help" || arg == "-h") {
            usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
        char* end = nullptr;
        if (arg == "--commands") {
            o.commands = std::strtoull(value, &end, 10);
        } else if (arg == "--fault-rate") {
            o.fault_rate = std::strtod(value, &end);
        } else if (arg == "--seed") {
            o.seed = std::strtoull(value, &end, 10);
        } else if (arg == "--progress") {
            o.progress = std::strtoull(value, &end, 10);
        } else {
            usage();
            return 2;
        }
        if (end == value || *end != '\0' || o.fault_rate < 0 || o.fault_rate > 1) {
            usage();
            return 2;
        }
        ++i;
    }
    Soak soak(o);
    return soak.run();
}
