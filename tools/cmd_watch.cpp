// watch: waits for cards and reports each one that arrives or leaves, on every reader given,
// until a stop request (Ctrl-C, SIGTERM; platform.h). A reader that stops answering is
// reported lost and opened again every second until it answers; the other readers go on
// meanwhile. The polling and the lost/back loop are the card watch (watch/card_watch.h).
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "card_watch.h"
#include "commands.h"
#include "platform.h"

namespace tqrf::tool {

namespace {

struct Shared {
    Printer& out;
    const WatchArgs& args;
    Connection& conn;
    std::optional<Key> key;
    std::mutex mutex;  // the printer, `error`, `lost` and the wake-up below
    std::condition_variable wake;
    bool stop = false;
    std::optional<CommandError> error;
    int running = 0;
    std::vector<std::string> lost;  // the readers lost now
};

// The tool's side of the card watch (watch/card_watch.h): what it prints, and a failure that
// is no link failure ends the run.
class Watcher final : public watch::Handler {
  public:
    Watcher(Link& link, Shared& shared, std::optional<CommandError> open_error)
        : link_(link), s_(shared), open_error_(std::move(open_error)) {}

    void run() {
        try {
            if (open_error_) reader_lost(*open_error_);
            watch::run(link_.reader, *this, std::chrono::milliseconds(s_.args.interval_ms));
        } catch (const CommandError& e) {
            std::lock_guard<std::mutex> lock(s_.mutex);
            if (!s_.error) s_.error = e;
            s_.stop = true;
        }
        std::lock_guard<std::mutex> lock(s_.mutex);
        --s_.running;
        s_.wake.notify_all();
    }

  private:
    bool wait(std::chrono::milliseconds d) override {
        std::unique_lock<std::mutex> lock(s_.mutex);
        return s_.wake.wait_for(lock, d, [&] { return s_.stop; });
    }

    bool failed(Reader& r, const char* doing, const std::error_code& ec) override {
        try {
            throw_failure(std::string(doing) + " on " + link_.port, ec, r);
        } catch (const LinkError& e) {
            reader_lost(e);
        }
        return true;
    }

    void left(const CardInfo& card) override {
        WatchEvent e;
        e.time = local_time_text();
        e.port = link_.port;
        e.arrived = false;
        e.card = card;
        emit(e);
    }

    void reader_lost(const CommandError& e) {
        link_.reader = Reader{};
        ReaderEvent ev;
        ev.time = local_time_text();
        ev.port = link_.port;
        ev.kind = e.kind();
        ev.message = e.what();
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.lost.push_back(link_.port);
        s_.out.reader_event(ev);
    }

    // Opens the lost reader again; it is back once it answers a link test.
    bool reopen(Reader& reader) override {
        Reader r;
        try {
            r = s_.conn.reopen(link_.port);
        } catch (const CommandError&) {
            return false;
        }
        if (!r.link_test()) return false;
        reader = std::move(r);
        ReaderEvent ev;
        ev.time = local_time_text();
        ev.port = link_.port;
        ev.back = true;
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.lost.erase(std::remove(s_.lost.begin(), s_.lost.end(), link_.port), s_.lost.end());
        s_.out.reader_event(ev);
        return true;
    }

    bool arrived(Reader& r, const CardInfo& card) override {
        WatchEvent e;
        e.time = local_time_text();
        e.port = link_.port;
        e.card = card;
        if (s_.args.block) {
            const int block = static_cast<int>(*s_.args.block);
            const KeyType type = s_.args.key_b ? KeyType::B : KeyType::A;
            e.block = block;
            Status st = r.login(mifare::sector_of(block), type, *s_.key);
            Result<Block> data = st ? r.read(block) : Result<Block>(st.error());
            if (data) {
                e.data = *data;
            } else {
                if (!is_reader_status(data.error())) {
                    const std::string doing = "reading block " + std::to_string(block);
                    failed(r, doing.c_str(), data.error());
                    return false;
                }
                e.read_error = describe(data.error());
            }
        }
        emit(e);
        return true;
    }

    void emit(const WatchEvent& e) {
        std::lock_guard<std::mutex> lock(s_.mutex);
        s_.out.watch(e);
    }

    Link& link_;
    Shared& s_;
    std::optional<CommandError> open_error_;
};

}  // namespace

void run_watch(const Globals& g, Printer& out, const WatchArgs& a) {
    // From the start: every error of a watch is a record of its stream too.
    out.stream();
    std::optional<Key> key;
    if (a.block) {
        key = Key::from_hex(a.key);
        if (!key) throw usage_error("--key must be 12 hex digits, not \"" + a.key + "\"");
    }
    // Before any thread starts, the simulator's too: a stop request ends the wait below.
    platform::StopRequest stop;

    // With several readers, one that does not open is watched for as a lost one; a run where
    // none opens fails at once.
    auto conn = Connection::open(g, true, true);
    if (conn->failures().size() == conn->links().size()) throw conn->failures().front().error;
    Shared shared{out, a, *conn, key, {}, {}, false, std::nullopt, 0, {}};
    std::vector<std::unique_ptr<Watcher>> watchers;
    std::vector<std::thread> threads;
    shared.running = static_cast<int>(conn->links().size());
    for (std::size_t i = 0; i < conn->links().size(); ++i) {
        std::optional<CommandError> open_error;
        for (const auto& f : conn->failures()) {
            if (f.index == i) open_error = f.error;
        }
        watchers.push_back(std::make_unique<Watcher>(conn->links()[i], shared, open_error));
        threads.emplace_back([w = watchers.back().get()] { w->run(); });
    }
    for (;;) {
        if (stop.wait(std::chrono::milliseconds(100))) break;
        std::lock_guard<std::mutex> lock(shared.mutex);
        if (shared.running == 0 || shared.stop) break;
    }
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stop = true;
        shared.wake.notify_all();
    }
    for (auto& t : threads) t.join();
    if (shared.error) throw *shared.error;
    if (!shared.lost.empty()) {
        std::string names;
        for (const auto& p : shared.lost) names += (names.empty() ? "" : ", ") + p;
        throw CommandError("reader_lost", "the watch ended with a reader lost: " + names);
    }
}

}  // namespace tqrf::tool
