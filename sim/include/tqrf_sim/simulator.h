// The simulated reader on a pseudo-terminal. It owns the master side of a new pty and serves
// requests on a thread of its own; a host opens slave_path() as if it were the reader's
// serial port (for example with tqrf_init_device()).
//
//   tqrf_sim::Simulator sim;          // one factory-fresh card in the field
//   sim.start();
//   tqrf_init_device(sim.slave_path().c_str());
//   ...
//   tqrf_exit();
//   sim.stop();                       // the destructor stops it too
//
// Every control function is thread-safe and takes effect from the next request.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tqrf_sim/adapter.h"
#include "tqrf_sim/card.h"
#include "tqrf_sim/faults.h"
#include "tqrf_sim/reader.h"
#include "tqrf_sim/replay.h"
#include "tqrf_sim/timing.h"

namespace tqrf_sim {

// The UID of the card placed by default.
inline constexpr Uid kDefaultUid{0x3A, 0x7C, 0x91, 0xE5};

struct SimulatorOptions {
    // Time from the end of a request to the start of the reply, on top of the reader's working
    // time under the timing profile. With TimingProfile::Mf1k the profile holds all of the
    // reader's time: set the latency to 0 for a line that behaves like the real reader.
    std::chrono::microseconds latency{3000};
    // Model the line's rate (19200 baud, 11 bits a byte) in both directions: a request's bytes
    // take their wire time before the reader starts on it, and the reply goes out a byte at a
    // time. Without it a request is taken when it is read and the reply is written at once.
    bool pacing = false;
    // Put one factory-fresh card with kDefaultUid in the field.
    bool default_card = true;
    // How long the reader works on each command.
    TimingProfile timing = TimingProfile::Instant;
    // What sits between the reader and the host (see adapter.h). An echo adapter has no reader
    // behind it and journals nothing; a noise adapter journals the noise it sent.
    Adapter adapter{};
    // Chooses the random draws of fault rules with a share (FaultRule::share_ppm): the same
    // seed and the same requests give the same faults.
    std::uint64_t seed = 0;
};

// One request and what went back on the line.
struct Exchange {
    std::uint64_t sequence = 0;         // 1 for the first request served
    std::vector<std::uint8_t> request;  // the request payload
    std::vector<std::uint8_t> reply;    // the bytes sent (empty when none)
    std::optional<Fault> fault;         // the fault committed on the reply, if any
    // The request's last byte was taken: when it was read, or with pacing when it had crossed
    // the line. The reader starts on the request no earlier.
    Clock::time_point received{};
    std::chrono::nanoseconds processing{};  // the reader's working time under the profile
    // When the reply's first bit was due on the line: received + latency + processing, plus a
    // beep's hold and a delay fault's time. Unset when nothing was sent.
    Clock::time_point replying{};
    Clock::time_point answered{};  // the reply's last byte was written
    // While replaying a trace: the line of the recorded request that was answered (0 when
    // none, and when the request differed from the recorded one).
    std::size_t trace_line = 0;
    std::uint8_t command() const { return request.size() > 1 ? request[1] : 0; }
};

enum class ImageView {
    Raw,     // the card's memory, keys included
    AsRead,  // as a reader would read it: key A zeros, key B only where readable
};

class Simulator {
  public:
    explicit Simulator(SimulatorOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens a new pseudo-terminal and starts serving on a thread. Throws std::system_error
    // when the pty cannot be set up, std::logic_error when already running.
    void start();
    // Stops serving and closes the pty; a reply that is being delayed is not sent.
    void stop();
    bool running() const { return thread_.joinable(); }
    // The device path a host opens, for example /dev/pts/3. Empty before start().
    const std::string& slave_path() const { return slave_path_; }

    // ---- Cards in the field ----------------------------------------------------------------
    // A factory-fresh card with this UID. False when a card with the UID is already there.
    bool place_card(const Uid& uid);
    // A card from a 1024-byte image (block 0 first; its UID is bytes 0..3). False when the
    // image is not 1024 bytes or its UID is already in the field.
    bool place_card(std::span<const std::uint8_t> image);
    bool remove_card(const Uid& uid);
    void remove_all_cards();
    std::vector<Uid> cards() const;
    std::optional<CardImage> card_image(const Uid& uid, ImageView view = ImageView::Raw) const;
    std::optional<CardState> card_state(const Uid& uid) const;

    // ---- Timing and faults -----------------------------------------------------------------
    void set_latency(std::chrono::microseconds latency);
    void set_pacing(bool on);
    void set_timing(TimingProfile profile);
    void set_adapter(const Adapter& adapter);
    // A rule with a share draws from a sequence of its own, given by the seed and the number of
    // rules added before it (since the last clear_faults()).
    void add_fault(const FaultRule& rule);
    void clear_faults();
    // Starts every rule's draws again from this seed.
    void set_seed(std::uint64_t seed);
    std::vector<FaultRule> faults() const;

    // ---- Replaying a recorded session ------------------------------------------------------
    // From the next request on, each request is matched against the session's next recorded
    // one and answered with the reply recorded for it, in place of the model's reply (latency,
    // pacing, the timing profile and the adapter apply as usual; the model still carries the
    // request out). Fault rules apply to recorded replies that are valid frames. The first
    // request that differs, or a request past the end of the session, is not answered and ends
    // the replay: every later request goes unanswered too.
    void set_replay(RecordedSession session);
    void clear_replay();
    // Nothing when no replay is set.
    std::optional<ReplayProgress> replay_progress() const;

    // ---- Reader state ------------------------------------------------------------------------
    // Back to power-on: no keys loaded, E2PROM as shipped, clock at the host's time, every card
    // idle, no selection. Cards, faults and timing stay.
    void reset_reader();
    void set_identity(std::uint32_t id);
    // Runs `f` on the reader model under the simulator's lock.
    template <class F>
    auto with_reader(F&& f) {
        std::lock_guard lock(mutex_);
        return f(reader_);
    }

    // ---- What happened -----------------------------------------------------------------------
    // The last exchanges (up to 256), oldest first.
    std::vector<Exchange> journal() const;
    void clear_journal();
    // The number of requests served (replied to, or dropped by a fault) since start.
    std::uint64_t exchanges() const;
    // Waits until at least `count` requests have been served; false on time-out.
    bool wait_for_exchanges(std::uint64_t count, std::chrono::milliseconds timeout) const;
    // Waits until every request taken so far has been answered (a delayed reply has gone out);
    // false on time-out.
    bool wait_until_idle(std::chrono::milliseconds timeout) const;
    // Called on the serving thread after each exchange (not under the lock).
    void set_observer(std::function<void(const Exchange&)> observer);

  private:
    void serve();
    bool respond(std::span<const std::uint8_t> payload, Clock::time_point arrived);
    bool sleep_until(Clock::time_point deadline);
    bool write_line(const std::vector<std::uint8_t>& bytes, bool pacing, Clock::time_point start);
    std::optional<Fault> take_fault(std::optional<std::uint8_t> command);
    void close_fds();
    void rest_line();
    void echo(const std::uint8_t* bytes, std::size_t count);
    void write_now(const std::uint8_t* bytes, std::size_t count);

    mutable std::mutex mutex_;
    mutable std::condition_variable served_cv_;
    Reader reader_;
    SimulatorOptions options_;
    std::vector<FaultRule> faults_;
    std::vector<ShareDraws> draws_;  // one for each rule in faults_
    std::uint64_t rules_added_ = 0;
    std::optional<Replay> replay_;
    std::vector<Exchange> journal_;
    std::uint64_t served_ = 0;
    std::uint64_t received_ = 0;
    std::function<void(const Exchange&)> observer_;

    std::string slave_path_;
    int master_ = -1;
    int slave_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    std::thread thread_;
    Clock::time_point adapter_epoch_{};  // an FTDI latency timer runs from here
};

}  // namespace tqrf_sim
