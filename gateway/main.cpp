// tqrf-gateway: puts the readers of a host on an MQTT broker. Each reader is watched on a thread
// of its own (watch/card_watch.h); cards arriving and leaving are published as events, the
// readers' and the gateway's state as retained status messages, and requests on each reader's
// cmd topic are carried out on the reader's thread between polls. See docs/gateway.md.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "adapter.h"
#include "card_watch.h"
#include "config.h"
#include "discovery.h"
#include "mqtt.h"
#include "notify.h"
#include "request.h"
#include "state.h"

#ifndef TQRF_GATEWAY_VERSION
#define TQRF_GATEWAY_VERSION "0"
#endif

namespace tqrf::gateway {

namespace {

using json = nlohmann::json;

// Requests per reader (see ReaderWatch::request).
constexpr double kRequestsPerSecond = 10;
constexpr double kRequestBurst = 20;
constexpr std::size_t kRequestsWaiting = 64;

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
}

void log(const std::string& line) {
    static std::mutex m;
    std::lock_guard<std::mutex> lock(m);
    std::cerr << utc_now() << " " << line << std::endl;
}

class Gateway;

// One reader: its watch, its status and the requests waiting for it.
class ReaderWatch final : public watch::Handler {
  public:
    ReaderWatch(Gateway& g, ReaderConfig cfg, std::string name, const std::string& state_dir);

    const std::string& name() const { return name_; }
    void start() {
        thread_ = std::thread([this] { watch::run(reader_, *this, interval()); });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    void request(Incoming in);
    json status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

  private:
    std::chrono::milliseconds interval() const;
    bool arrived(Reader&, const CardInfo& card) override {
        event("arrived", card);
        return true;
    }
    void left(const CardInfo& card) override { event("left", card); }
    bool failed(Reader&, const char* doing, const std::error_code& ec) override {
        set_status(false, std::string(doing) + ": " + ec.message());
        return true;
    }
    bool reopen(Reader& reader) override {
        ReaderOptions opts;
        if (!reported_ || adapter_.empty()) adapter_ = adapter_of(cfg_.port);
        auto r = Reader::open(cfg_.port, opts);
        if (!r || !r->link_test()) {
            if (!reported_) {
                set_status(false, r ? "the reader does not answer"
                                    : "the port does not open: " + r.error().message());
            }
            return false;
        }
        reader = std::move(*r);
        adapter_ = adapter_of(cfg_.port);
        version_ = identity_ = "";
        if (auto v = reader.hardware_version()) version_ = *v;
        if (auto id = reader.reader_id()) {
            char text[16];
            std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(*id));
            identity_ = text;
        }
        set_status(true, "");
        return true;
    }
    bool wait(std::chrono::milliseconds d) override;

    void event(const char* what, const CardInfo& card);
    void set_status(bool online, const std::string& why);
    void announce();  // Home Assistant discovery, once online (discovery.h)
    void serve(const Incoming& in);
    json run_command(const Request& req);

    Gateway& g_;
    ReaderConfig cfg_;
    std::string name_;
    Counter seq_;
    Reader reader_;
    std::thread thread_;
    mutable std::mutex mutex_;  // stop_, requests_, status_
    std::condition_variable wake_;
    bool stop_ = false;
    bool reported_ = false;
    std::deque<Incoming> requests_;
    RequestRate rate_{kRequestsPerSecond, kRequestBurst};
    long long refused_ = 0;  // requests dropped since the last one taken
    RequestPolicy policy_;
    json status_;
    std::string version_, identity_;
    std::string adapter_;  // what the port is (adapter.h)
};

class Gateway {
  public:
    Gateway(Config c, std::string state_dir)
        : c_(std::move(c)),
          state_dir_(std::move(state_dir)),
          started_(utc_now()),
          dropped_(state_dir_ + "/dropped") {}

    const Config& config() const { return c_; }
    std::string topic(const std::string& tail) const { return "tqrf/" + c_.name + "/" + tail; }

    int run();

    void publish(const std::string& topic, const std::string& payload, bool retained,
                 const std::string& correlation = "") {
        // A full queue drops its oldest message (Paho's deleteOldestMessages): counted by
        // on_dropped.
        if (!mqtt_->publish(topic, payload, retained, 1, correlation)) {
            log("not queued: a message on " + topic);
        }
    }
    // A retained status: its latest payload is published once connected and the queue has room.
    void publish_state(const std::string& topic, const std::string& payload) {
        mqtt_->publish_state(topic, payload);
    }
    // Now or never (QoS 0): a scan for Home Assistant.
    void publish_now(const std::string& topic, const std::string& payload) {
        (void)mqtt_->publish_now(topic, payload);
    }

    json gateway_status(bool online) const {
        std::lock_guard<std::mutex> lock(publish_mutex_);  // dropped_
        return json{{"state", online ? "online" : "offline"},
                    {"version", TQRF_GATEWAY_VERSION},
                    {"started", started_},
                    {"time", utc_now()},
                    {"queued", online && mqtt_ ? mqtt_->pending() : 0},
                    {"dropped", dropped_.value()}};
    }

  private:
    void connected();
    void dispatch(Incoming in);

    Config c_;
    std::string state_dir_;
    std::string started_;
    Counter dropped_;
    mutable std::mutex publish_mutex_;  // dropped_
    std::unique_ptr<Mqtt> mqtt_;
    std::vector<std::unique_ptr<ReaderWatch>> readers_;
    Notifier notify_;  // systemd
};

std::chrono::milliseconds ReaderWatch::interval() const {
    return std::chrono::milliseconds(g_.config().interval_ms);
}

void ReaderWatch::event(const char* what, const CardInfo& card) {
    char size[8];
    std::snprintf(size, sizeof size, "%02X", card.size);
    const json e{{"event", what},   {"uid", card.uid.hex()},      {"type", card.type.hex()},
                 {"size", size},    {"time", utc_now()},          {"seq", seq_.next()},
                 {"reader", name_}, {"gateway", g_.config().name}};
    g_.publish(g_.topic(name_ + "/event"), e.dump(), false);
    if (g_.config().ha_discovery && std::string(what) == "arrived") {
        g_.publish_now(g_.topic(name_ + "/tag"), tag_payload(card.uid.hex()));
    }
}

void ReaderWatch::set_status(bool online, const std::string& why) {
    json s{{"state", online ? "online" : "lost"},
           {"port", cfg_.port},
           {"adapter", adapter_},
           {"time", utc_now()}};
    if (online) {
        s["version"] = version_;
        s["identity"] = identity_;
    } else {
        s["error"] = why;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = s;
        reported_ = true;
    }
    log("reader " + name_ + (online ? " online" : " lost: " + why));
    g_.publish_state(g_.topic(name_ + "/status"), s.dump());
    if (online) announce();
}

void ReaderWatch::announce() {
    if (!g_.config().ha_discovery) return;
    DiscoveredReader d;
    d.gateway = g_.config().name;
    d.reader = name_;
    d.topic_root = g_.topic(name_ + "/");
    d.gateway_status = g_.topic("status");
    d.version = version_;
    d.identity = identity_;
    d.adapter = adapter_;
    d.gateway_version = TQRF_GATEWAY_VERSION;
    for (const auto& [topic, payload] : discovery_messages(g_.config().ha_prefix, d)) {
        g_.publish_state(topic, payload);
    }
}

bool ReaderWatch::wait(std::chrono::milliseconds d) {
    const auto until = std::chrono::steady_clock::now() + d;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stop_) return true;
        if (!requests_.empty()) {
            Incoming in = std::move(requests_.front());
            requests_.pop_front();
            lock.unlock();
            serve(in);
            lock.lock();
            continue;
        }
        if (wake_.wait_until(lock, until) == std::cv_status::timeout) return stop_;
    }
}

ReaderWatch::ReaderWatch(Gateway& g, ReaderConfig cfg, std::string name,
                         const std::string& state_dir)
    : g_(g), cfg_(std::move(cfg)), name_(std::move(name)), seq_(state_dir + "/seq-" + name_) {
    policy_.reader = name_;
    policy_.allow = cfg_.allow;
    policy_.key_sets = cfg_.keys;
    policy_.keys = &g_.config().key_sets;
}

// On Paho's thread. A reader takes kRequestBurst requests at once and kRequestsPerSecond on
// average, and keeps at most kRequestsWaiting: the rest is dropped unanswered (a flood must not
// keep the reader from its cards), said in the log once when dropping starts and once, with
// the count, when a request is taken again.
void ReaderWatch::request(Incoming in) {
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    long long refused = 0;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (requests_.size() >= kRequestsWaiting || !rate_.take(now)) {
            first = refused_++ == 0;
        } else {
            refused = refused_;
            refused_ = 0;
            requests_.push_back(std::move(in));
            wake_.notify_all();
        }
    }
    if (first) {
        log("requests on reader " + name_ + " come faster than " +
            std::to_string(static_cast<int>(kRequestsPerSecond)) +
            " a second: the excess is dropped unanswered");
    }
    if (refused > 0) {
        log(std::to_string(refused) + " request(s) on reader " + name_ + " were dropped");
    }
}

void ReaderWatch::serve(const Incoming& in) {
    std::string reply_to = in.response_topic;
    const json reply = answer_request(
        in.payload, policy_, [this](const Request& r) { return run_command(r); }, &reply_to);
    if (reply_to.empty()) {
        log("a request on " + name_ + " names no response topic and no reply_to: not answered");
        return;
    }
    // A reader's text that is not UTF-8 (its version string) must not end the thread.
    g_.publish(reply_to, reply.dump(-1, ' ', false, json::error_handler_t::replace), false,
               in.correlation_data);
}

json ReaderWatch::run_command(const Request& req) {
    const auto fail = [](const std::string& why) { return json{{"ok", false}, {"error", why}}; };
    const std::string& cmd = req.cmd;
    Reader& r = reader_;
    if (!r.is_open()) return fail("the reader is lost");
    if (cmd == "info") {
        return {{"ok", true}, {"port", cfg_.port}, {"version", version_}, {"identity", identity_}};
    }
    if (cmd == "beep") {
        if (auto s = r.beep(req.ms / 10); !s) return fail(s.error().message());
        return {{"ok", true}};
    }
    auto card = r.find_card(RequestMode::All);
    if (!card) return fail(card.error().message());
    json out{{"ok", true}, {"uid", card->uid.hex()}};
    int logged_in = -1;
    const auto login = [&](int sector) -> std::error_code {
        if (logged_in == sector) return {};
        if (auto s = r.login(sector, req.key_type, req.key); !s) return s.error();
        logged_in = sector;
        return {};
    };
    const auto read_block = [&](int b, json& into) -> std::error_code {
        if (auto e = login(mifare::sector_of(b))) return e;
        auto data = r.read(b);
        if (!data) return data.error();
        into = data->hex();
        return {};
    };
    if (cmd == "read") {
        json data = json::object();
        for (int b : req.blocks) {
            json d;
            if (auto e = read_block(b, d))
                return fail("block " + std::to_string(b) + ": " + e.message());
            data[std::to_string(b)] = d;
        }
        out["blocks"] = data;
    } else if (cmd == "dump") {
        json result = json::object();
        for (int s : req.sectors) {
            json blocks = json::array();
            std::error_code err;
            for (int b = mifare::first_block(s); b < mifare::first_block(s) + 4 && !err; ++b) {
                json d;
                err = read_block(b, d);
                if (!err) blocks.push_back(d);
            }
            result[std::to_string(s)] =
                err ? json{{"error", err.message()}} : json{{"blocks", blocks}};
            if (err) {
                logged_in = -1;
                card = r.find_card(RequestMode::All);  // a failed login drops the card
                if (!card) return fail(card.error().message());
            }
        }
        out["sectors"] = result;
    } else {
        const int b = req.blocks.at(0);
        if (auto e = login(mifare::sector_of(b))) return fail(e.message());
        out["block"] = b;
        if (cmd == "read_value") {
            auto v = r.read_value(b);
            if (!v) return fail(v.error().message());
            out["value"] = *v;
        } else if (cmd == "write") {
            if (auto s = r.write(b, req.data); !s) return fail(s.error().message());
        } else {  // credit, debit
            Status s = cmd == "credit" ? r.increment(b, req.amount) : r.decrement(b, req.amount);
            if (s) s = r.transfer(b);
            if (!s) return fail(s.error().message());
            auto v = r.read_value(b);
            if (!v) return fail(v.error().message());
            out["value"] = *v;
        }
    }
    (void)r.halt();
    return out;
}

void Gateway::connected() {
    log("connected to the broker");
    notify_.status("connected to the broker");
    // Published by tick() as the queue has room: a status must not push a queued event out.
    mqtt_->publish_state(topic("status"), gateway_status(true).dump());
    for (const auto& r : readers_) {
        json s = r->status();
        if (!s.is_null()) mqtt_->publish_state(topic(r->name() + "/status"), s.dump());
    }
}

void Gateway::dispatch(Incoming in) {
    // tqrf/<gateway>/<reader>/cmd
    const std::string prefix = topic("");
    if (in.topic.rfind(prefix, 0) != 0) return;
    std::string rest = in.topic.substr(prefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos) return;
    const std::string name = rest.substr(0, slash);
    for (const auto& r : readers_) {
        if (r->name() == name) {
            r->request(std::move(in));
            return;
        }
    }
}

int Gateway::run() {
    // The stop signals are taken by sigtimedwait below: blocked before any thread starts.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    Mqtt::Options o;
    o.uri = (c_.tls ? "ssl://" : "tcp://") + c_.host + ":" + std::to_string(c_.port);
    o.ca_file = c_.ca_file;
    o.cert_file = c_.cert_file;
    o.key_file = c_.key_file;
    o.target = {(c_.tls ? "mqtts://" : "mqtt://") + c_.host + ":" + std::to_string(c_.port),
                c_.host,
                c_.port,
                c_.tls,
                c_.ca_file,
                c_.cert_file,
                c_.username,
                c_.password_file};
    o.client_id = "tqrf-gateway-" + c_.name;
    o.username = c_.username;
    if (!c_.password_file.empty()) {
        if (auto why = read_password(c_.password_file, o.password); !why.empty()) {
            log(why);
            return 2;
        }
    }
    o.persistence_dir = state_dir_ + "/queue";
    o.queue_max = c_.queue_max;
    o.will_topic = topic("status");
    o.will_payload = gateway_status(false).dump();
    o.subscriptions = {topic("+/cmd")};
    if (auto why = make_dirs(o.persistence_dir); !why.empty()) {
        log(why);
        return 1;
    }
    notify_.status("connecting to the broker at " + o.uri);
    try {
        mqtt_ = std::make_unique<Mqtt>(o);
    } catch (const std::exception& e) {
        log(e.what());
        return 1;
    }
    mqtt_->on_connected = [this] { connected(); };
    mqtt_->on_lost = [this] {
        log("lost the broker: messages are queued until it is back");
        notify_.status("lost the broker: messages are queued until it is back");
    };
    mqtt_->on_problem = [](const std::string& line) { log(line); };
    mqtt_->on_message = [this](Incoming in) { dispatch(std::move(in)); };
    mqtt_->on_dropped = [this](int n) {
        {
            std::lock_guard<std::mutex> lock(publish_mutex_);
            dropped_.add(static_cast<std::uint64_t>(n));
        }
        // Dropped while the backlog drains: the retained count follows.
        if (mqtt_->connected()) publish_state(topic("status"), gateway_status(true).dump());
    };

    std::vector<ReaderConfig> readers;
    for (const auto& r : c_.readers) {
        if (r.port != "auto") {
            readers.push_back(r);
            continue;
        }
        if (auto ports = list_ports()) {
            for (const auto& p : *ports) {
                ReaderConfig each = r;
                each.port = p.stable_path.empty() ? p.device : p.stable_path;
                each.name.clear();
                readers.push_back(each);
            }
        }
    }
    for (auto& r : readers) {
        std::string name = r.name.empty() ? reader_name(r.port) : r.name;
        readers_.push_back(std::make_unique<ReaderWatch>(*this, r, name, state_dir_));
    }
    log("gateway " + c_.name + " with " + std::to_string(readers_.size()) + " reader(s)");
    for (auto& r : readers_) r->start();
    notify_.ready();
    for (;;) {
        notify_.tick(std::chrono::steady_clock::now());
        mqtt_->tick();
        timespec t{0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&stops, nullptr, &t);
        if (sig == SIGTERM || sig == SIGINT) break;
    }
    log("stopping");
    notify_.stopping();
    for (auto& r : readers_) r->stop();
    for (auto& r : readers_) r->join();
    // What is still queued stays on disk for the next start.
    mqtt_->close(gateway_status(false).dump(), std::chrono::milliseconds(2000));
    return 0;
}

// `text` as a whole number from `lo` to `hi`, into `into`; false when it is not one.
bool number_in(const std::string& text, int lo, int hi, int& into) {
    int v = 0;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc{} || at != end || v < lo || v > hi) return false;
    into = v;
    return true;
}

// The usage text, on `out`: standard output for --help, standard error after a mistake.
void print_usage(std::ostream& out) {
    out << "usage: tqrf-gateway --broker mqtt://HOST:PORT --name NAME --port PATH "
           "[--port PATH ...] [--state DIR] [--interval MS] [--queue-max N]\n"
           "                    [--username USER --password-file FILE] [--homeassistant PREFIX]\n"
           "                    [--ca-file FILE] [--cert-file FILE --key-file FILE]\n"
           "       tqrf-gateway --config FILE [--state DIR]\n"
           "       tqrf-gateway --check-config FILE\n"
           "       tqrf-gateway --help | --version\n";
}

int usage(const std::string& why) {
    std::cerr << "tqrf-gateway: " << why << "\n";
    print_usage(std::cerr);
    return 2;
}

}  // namespace

}  // namespace tqrf::gateway

int main(int argc, char** argv) {
    using namespace tqrf::gateway;
    Config c;
    std::string config_file, check_file, state_dir;
    std::vector<std::string> ports;
    std::string broker;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::cout << "tqrf-gateway: puts the readers of this host on an MQTT broker "
                         "(docs/gateway.md, man tqrf-gateway)\n";
            print_usage(std::cout);
            return 0;
        }
        if (a == "--version") {
            std::cout << "tqrf-gateway " << TQRF_GATEWAY_VERSION << "\n";
            return 0;
        }
        if (!value(v)) return usage("unknown option or missing value: " + a);
        if (a == "--broker") {
            broker = v;
        } else if (a == "--name") {
            c.name = v;
        } else if (a == "--port") {
            ports.push_back(v);
        } else if (a == "--state") {
            state_dir = v;
        } else if (a == "--config") {
            config_file = v;
        } else if (a == "--check-config") {
            check_file = v;
        } else if (a == "--username") {
            c.username = v;
        } else if (a == "--password-file") {
            c.password_file = v;
        } else if (a == "--homeassistant") {
            c.ha_discovery = true;
            c.ha_prefix = v;
            if (v.empty() || v.find_first_of("+#") != std::string::npos) {
                return usage("--homeassistant takes the discovery prefix (homeassistant)");
            }
        } else if (a == "--ca-file") {
            c.ca_file = v;
        } else if (a == "--cert-file") {
            c.cert_file = v;
        } else if (a == "--key-file") {
            c.key_file = v;
        } else if (a == "--queue-max") {
            if (!number_in(v, kQueueMin, kQueueMax, c.queue_max)) {
                return usage("--queue-max must be " + std::to_string(kQueueMin) + " to " +
                             std::to_string(kQueueMax));
            }
        } else if (a == "--interval") {
            if (!number_in(v, kIntervalMinMs, kIntervalMaxMs, c.interval_ms)) {
                return usage("--interval must be " + std::to_string(kIntervalMinMs) + " to " +
                             std::to_string(kIntervalMaxMs) + " ms");
            }
        } else {
            return usage("unknown option " + a);
        }
    }
    if (!check_file.empty() || !config_file.empty()) {
        std::vector<std::string> errors;
        const std::string file = check_file.empty() ? config_file : check_file;
        Config loaded = load_config(file, errors);
        for (const auto& e : errors) std::cerr << e << "\n";
        if (!errors.empty()) return 2;
        if (!check_file.empty()) {
            std::cout << file << ": no mistakes\n";
            return 0;
        }
        if (!ports.empty() || !broker.empty() || !c.ca_file.empty() || !c.cert_file.empty() ||
            !c.key_file.empty()) {
            return usage("--config takes no --broker, --port or TLS files (see its [broker])");
        }
        if (state_dir.empty()) state_dir = loaded.state_dir;
        c = loaded;
    } else {
        if (c.name.empty() || c.name.find_first_of("/+#") != std::string::npos) {
            return usage("--name NAME is needed (without / + #)");
        }
        if (broker.empty()) return usage("--broker mqtt://HOST:PORT is needed");
        if (auto why = parse_broker(broker, c); !why.empty()) return usage(why);
        if (ports.empty()) return usage("give at least one --port PATH");
        if (!c.password_file.empty() && c.username.empty()) {
            return usage("--password-file needs --username");
        }
        for (auto why : check_tls_files(c)) {
            std::replace(why.begin(), why.begin() + static_cast<long>(why.find(':')), '_', '-');
            return usage("--" + why);
        }
        for (const auto& p : ports) {
            ReaderConfig r;
            r.port = p;
            r.allow = default_commands();
            c.readers.push_back(r);
        }
    }
    if (state_dir.empty()) state_dir = default_state_dir();
    if (auto why = make_dirs(state_dir); !why.empty()) {
        std::cerr << "tqrf-gateway: " << why << "\n";
        return 1;
    }
    Gateway g(c, state_dir);
    return g.run();
}
