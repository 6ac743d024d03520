#include "tqrf_sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "tqrf_sim/frame.h"

namespace tqrf_sim {

namespace {

// A silence this long ends an unfinished frame. A host pauses about 1 ms between the address
// byte and the frame, and at least 40 ms between requests. The pause after the address byte
// is given much longer: a busy host may be late with its frame, and a request lost to an
// impatient simulator would look like a fault of the host's.
constexpr auto kIdleGap = std::chrono::milliseconds(20);
constexpr auto kAddressGap = std::chrono::milliseconds(250);
constexpr std::size_t kJournalLimit = 256;

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void set_cloexec(int fd) {
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

std::int64_t utc_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Simulator::Simulator(SimulatorOptions options) : options_(options) {
    if (options_.default_card) reader_.place(MifareClassic(kDefaultUid));
}

Simulator::~Simulator() {
    stop();
}

void Simulator::start() {
    if (running()) throw std::logic_error("simulator already running");
    try {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) throw_errno("posix_openpt");
        set_cloexec(master_);
        if (::grantpt(master_) != 0) throw_errno("grantpt");
        if (::unlockpt(master_) != 0) throw_errno("unlockpt");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) throw_errno("ptsname_r");
        // Holding the slave open keeps the master usable while no host has the port open:
        // otherwise the master reads EIO and polls POLLHUP after every close by the host.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) throw_errno("open pty slave");
        termios t{};
        if (::tcgetattr(slave_, &t) != 0) throw_errno("tcgetattr");
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B19200);
        ::cfsetospeed(&t, B19200);
        if (::tcsetattr(slave_, TCSANOW, &t) != 0) throw_errno("tcsetattr");
        // Writes never block: a line delivers its bytes whether anybody listens or not.
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        int pipe_fds[2];
        if (::pipe(pipe_fds) != 0) throw_errno("pipe");
        wake_read_ = pipe_fds[0];
        wake_write_ = pipe_fds[1];
        set_cloexec(wake_read_);
        set_cloexec(wake_write_);
        slave_path_ = name;
        {
            std::lock_guard lock(mutex_);
            served_ = 0;
            received_ = 0;
        }
        adapter_epoch_ = Clock::now();
        thread_ = std::thread([this] { serve(); });
    } catch (...) {
        close_fds();
        slave_path_.clear();
        throw;
    }
}

void Simulator::stop() {
    if (thread_.joinable()) {
        const char wake = 1;
        while (::write(wake_write_, &wake, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    close_fds();
}

void Simulator::close_fds() {
    for (int* fd : {&master_, &slave_, &wake_read_, &wake_write_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void Simulator::serve() {
#ifdef __linux__
    // Paced bytes fall due every 573 us: wake as close to each deadline as the kernel can,
    // rather than within its default 50 us of slack.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    RequestParser parser;
    InboundLine line;
    std::uint8_t buffer[512];
    auto last_byte = Clock::now();
    auto gap = [&] { return parser.after_address() ? kAddressGap : kIdleGap; };
    for (;;) {
        pollfd fds[2] = {{master_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, parser.mid_frame() ? static_cast<int>(gap().count()) : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if (ready == 0) {
            parser.line_idle();
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                // The silence may have ended before this thread saw the time-out.
                const auto now = Clock::now();
                if (parser.mid_frame() && now - last_byte >= gap()) parser.line_idle();
                last_byte = now;
                bool echoing;
                {
                    std::lock_guard lock(mutex_);
                    echoing = options_.adapter.kind == AdapterKind::Echo;
                }
                if (echoing) {
                    echo(buffer, static_cast<std::size_t>(n));
                    continue;
                }
                for (ssize_t i = 0; i < n; ++i) {
                    const auto arrived = line.take(now);
                    if (!parser.feed(buffer[i])) continue;
                    if (!respond(parser.payload(), arrived)) return;
                    last_byte = Clock::now();
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        // Nobody on the other end (cannot happen while the slave is held open, but a hang-up
        // must not turn into a busy loop).
        parser.line_idle();
        if (!sleep_until(Clock::now() + std::chrono::milliseconds(10))) return;
    }
}

std::optional<Fault> Simulator::take_fault(std::optional<std::uint8_t> command) {
    std::optional<Fault> taken;
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        FaultRule& rule = faults_[i];
        if (rule.count == 0) continue;
        if (rule.command && rule.command != command) continue;
        if (taken) {
            // A rule with a share draws for every request it applies to, whether an earlier
            // rule took the request or not: its faults do not depend on the other rules.
            if (rule.skip == 0 && rule.share_ppm > 0) (void)draws_[i].fires(rule.share_ppm);
            continue;
        }
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (rule.share_ppm > 0 && !draws_[i].fires(rule.share_ppm)) continue;
        taken = rule.fault;
        if (rule.count > 0 && --rule.count == 0) {
            faults_.erase(faults_.begin() + static_cast<std::ptrdiff_t>(i));
            draws_.erase(draws_.begin() + static_cast<std::ptrdiff_t>(i));
            --i;
        }
    }
    return taken;
}

namespace {

// The payload of a recorded reply that is a valid frame.
std::optional<std::vector<std::uint8_t>> frame_payload(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 4 || xor_of(bytes) != 0) return std::nullopt;
    if (((std::size_t{bytes[0]} << 8) | bytes[1]) + 3 != bytes.size()) return std::nullopt;
    return std::vector<std::uint8_t>(bytes.begin() + 2, bytes.end() - 1);
}

}  // namespace

bool Simulator::respond(std::span<const std::uint8_t> payload, Clock::time_point arrived) {
    Exchange ex;
    ex.request.assign(payload.begin(), payload.end());
    bool pacing;
    {
        std::lock_guard lock(mutex_);
        ++received_;
        pacing = options_.pacing;
    }
    // The pseudo-terminal delivered the bytes at once; on the line the last one arrives a byte
    // time after the one before it, and the reader cannot start on the request before that.
    const auto now = Clock::now();
    ex.received = pacing && arrived > now ? arrived : now;
    if (ex.received > now && !sleep_until(ex.received)) return false;

    Reply reply;
    std::optional<std::vector<std::uint8_t>> replayed;  // while replaying: the recorded reply
    std::chrono::microseconds latency;
    TimingProfile timing;
    bool noise;
    {
        std::lock_guard lock(mutex_);
        latency = options_.latency;
        pacing = options_.pacing;
        timing = options_.timing;
        noise = options_.adapter.kind == AdapterKind::Noise;
        if (!noise) {
            reply = reader_.handle(payload, ex.received);
            bool answer = true;
            if (replay_) {
                const RecordedExchange* recorded = replay_->next(encode_frame(payload));
                if (recorded != nullptr) {
                    replayed = recorded->reply;
                    ex.trace_line = recorded->line;
                } else {
                    replayed.emplace();  // the replay has ended: no answer
                    answer = false;
                }
            }
            if (answer) {
                ex.fault = take_fault(payload.size() > 1 ? std::optional<std::uint8_t>(payload[1])
                                                         : std::nullopt);
            }
        }
    }
    WireReply wire;
    if (noise) {
        // Another device on the line: it answers, but not with a frame.
        const auto bytes = noise_reply();
        wire.bytes.assign(bytes.begin(), bytes.end());
    } else if (replayed) {
        // The recorded reply in place of the model's; faults apply to a valid frame only.
        if (const auto recorded = frame_payload(*replayed)) {
            ex.processing = processing_time(timing, payload, recorded->back());
            wire = apply_fault(*recorded, ex.fault);
        } else {
            ex.processing = processing_time(timing, payload, reply.status());
            ex.fault.reset();
            wire.bytes = std::move(*replayed);
        }
    } else {
        ex.processing = processing_time(timing, payload, reply.status());
        wire = apply_fault(reply.payload, ex.fault);
    }
    bool alive = true;
    if (!wire.bytes.empty()) {
        ex.replying = ex.received + latency + ex.processing + reply.hold + wire.extra_delay;
        alive = sleep_until(ex.replying) && write_line(wire.bytes, pacing, ex.replying);
    }
    ex.reply = std::move(wire.bytes);
    ex.answered = Clock::now();
    rest_line();
    std::function<void(const Exchange&)> observer;
    {
        std::lock_guard lock(mutex_);
        ex.sequence = ++served_;
        journal_.push_back(ex);
        if (journal_.size() > kJournalLimit) journal_.erase(journal_.begin());
        observer = observer_;
    }
    served_cv_.notify_all();
    if (observer) observer(ex);
    return alive;
}

// A pseudo-terminal cannot keep a parity setting: the kernel drops PARENB, and the C library
// then reports a line setting whose only change is PARENB as EINVAL. A host that opens the
// line again while it still holds the space-parity mode of an earlier session would have its
// first line setting refused. So after each reply the parity-mode bits are cleared, as on a
// line at rest; the host sets them again before its next request anyway.
void Simulator::rest_line() {
    termios t{};
    if (slave_ < 0 || ::tcgetattr(slave_, &t) != 0) return;
    constexpr tcflag_t kModeBits = CMSPAR | PARODD | PARENB;
    if ((t.c_cflag & kModeBits) == 0) return;
    t.c_cflag &= ~kModeBits;
    (void)::tcsetattr(slave_, TCSANOW, &t);
}

bool Simulator::sleep_until(Clock::time_point deadline) {
    for (;;) {
        const auto now = Clock::now();
        const auto left = deadline > now ? deadline - now : Clock::duration::zero();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd wake{wake_read_, POLLIN, 0};
        const int r = ::ppoll(&wake, 1, &ts, nullptr);
        if (r > 0) return false;
        if (r == 0 && Clock::now() >= deadline) return true;
        if (r < 0 && errno != EINTR) return true;
    }
}

void Simulator::write_now(const std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(master_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // nobody takes the bytes: they are lost, as on a line
        }
    }
}

// A loopback: what the host sends comes straight back.
void Simulator::echo(const std::uint8_t* bytes, std::size_t count) {
    write_now(bytes, count);
}

bool Simulator::write_line(const std::vector<std::uint8_t>& bytes, bool pacing,
                           Clock::time_point start) {
    Adapter adapter;
    {
        std::lock_guard lock(mutex_);
        adapter = options_.adapter;
    }
    if (adapter.kind == AdapterKind::Ftdi) {
        // The bytes cross the line into the chip, which hands them over in batches.
        std::vector<Clock::time_point> arrived(bytes.size(), start);
        if (pacing) {
            for (std::size_t i = 0; i < bytes.size(); ++i) arrived[i] = paced_byte_done(start, i);
        }
        std::size_t done = 0;
        for (const Delivery& d : ftdi_deliveries(arrived, adapter_epoch_, adapter.latency_timer)) {
            if (!sleep_until(d.at)) return false;
            write_now(bytes.data() + done, d.count);
            done += d.count;
        }
        return true;
    }
    if (!pacing) {
        write_now(bytes.data(), bytes.size());
        return true;
    }
    // Every byte has its own deadline counted from the reply's start, so a late wake-up delays
    // one byte and not every byte after it.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (!sleep_until(paced_byte_done(start, i))) return false;
        while (::write(master_, &bytes[i], 1) < 0 && errno == EINTR) {
        }
    }
    return true;
}

bool Simulator::place_card(const Uid& uid) {
    std::lock_guard lock(mutex_);
    return reader_.place(MifareClassic(uid));
}

bool Simulator::place_card(std::span<const std::uint8_t> image) {
    if (image.size() != kCardSize) return false;
    CardImage copy{};
    std::copy(image.begin(), image.end(), copy.begin());
    std::lock_guard lock(mutex_);
    return reader_.place(MifareClassic(copy));
}

bool Simulator::remove_card(const Uid& uid) {
    std::lock_guard lock(mutex_);
    return reader_.remove(uid);
}

void Simulator::remove_all_cards() {
    std::lock_guard lock(mutex_);
    reader_.remove_all();
}

std::vector<Uid> Simulator::cards() const {
    std::lock_guard lock(mutex_);
    return reader_.uids();
}

std::optional<CardImage> Simulator::card_image(const Uid& uid, ImageView view) const {
    std::lock_guard lock(mutex_);
    const MifareClassic* c = reader_.card(uid);
    if (c == nullptr) return std::nullopt;
    return view == ImageView::Raw ? c->memory() : c->image_as_read();
}

std::optional<CardState> Simulator::card_state(const Uid& uid) const {
    std::lock_guard lock(mutex_);
    const MifareClassic* c = reader_.card(uid);
    if (c == nullptr) return std::nullopt;
    return c->state();
}

void Simulator::set_latency(std::chrono::microseconds latency) {
    std::lock_guard lock(mutex_);
    options_.latency = latency;
}

void Simulator::set_pacing(bool on) {
    std::lock_guard lock(mutex_);
    options_.pacing = on;
}

void Simulator::set_timing(TimingProfile profile) {
    std::lock_guard lock(mutex_);
    options_.timing = profile;
}

void Simulator::set_adapter(const Adapter& adapter) {
    std::lock_guard lock(mutex_);
    options_.adapter = adapter;
}

void Simulator::add_fault(const FaultRule& rule) {
    std::lock_guard lock(mutex_);
    faults_.push_back(rule);
    draws_.emplace_back(options_.seed, rules_added_++);
}

void Simulator::clear_faults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
    draws_.clear();
    rules_added_ = 0;
}

void Simulator::set_seed(std::uint64_t seed) {
    std::lock_guard lock(mutex_);
    options_.seed = seed;
    for (std::size_t i = 0; i < draws_.size(); ++i) draws_[i] = ShareDraws(seed, i);
    rules_added_ = draws_.size();
}

void Simulator::set_replay(RecordedSession session) {
    std::lock_guard lock(mutex_);
    replay_.emplace(std::move(session));
}

void Simulator::clear_replay() {
    std::lock_guard lock(mutex_);
    replay_.reset();
}

std::optional<ReplayProgress> Simulator::replay_progress() const {
    std::lock_guard lock(mutex_);
    if (!replay_) return std::nullopt;
    return replay_->progress();
}

std::vector<FaultRule> Simulator::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void Simulator::reset_reader() {
    std::lock_guard lock(mutex_);
    const std::uint32_t id = reader_.identity();
    reader_.power_on(Clock::now(), utc_now());
    reader_.set_identity(id);
}

void Simulator::set_identity(std::uint32_t id) {
    std::lock_guard lock(mutex_);
    reader_.set_identity(id);
}

std::vector<Exchange> Simulator::journal() const {
    std::lock_guard lock(mutex_);
    return journal_;
}

void Simulator::clear_journal() {
    std::lock_guard lock(mutex_);
    journal_.clear();
}

std::uint64_t Simulator::exchanges() const {
    std::lock_guard lock(mutex_);
    return served_;
}

bool Simulator::wait_for_exchanges(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return served_cv_.wait_for(lock, timeout, [&] { return served_ >= count; });
}

bool Simulator::wait_until_idle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return served_cv_.wait_for(lock, timeout, [&] { return served_ == received_; });
}

void Simulator::set_observer(std::function<void(const Exchange&)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

}  // namespace tqrf_sim
