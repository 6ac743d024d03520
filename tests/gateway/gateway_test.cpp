// tqrf-gateway with real parts: each test runs its own mosquitto on a free local port, readers
// simulated on pseudo-terminals (cards placed and taken away through the simulator), the
// gateway as a process of its own, and the mosquitto clients. Every message taken from the
// broker is checked against the schemas in gateway/schemas.
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "broker_fixture.h"
#include "tq_RWD_DLL.h"

// After the C header it checks against.
#include "tests/support/fake_device_tree.h"

namespace {

using json = nlohmann::json;
using namespace tqrf_gateway_test;

tqrf_sim::Uid uid_of(int n) {
    return tqrf_sim::Uid{0x10, 0x20, 0x30, static_cast<std::uint8_t>(n)};
}

class Gateway : public BrokerTest {
  protected:
    void SetUp() override {
        start_broker("allow_anonymous true\npersistence true\npersistence_location " + dir_.path() +
                     "/\nautosave_interval 1\n");
    }

    // Waits until the subscriber takes a marker of its own: it is subscribed (again).
    void marker_back() {
        marker(broker_args(), "tqrf/marker", "{\"n\":" + std::to_string(++markers_) + "}");
    }

    // A persistent subscriber to everything under tqrf/ (it reconnects after a broker restart).
    void subscribe() {
        sub_ = std::make_unique<Background>(
            "mosquitto_sub " + broker_args() + " -c -i test-sub -q 1 -v -t 'tqrf/#'",
            dir_ / "sub.out", dir_ / "sub.err");
        marker_back();
        // Saved by the broker (autosave every second) before anything is counted on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }

    // The events received, per reader, in the order received.
    std::map<std::string, std::vector<json>> events() const {
        std::map<std::string, std::vector<json>> out;
        for (const auto& l : lines_of(sub_->out())) {
            const auto sp = l.find(' ');
            const std::string topic = l.substr(0, sp);
            if (topic.size() < 6 || topic.substr(topic.size() - 6) != "/event") continue;
            const json e = json::parse(l.substr(sp + 1));
            out[e["reader"]].push_back(e);
        }
        return out;
    }

    std::size_t event_count(const std::string& reader) const {
        const auto all = events();
        const auto it = all.find(reader);
        return it == all.end() ? 0 : it->second.size();
    }

    // Every message received matches its schema (the marker aside).
    void expect_schemas(const std::string& more = "") {
        std::ofstream(dir_ / "messages") << [&] {
            std::string keep;
            for (const auto& l : lines_of(sub_->out() + more)) {
                // Requests are the clients' (the tests send wrong ones on purpose).
                const std::string topic = l.substr(0, l.find(' '));
                if (topic == "tqrf/marker" || topic.ends_with("/cmd")) continue;
                keep += l + "\n";
            }
            return keep;
        }();
        const Outcome o = run(std::string("python3 ") + TQRF_CHECK_MESSAGES + " " +
                                  TQRF_SCHEMAS_DIR + " " + (dir_ / "messages"),
                              dir_);
        EXPECT_EQ(o.status, 0) << o.out << o.err;
    }

    // The seq numbers of `reader`'s events: 1..n, each once, in order.
    void expect_no_gap(const std::string& reader, std::uint64_t n) {
        std::vector<std::uint64_t> seen;
        const auto all = events();
        for (const auto& e : all.at(reader)) {
            const std::uint64_t s = e["seq"];
            if (std::find(seen.begin(), seen.end(), s) == seen.end()) seen.push_back(s);  // QoS 1
        }
        std::vector<std::uint64_t> want;
        for (std::uint64_t i = 1; i <= n; ++i) want.push_back(i);
        EXPECT_EQ(seen, want) << sub_->out();
    }

    // The retained status of a topic now.
    json retained(const std::string& topic) {
        const Outcome o = run("mosquitto_sub " + broker_args() + " -C 1 -W 5 -t " + topic, dir_);
        return json::parse(o.out, nullptr, false);
    }

    // The reader is online and the gateway takes requests: it announces itself online after it
    // subscribed to the cmd topics.
    void ready(const std::string& reader) {
        ASSERT_TRUE(eventually([&] {
            return retained("tqrf/gw/" + reader + "/status")["state"] == "online" &&
                   retained("tqrf/gw/status")["state"] == "online";
        })) << gateway_->err();
    }

    // A request over MQTT 5 (response topic and correlation data); the reply.
    json request5(const std::string& reader, const std::string& body) {
        const Outcome o = run("mosquitto_rr " + broker_args() + " -V 5 -t tqrf/gw/" + reader +
                                  "/cmd -e reply/" + reader + " -W 20 -m '" + body + "'",
                              dir_);
        replies_ += "reply " + o.out;
        return json::parse(o.out, nullptr, false);
    }

    // A request over MQTT 3.1.1: the reply topic and id in the request itself.
    json request311(const std::string& reader, const std::string& body) {
        const std::string sub =
            "mosquitto_sub " + broker_args() + " -V 311 -c -i rr311 -q 1 -t reply311";
        run(sub + " -E", dir_);  // the session holds the subscription from now on
        run("mosquitto_pub " + broker_args() + " -V 311 -q 1 -t tqrf/gw/" + reader + "/cmd -m '" +
                body + "'",
            dir_);
        const Outcome o = run(sub + " -C 1 -W 20", dir_);
        replies_ += "reply " + o.out;
        return json::parse(o.out, nullptr, false);
    }

    void place_and_remove(tqrf_sim::Simulator& sim, const std::string& reader, int n,
                          std::uint64_t& expected) {
        ASSERT_TRUE(sim.place_card(uid_of(n)));
        ++expected;
        ASSERT_TRUE(eventually([&] { return taken(reader) >= expected; })) << gateway_->err();
        ASSERT_TRUE(sim.remove_card(uid_of(n)));
        ++expected;
        ASSERT_TRUE(eventually([&] { return taken(reader) >= expected; })) << gateway_->err();
    }

    // Subscribed, and the gateway with `extra` options ready on `sim` (started here).
    void ready_on(tqrf_sim::Simulator& sim, const std::string& extra = "") {
        subscribe();
        sim.start();
        start_gateway(" --port " + sim.slave_path(), extra);
        ready(reader_name(sim.slave_path()));
    }

    // Subscribed, the gateway on `sim` (started here) with the first card's two events
    // through, then the broker stopped.
    void first_card_then_broker_down(tqrf_sim::Simulator& sim, std::uint64_t& expected) {
        subscribe();
        sim.start();
        const auto name = reader_name(sim.slave_path());
        start_gateway(" --port " + sim.slave_path());
        place_and_remove(sim, name, 1, expected);
        ASSERT_TRUE(eventually([&] { return event_count(name) == expected; })) << sub_->out();
        stop_broker();
    }

    // Waits until `reader`'s events up to `expected` have arrived.
    void arrived(const std::string& reader, std::uint64_t expected) {
        ASSERT_TRUE(eventually([&] { return event_count(reader) >= expected; }))
            << sub_->out() << gateway_->err();
    }

    void ended_while_the_broker_is_down(int sig, int status);

    std::string replies_;
    int markers_ = 0;
};

TEST_F(Gateway, EventsFromThreeReaders) {
    subscribe();
    std::vector<std::unique_ptr<tqrf_sim::Simulator>> sims;
    std::string ports;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<tqrf_sim::Simulator>(empty_field()));
        sims.back()->start();
        ports += " --port " + sims.back()->slave_path();
    }
    start_gateway(ports);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sims[static_cast<std::size_t>(i)]->place_card(uid_of(i + 1)));
    ASSERT_TRUE(eventually([&] { return events().size() == 3; })) << sub_->out() << gateway_->err();
    for (int i = 0; i < 3; ++i) {
        const auto name = reader_name(sims[static_cast<std::size_t>(i)]->slave_path());
        const auto all = events();
        const auto& e = all.at(name);
        ASSERT_EQ(e.size(), 1u) << sub_->out();
        EXPECT_EQ(e[0]["event"], "arrived");
        EXPECT_EQ(e[0]["uid"], "102030" + std::string(1, '0') + std::to_string(i + 1));
        EXPECT_EQ(e[0]["seq"], 1);
        const json s = retained("tqrf/gw/" + name + "/status");
        EXPECT_EQ(s["state"], "online") << s;
        EXPECT_EQ(s["identity"], "12345678") << s;
    }
    EXPECT_EQ(retained("tqrf/gw/status")["state"], "online");
    EXPECT_EQ(gateway_->end(SIGTERM), 0);
    EXPECT_EQ(retained("tqrf/gw/status")["state"], "offline");
    expect_schemas();
}

TEST_F(Gateway, BrokerRestartedWhileCardsArriveLosesNoEvent) {
    tqrf_sim::Simulator sim(empty_field());
    std::uint64_t expected = 0;
    ASSERT_NO_FATAL_FAILURE(first_card_then_broker_down(sim, expected));
    const auto name = reader_name(sim.slave_path());
    for (int n = 2; n <= 4; ++n) place_and_remove(sim, name, n, expected);
    start_broker();
    ASSERT_NO_FATAL_FAILURE(arrived(name, expected));
    expect_no_gap(name, expected);
    expect_schemas();
}

// The gateway ended by `sig` while the broker is down, then started again once it is back:
// what it queued arrives, and the numbering goes on.
void Gateway::ended_while_the_broker_is_down(int sig, int status) {
    tqrf_sim::Simulator sim(empty_field());
    std::uint64_t expected = 0;
    ASSERT_NO_FATAL_FAILURE(first_card_then_broker_down(sim, expected));
    const auto name = reader_name(sim.slave_path());
    for (int n = 2; n <= 3; ++n) place_and_remove(sim, name, n, expected);
    EXPECT_EQ(gateway_->end(sig), status);
    start_broker();
    marker_back();
    start_gateway(" --port " + sim.slave_path());
    ASSERT_NO_FATAL_FAILURE(arrived(name, expected));
    // Numbering goes on from the state folder.
    place_and_remove(sim, name, 4, expected);
    ASSERT_NO_FATAL_FAILURE(arrived(name, expected));
    expect_no_gap(name, expected);
    expect_schemas();
}

TEST_F(Gateway, GatewayKilledWhileTheBrokerIsDownSendsItsQueueAfterARestart) {
    ended_while_the_broker_is_down(SIGKILL, 128 + SIGKILL);
}

// SIGTERM with the broker away: the gateway exits 0 and keeps its queue for the next start.
TEST_F(Gateway, GatewayStoppedWhileTheBrokerIsDownKeepsItsQueue) {
    ended_while_the_broker_is_down(SIGTERM, 0);
}

// The statuses published on every connect once went into the same bounded queue and pushed an
// event out of it while it drained (seq 5, 7, 8 arrived), and the count missed those drops.
TEST_F(Gateway, AFullQueueDropsItsOldestAndCountsThem) {
    tqrf_sim::Simulator sim(empty_field());
    ASSERT_NO_FATAL_FAILURE(ready_on(sim, "--queue-max 4"));
    const auto name = reader_name(sim.slave_path());
    stop_broker();
    std::uint64_t expected = 0;
    for (int n = 1; n <= 4; ++n) place_and_remove(sim, name, n, expected);
    start_broker();
    // The last four events, in order; the four before them dropped and counted.
    ASSERT_TRUE(eventually([&] { return event_count(name) >= 4; })) << sub_->out();
    std::vector<std::uint64_t> seqs;
    const auto all = events();
    for (const auto& e : all.at(name)) seqs.push_back(e["seq"]);
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{5, 6, 7, 8})) << sub_->out();
    ASSERT_TRUE(eventually([&] { return retained("tqrf/gw/status")["dropped"] == 4; }))
        << retained("tqrf/gw/status");
    expect_schemas();
}

// `auto` watches every port the system lists. A simulated reader sits on a pseudo-terminal,
// which no listing shows; the device tree the listing reads is moved (TQRF_DEVICE_ROOT, which
// the gateway inherits) to one with two USB adapters whose device nodes lead to two simulated
// readers. A third reader given by its pseudo-terminal is named as such.
TEST_F(Gateway, AutoWatchesEveryListedReaderAndEachStatusNamesItsAdapter) {
    subscribe();
    std::vector<std::unique_ptr<tqrf_sim::Simulator>> sims;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<tqrf_sim::Simulator>(empty_field()));
        sims.back()->start();
    }
    tqrf_test::FakeDeviceTree tree;
    ASSERT_TRUE(tree.made());
    struct Listed {
        std::string usb_port, tty, product, vendor_id, product_id, driver;
    };
    const std::vector<Listed> listed{
        {"1-2", "ttyUSB0", "FT232R USB UART", "0403", "6001", "ftdi_sio"},
        {"1-3", "ttyUSB1", "CP2102 USB to UART Bridge Controller", "10c4", "ea60", "cp210x"}};
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const auto& l = listed[i];
        tree.usb_serial(
            l.usb_port, l.tty, l.driver,
            {{"idVendor", l.vendor_id}, {"idProduct", l.product_id}, {"product", l.product}});
        tree.lead_to(l.tty, sims[i]->slave_path());
    }
    start_gateway(" --port auto --port " + sims[2]->slave_path());
    const std::vector<std::string> adapters{
        "FT232R USB UART, USB 0403:6001, driver ftdi_sio",
        "CP2102 USB to UART Bridge Controller, USB 10c4:ea60, driver cp210x", "pseudo-terminal"};
    for (std::size_t i = 0; i < sims.size(); ++i) {
        const auto name = reader_name(sims[i]->slave_path());
        ready(name);
        const json s = retained("tqrf/gw/" + name + "/status");
        EXPECT_EQ(s["adapter"], adapters[i]) << s;
        EXPECT_EQ(s["port"], i < 2 ? tree.dev(listed[i].tty) : sims[i]->slave_path()) << s;
        ASSERT_TRUE(sims[i]->place_card(uid_of(static_cast<int>(i) + 1)));
    }
    ASSERT_TRUE(eventually([&] { return events().size() == 3; })) << sub_->out() << gateway_->err();
    expect_schemas();
}

// With discovery on, each reader is a device in Home Assistant with a tag scanner on its own
// topic, which takes arrivals only (Home Assistant counts every message there as a scan), and
// a connectivity sensor on the reader's retained status.
TEST_F(Gateway, HomeAssistantDiscoversEachReaderAsATagScanner) {
    tqrf_sim::Simulator sim(empty_field());
    ASSERT_NO_FATAL_FAILURE(ready_on(sim, "--homeassistant ha"));
    const auto name = reader_name(sim.slave_path());
    const Outcome disc = run("mosquitto_sub " + broker_args() + " -v -t 'ha/#' -C 2 -W 5", dir_);
    std::map<std::string, json> configs;
    for (const auto& l : lines_of(disc.out)) {
        configs[l.substr(0, l.find(' '))] = json::parse(l.substr(l.find(' ') + 1));
    }
    const std::string id = "gw_" + name;
    ASSERT_EQ(configs.size(), 2u) << disc.out;
    const json tag = configs["ha/tag/" + id + "/config"];
    EXPECT_EQ(tag["topic"], "tqrf/gw/" + name + "/tag") << tag;
    EXPECT_EQ(tag["device"]["identifiers"][0], "tqrf_" + id) << tag;
    EXPECT_EQ(tag["device"]["serial_number"], "12345678") << tag;
    const json link = configs["ha/binary_sensor/" + id + "/config"];
    EXPECT_EQ(link["state_topic"], "tqrf/gw/" + name + "/status") << link;
    EXPECT_EQ(link["availability"][0]["topic"], "tqrf/gw/status") << link;
    EXPECT_EQ(link["device"], tag["device"]);
    std::uint64_t expected = 0;
    for (int n = 1; n <= 2; ++n) place_and_remove(sim, name, n, expected);
    ASSERT_TRUE(eventually([&] { return event_count(name) == 4; })) << sub_->out();
    std::vector<std::string> scans;
    for (const auto& l : lines_of(sub_->out())) {
        if (l.rfind("tqrf/gw/" + name + "/tag ", 0) == 0)
            scans.push_back(l.substr(l.find(' ') + 1));
    }
    EXPECT_EQ(scans, (std::vector<std::string>{R"({"uid":"10203001"})", R"({"uid":"10203002"})"}))
        << sub_->out();
    expect_schemas(disc.out);
}

TEST_F(Gateway, ALostReaderAndItsReturnFollowInItsRetainedStatus) {
    subscribe();
    auto sim = std::make_unique<tqrf_sim::Simulator>();
    sim->start();
    const std::string link = dir_ / "reader";
    ASSERT_EQ(symlink(sim->slave_path().c_str(), link.c_str()), 0);
    const auto name = reader_name(sim->slave_path());
    start_gateway(" --port " + link);
    const std::string topic = "tqrf/gw/" + name + "/status";
    ASSERT_TRUE(eventually([&] { return retained(topic)["state"] == "online"; }));
    sim->stop();
    ASSERT_TRUE(eventually([&] { return retained(topic)["state"] == "lost"; })) << gateway_->err();
    EXPECT_EQ(retained(topic)["port"], link);
    sim = std::make_unique<tqrf_sim::Simulator>();
    sim->start();
    ASSERT_EQ(unlink(link.c_str()), 0);
    ASSERT_EQ(symlink(sim->slave_path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(eventually([&] { return retained(topic)["state"] == "online"; }))
        << gateway_->err();
    // The card in the field of the reader that came back arrives again (a reader going away may
    // first answer a poll with no card: a "left" before it is lost).
    ASSERT_TRUE(eventually([&] {
        const auto all = events();
        const auto it = all.find(name);
        return it != all.end() &&
               std::count_if(it->second.begin(), it->second.end(),
                             [](const json& e) { return e["event"] == "arrived"; }) == 2;
    })) << sub_->out();
    expect_schemas();
}

TEST_F(Gateway, CommandsOverMqtt5AndMqtt311) {
    tqrf_sim::Simulator sim;
    ASSERT_NO_FATAL_FAILURE(ready_on(sim));
    const auto name = reader_name(sim.slave_path());
    struct Case {
        bool v5;
        std::string request;
        bool ok;
        std::string field;  // a field of the reply and what it holds, or the error's words
        json value;
    };
    const std::vector<Case> cases{
        {true, R"({"cmd":"info"})", true, "identity", "12345678"},
        {false, R"({"cmd":"info","reply_to":"reply311","id":7})", true, "id", 7},
        {true, R"({"cmd":"read","block":1})", true, "blocks", json{{"1", std::string(32, '0')}}},
        {false, R"({"cmd":"read","blocks":[0],"reply_to":"reply311","id":"a"})", true, "uid",
         "3A7C91E5"},
        {true, R"({"cmd":"beep"})", true, "ok", true},
        {true, R"({"cmd":"dump","sectors":[1]})", true, "uid", "3A7C91E5"},
        {true, R"({"cmd":"read","block":64})", false, "error", "blocks are numbered 0 to 63"},
        {true, R"({"cmd":"read","block":1,"keys":"mine"})", false, "error",
         "the key set \"mine\" is not open to reader " + name},
        {true, R"({"cmd":"launch"})", false, "error", "no command \"launch\""},
        // A write the configuration does not allow (the quick start allows none).
        {true, R"({"cmd":"write","block":1,"data":"00112233445566778899AABBCCDDEEFF"})", false,
         "error", "the command \"write\" is not allowed on reader " + name},
        {false, R"({"cmd":"credit","block":4,"amount":1,"reply_to":"reply311"})", false, "error",
         "the command \"credit\" is not allowed on reader " + name},
    };
    for (const auto& c : cases) {
        const json r = c.v5 ? request5(name, c.request) : request311(name, c.request);
        EXPECT_EQ(r["ok"], c.ok) << c.request << " -> " << r;
        EXPECT_EQ(r[c.field], c.value) << c.request << " -> " << r;
    }
    // Nothing was written.
    const auto image = sim.card_image(tqrf_sim::kDefaultUid);
    ASSERT_TRUE(image);
    EXPECT_EQ((*image)[16], 0);
    expect_schemas(replies_);
}

TEST_F(Gateway, AConfigAllowsWritesWithANamedKeySet) {
    subscribe();
    tqrf_sim::Simulator sim;
    sim.start();
    const auto name = reader_name(sim.slave_path());
    std::ofstream(dir_ / "gw.toml")
        << "[gateway]\nname = \"gw\"\nstate = \"" << (dir_ / "state")
        << "\"\ninterval_ms = 20\n\n[broker]\nurl = \"mqtt://127.0.0.1:" << port_
        << "\"\n\n[keys.factory]\na = \"FFFFFFFFFFFF\"\n\n"
        << "[[reader]]\nport = \"" << sim.slave_path()
        << "\"\nallow = [\"info\", \"read\", \"write\"]\n"
        << "keys = [\"factory\"]\n";
    gateway_ = std::make_unique<Background>(
        std::string(TQRF_GATEWAY_EXE) + " --config " + (dir_ / "gw.toml"), dir_ / "gw.out",
        dir_ / "gw.err");
    ready(name);
    const std::string data = "00112233445566778899AABBCCDDEEFF";
    json r = request5(name, R"({"cmd":"write","block":2,"keys":"factory","data":")" + data + "\"}");
    EXPECT_EQ(r["ok"], true) << r;
    r = request5(name, R"({"cmd":"read","block":2,"keys":"factory"})");
    EXPECT_EQ(r["blocks"]["2"], data) << r;
    r = request5(name, R"({"cmd":"beep"})");
    EXPECT_EQ(r["error"], "the command \"beep\" is not allowed on reader " + name) << r;
    // No key in the log.
    EXPECT_FALSE(has(gateway_->err(), "FFFFFFFFFFFF")) << gateway_->err();
    expect_schemas(replies_);
}

TEST_F(Gateway, APasswordFromAFileOnlyItsOwnerMayRead) {
    // The broker again, now with a password file of its own.
    stop_broker();
    ASSERT_EQ(run("mosquitto_passwd -c -b " + (dir_ / "passwd") + " gw s3cret", dir_).status, 0);
    start_broker("allow_anonymous false\npassword_file " + (dir_ / "passwd") + "\n");
    tqrf_sim::Simulator sim;
    sim.start();
    const auto name = reader_name(sim.slave_path());
    const std::string pw = dir_ / "password";
    std::ofstream(pw) << "s3cret\n";
    const std::string login = "--username gw --password-file " + pw;
    struct Case {
        mode_t mode;
        int status;  // of the gateway: 2 when it refuses the file
    };
    for (const Case c : {Case{0644, 2}, Case{0660, 2}, Case{0600, 0}}) {
        ASSERT_EQ(chmod(pw.c_str(), c.mode), 0);
        start_gateway(" --port " + sim.slave_path(), login);
        if (c.status == 2) {
            EXPECT_EQ(gateway_->end(0), 2) << std::oct << c.mode;
            EXPECT_TRUE(has(gateway_->err(), "chmod 600")) << gateway_->err();
            continue;
        }
        const std::string auth = " -u gw -P s3cret";
        ASSERT_TRUE(eventually([&] {
            const Outcome o =
                run("mosquitto_sub " + broker_args() + auth + " -C 1 -W 5 -t tqrf/gw/status", dir_);
            return has(o.out, "\"online\"");
        })) << gateway_->err();
        EXPECT_FALSE(has(gateway_->err(), "s3cret")) << gateway_->err();
        EXPECT_EQ(gateway_->end(SIGTERM), 0);
    }
}

// A number on the command line is whole and in its range, or the gateway does not start.
TEST_F(Gateway, CommandLineNumbersAreWholeAndInRange) {
    struct Case {
        std::string option, error;
    };
    const std::string interval = "--interval must be 10 to 10000 ms";
    const std::string queue = "--queue-max must be 1 to 1000000";
    const std::vector<Case> cases{
        {"--interval 9", interval},    {"--interval 10001", interval},
        {"--interval 20ms", interval}, {"--interval ''", interval},
        {"--queue-max 0", queue},      {"--queue-max 1000001", queue},
        {"--queue-max 4k", queue},     {"--queue-max 99999999999", queue},
    };
    for (const auto& c : cases) {
        // Alone: a number taken would end in "--name NAME is needed" instead.
        const Outcome o = run(std::string(TQRF_GATEWAY_EXE) + " " + c.option, dir_);
        EXPECT_EQ(o.status, 2) << c.option;
        EXPECT_TRUE(has(o.err, c.error)) << c.option << "\n" << o.err;
    }
}

TEST_F(Gateway, HelpGoesToStandardOutputAndAMistakeToStandardError) {
    const std::string exe = TQRF_GATEWAY_EXE;
    const Outcome help = run(exe + " --help", dir_);
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.out, "usage: tqrf-gateway --broker")) << help.out;
    EXPECT_EQ(help.err, "");
    const Outcome wrong = run(exe + " --colour red", dir_);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, "");
    EXPECT_TRUE(has(wrong.err, "unknown option --colour")) << wrong.err;
    EXPECT_TRUE(has(wrong.err, "usage: tqrf-gateway")) << wrong.err;
}

TEST_F(Gateway, CheckConfigNamesTheLineAndFieldOfEveryMistake) {
    std::ofstream(dir_ / "bad.toml") << "[gateway]\n"                      // 1
                                     << "name = \"a/b\"\n"                 // 2
                                     << "[broker]\n"                       // 3
                                     << "url = \"http://x\"\n"             // 4
                                     << "[keys.k]\n"                       // 5
                                     << "a = \"FFFF\"\n"                   // 6
                                     << "[[reader]]\n"                     // 7
                                     << "port = \"/dev/ttyUSB0\"\n"        // 8
                                     << "allow = [\"info\", \"erase\"]\n"  // 9
                                     << "keys = [\"nope\"]\n"              // 10
                                     << "colour = 1\n";                    // 11
    const Outcome o = check_config(dir_ / "bad.toml", dir_);
    EXPECT_EQ(o.status, 2);
    const std::string f = dir_ / "bad.toml";
    for (const std::string& want :
         {f + ":2: gateway.name:", f + ":4: broker.url: the broker must be mqtt://",
          f + ":6: keys.k.a: must be 12 hex digits",
          f + ":9: reader[0].allow: no command \"erase\"",
          f + ":10: reader[0].keys: no key set \"nope\"",
          f + ":11: reader[0].colour: unknown field"}) {
        EXPECT_TRUE(has(o.err, want)) << want << "\n" << o.err;
    }
    EXPECT_FALSE(has(o.err, "FFFF\"")) << o.err;
    std::ofstream(dir_ / "good.toml")
        << "[gateway]\nname = \"gw\"\n[broker]\nurl = \"mqtts://h:8883\"\n"
        << "[[reader]]\nport = \"auto\"\n"
        << "[homeassistant]\ndiscovery = true\nprefix = \"homeassistant\"\n";
    EXPECT_EQ(check_config(dir_ / "good.toml", dir_).status, 0);
    std::ofstream(dir_ / "ha.toml") << "[gateway]\nname = \"gw\"\n"      // 1, 2
                                    << "[broker]\nurl = \"mqtt://h\"\n"  // 3, 4
                                    << "[[reader]]\nport = \"auto\"\n"   // 5, 6
                                    << "[homeassistant]\n"               // 7
                                    << "discovery = \"yes\"\n"           // 8
                                    << "prefix = \"home+assistant\"\n"   // 9
                                    << "retain = false\n";               // 10
    const Outcome ha = check_config(dir_ / "ha.toml", dir_);
    EXPECT_EQ(ha.status, 2);
    const std::string h = dir_ / "ha.toml";
    for (const std::string& want : {h + ":8: homeassistant.discovery: must be true or false",
                                    h + ":9: homeassistant.prefix: must be non-empty",
                                    h + ":10: homeassistant.retain: unknown field"}) {
        EXPECT_TRUE(has(ha.err, want)) << want << "\n" << ha.err;
    }
}

}  // namespace
