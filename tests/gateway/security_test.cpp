// tqrf-gateway's security against a real mosquitto: TLS with certificates made by openssl for
// each test (make_certs.sh), connections the broker refuses (an untrusted certificate, a wrong
// password, no client certificate) said in words and tried again with a growing wait, a broker
// ACL that keeps each gateway under its own prefix, and requests bounded in size and rate.
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>

#include "broker_fixture.h"

namespace {

using json = nlohmann::json;
using namespace tqrf_gateway_test;

class GatewaySecurity : public BrokerTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(run(std::string("sh ") + TQRF_MAKE_CERTS + " " + dir_.path(), dir_).status, 0);
        ASSERT_EQ(run("mosquitto_passwd -c -b " + (dir_ / "passwd") + " gw s3cret && " +
                          "mosquitto_passwd -b " + (dir_ / "passwd") + " A pa && " +
                          "mosquitto_passwd -b " + (dir_ / "passwd") + " consumer pc",
                      dir_)
                      .status,
                  0);
    }

    std::string tls_listener(const std::string& cert) {
        return "cafile " + (dir_ / "ca.crt") + "\ncertfile " + (dir_ / (cert + ".crt")) +
               "\nkeyfile " + (dir_ / (cert + ".key")) +
               "\nrequire_certificate true\nallow_anonymous true\n";
    }

    // The gateway from a configuration file with `broker` as its [broker] table.
    void start_gateway(const std::string& name, const std::string& broker,
                       const std::string& reader) {
        const std::string conf = dir_ / (name + ".toml");
        std::ofstream(conf) << "[gateway]\nname = \"" << name << "\"\nstate = \""
                            << (dir_ / ("state-" + name)) << "\"\ninterval_ms = 20\n\n[broker]\n"
                            << broker << "\n[[reader]]\nport = \"" << reader << "\"\n";
        gateway_ = std::make_unique<Background>(
            std::string(TQRF_GATEWAY_EXE) + " --config " + conf, dir_ / "gw.out",
            dir_ / ("gw-" + std::to_string(++gateways_) + ".err"));  // each its own log
    }
    std::string url(const char* scheme) const {
        return std::string("url = \"") + scheme + "://127.0.0.1:" + std::to_string(port_) + "\"\n";
    }
    std::string file(const char* field, const std::string& name) const {
        return std::string(field) + " = \"" + (dir_ / name) + "\"\n";
    }

    std::string tls_client() const {
        return broker_args() + " --cafile " + (dir_ / "ca.crt") + " --cert " +
               (dir_ / "client.crt") + " --key " + (dir_ / "client.key");
    }
    std::string plain_client(const std::string& user, const std::string& password) const {
        return broker_args() + " -u " + user + " -P " + password;
    }

    // A subscriber in the background; subscribed once it takes a marker `publisher` sends.
    void subscribe(const std::string& client, const std::string& filter,
                   const std::string& marker_client, const std::string& marker_topic) {
        sub_ = std::make_unique<Background>("mosquitto_sub " + client + " -v -t '" + filter + "'",
                                            dir_ / "sub.out", dir_ / "sub.err");
        marker(marker_client, marker_topic);
    }
    void marker(const std::string& client, const std::string& topic) {
        BrokerTest::marker(client, topic, "marker-" + std::to_string(++markers_));
    }

    int markers_ = 0;
    int gateways_ = 0;
};

TEST_F(GatewaySecurity, TlsWithTheRightCaAndAClientCertificateCarriesEvents) {
    start_broker(tls_listener("server"));
    subscribe(tls_client(), "tqrf/#", tls_client(), "tqrf/marker");
    tqrf_sim::Simulator sim(empty_field());
    sim.start();
    start_gateway("gw",
                  url("mqtts") + file("ca_file", "ca.crt") + file("cert_file", "client.crt") +
                      file("key_file", "client.key"),
                  sim.slave_path());
    const std::string event = "tqrf/gw/" + reader_name(sim.slave_path()) + "/event ";
    ASSERT_TRUE(eventually([&] {
        return has(sub_->out(), "tqrf/gw/" + reader_name(sim.slave_path()) + "/status ");
    })) << gateway_->err();
    ASSERT_TRUE(sim.place_card(tqrf_sim::Uid{0x10, 0x20, 0x30, 0x40}));
    ASSERT_TRUE(eventually([&] { return has(sub_->out(), event); })) << gateway_->err();
    EXPECT_TRUE(has(sub_->out(), "\"uid\":\"10203040\"")) << sub_->out();
    EXPECT_FALSE(has(gateway_->err(), "cannot connect")) << gateway_->err();
    EXPECT_EQ(gateway_->end(SIGTERM), 0);
}

// Each refusal is said with what happened and what to do, and tried again after a wait that
// grows (half a second, doubling, drawn from 50 % to 150 %): the third wait is at least a
// second. The gateway keeps running and stops cleanly.
TEST_F(GatewaySecurity, RefusedConnectionsAreSaidAndTriedAgainLater) {
    struct Case {
        std::string what;
        std::string broker;   // the listener's settings
        std::string gateway;  // its [broker] table
        std::vector<std::string> said;
    };
    const std::string other = dir_ / "other-ca.crt";
    const std::string client = file("cert_file", "client.crt") + file("key_file", "client.key");
    std::ofstream(dir_ / "wrong") << "not-the-password\n";
    chmod((dir_ / "wrong").c_str(), 0600);
    const std::vector<Case> cases{
        {"a CA that did not sign the broker's certificate",
         tls_listener("server"),
         url("mqtts") + file("ca_file", "other-ca.crt") + client,
         {"the TLS handshake failed: certificate verify failed: ",
          "the broker's certificate is not signed by the CA in " + other}},
        {"the system's CAs, which do not know the test CA",
         tls_listener("server"),
         url("mqtts") + client,
         {"certificate verify failed: ", "not signed by a CA this system trusts"}},
        {"a self-signed broker certificate",
         tls_listener("self"),
         url("mqtts") + file("ca_file", "ca.crt") + client,
         {"certificate verify failed: self-signed certificate;",
          "the broker's certificate is self-signed"}},
        {"no client certificate for a broker that wants one",
         tls_listener("server"),
         url("mqtts") + file("ca_file", "ca.crt"),
         {"the broker closed the connection in the TLS handshake",
          "it may want a client certificate"}},
        {"a wrong password",
         "allow_anonymous false\npassword_file " + (dir_ / "passwd") + "\n",
         url("mqtt") + "username = \"gw\"\n" + file("password_file", "wrong"),
         {"the broker refused the user name or password of user \"gw\"",
          "check the user name and the password in " + (dir_ / "wrong")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        start_broker(c.broker);
        start_gateway("gw", c.gateway, "/dev/null-no-reader");
        ASSERT_TRUE(eventually([&] { return has(gateway_->err(), "(attempt 3; "); }))
            << gateway_->err();
        const std::string log = gateway_->err();
        EXPECT_EQ(gateway_->end(SIGTERM), 0) << log;
        const std::string prefix = "cannot connect to the broker at " +
                                   std::string(has(c.gateway, "mqtts") ? "mqtts" : "mqtt") +
                                   "://127.0.0.1:" + std::to_string(port_) + ": ";
        std::vector<double> waits;
        const std::regex attempt(R"(\(attempt (\d+); the next in ([0-9.]+) s\))");
        for (const auto& l : lines_of(log)) {
            if (!has(l, "cannot connect")) continue;
            EXPECT_TRUE(has(l, prefix)) << l;
            for (const auto& s : c.said) EXPECT_TRUE(has(l, s)) << s << "\n" << l;
            EXPECT_FALSE(has(l, "not-the-password")) << l;
            std::smatch m;
            ASSERT_TRUE(std::regex_search(l, m, attempt)) << l;
            EXPECT_EQ(std::stoi(m[1]), static_cast<int>(waits.size()) + 1) << log;
            waits.push_back(std::stod(m[2]));
        }
        ASSERT_GE(waits.size(), 3u) << log;
        EXPECT_LE(waits[0], 0.8) << log;
        EXPECT_GE(waits[2], 1.0) << log;
        EXPECT_FALSE(has(log, "connected to the broker")) << log;
    }
}

// The ACL of docs/gateway.md: a gateway writes under tqrf/<its user name>/ only. A gateway of
// user A that calls itself B is refused every message (the broker's PUBACK says "not
// authorized", the gateway says so); a consumer sees nothing of B. Named A, its events arrive
// and it answers a consumer's request.
TEST_F(GatewaySecurity, AnAclKeepsEachGatewayUnderItsOwnPrefix) {
    std::ofstream(dir_ / "acl") << "# Each gateway: user name = gateway name.\n"
                                << "pattern write tqrf/%u/#\n"
                                << "pattern read tqrf/%u/+/cmd\n"
                                << "# Replies go to the asker's reply/<user>/ topics.\n"
                                << "pattern write reply/#\n"
                                << "pattern read reply/%u/#\n"
                                << "\nuser consumer\n"
                                << "topic read tqrf/#\n"
                                << "topic write tqrf/+/+/cmd\n";
    start_broker("allow_anonymous false\npassword_file " + (dir_ / "passwd") + "\nacl_file " +
                 (dir_ / "acl") + "\n");
    std::ofstream(dir_ / "pa") << "pa\n";
    chmod((dir_ / "pa").c_str(), 0600);
    subscribe(plain_client("consumer", "pc"), "tqrf/#", plain_client("A", "pa"), "tqrf/A/marker");
    tqrf_sim::Simulator sim(empty_field());
    sim.start();
    const std::string reader = reader_name(sim.slave_path());
    const std::string login = url("mqtt") + "username = \"A\"\n" + file("password_file", "pa");

    start_gateway("B", login, sim.slave_path());
    const std::string refused = "the broker refused the message on tqrf/B/" + reader +
                                "/status: not authorized (its ACL does not let user \"A\" write";
    ASSERT_TRUE(eventually([&] { return has(gateway_->err(), refused); })) << gateway_->err();
    ASSERT_TRUE(sim.place_card(tqrf_sim::Uid{0x10, 0x20, 0x30, 0x41}));
    ASSERT_TRUE(eventually([&] {
        return has(gateway_->err(), "refused the message on tqrf/B/" + reader + "/event");
    })) << gateway_->err();
    EXPECT_EQ(gateway_->end(SIGTERM), 0);
    marker(plain_client("A", "pa"), "tqrf/A/marker");  // what the broker let through is here
    EXPECT_FALSE(has(sub_->out(), "tqrf/B/")) << sub_->out();
    EXPECT_FALSE(has(gateway_->err(), "pa\n")) << gateway_->err();

    start_gateway("A", login, sim.slave_path());
    ASSERT_TRUE(eventually([&] {
        return has(sub_->out(), "tqrf/A/" + reader + "/event {\"event\":\"arrived\"");
    })) << sub_->out()
        << gateway_->err();
    // Asked until the gateway has subscribed to its cmd topics.
    ASSERT_TRUE(eventually([&] {
        const Outcome r =
            run("mosquitto_rr " + plain_client("consumer", "pc") + " -V 5 -t tqrf/A/" + reader +
                    "/cmd -e reply/consumer/1 -W 2 -m '{\"cmd\":\"info\"}'",
                dir_);
        return has(r.out, "\"ok\":true");
    })) << gateway_->err();
    EXPECT_FALSE(has(gateway_->err(), "refused")) << gateway_->err();
    EXPECT_EQ(gateway_->end(SIGTERM), 0);
}

// A request is at most 4096 bytes and 64 blocks; a reader takes 20 at once and 10 a second
// after that: a flood is dropped unanswered (said in the log) and the reader answers again
// once it has passed.
TEST_F(GatewaySecurity, OversizedRequestsAndFloodsAreRefused) {
    start_broker("allow_anonymous true\n");
    const std::string client = broker_args();
    tqrf_sim::Simulator sim;
    sim.start();
    const std::string reader = reader_name(sim.slave_path());
    start_gateway("gw", url("mqtt"), sim.slave_path());
    const std::string cmd = " -V 5 -t tqrf/gw/" + reader + "/cmd -e reply/x -W 3 ";
    const auto ask = [&](const std::string& body) {
        const Outcome o = run("mosquitto_rr " + client + cmd + "-m '" + body + "'", dir_);
        const json r = json::parse(o.out, nullptr, false);
        return r.is_object() ? r : json::object();
    };
    ASSERT_TRUE(eventually([&] { return ask(R"({"cmd":"info"})")["ok"] == true; }))
        << gateway_->err();

    std::string blocks = "[1";
    for (int i = 0; i < 64; ++i) blocks += ",1";
    const std::string padded = R"({"cmd":"info","pad":")" + std::string(4100, 'x') + "\"}";
    struct Case {
        std::string request, error;
    };
    for (const auto& c :
         {Case{padded, "the request is larger than 4096 bytes"},
          Case{R"({"cmd":"read","blocks":)" + blocks + "]}", "at most 64 blocks in one request"}}) {
        const json r = ask(c.request);
        EXPECT_EQ(r["ok"], false) << r;
        EXPECT_EQ(r["error"], c.error) << r;
    }

    // Larger than the gateway takes from the broker at all: dropped by the broker, unanswered.
    EXPECT_TRUE(ask(R"({"cmd":"info","pad":")" + std::string(70000, 'x') + "\"}").empty());
    EXPECT_EQ(ask(R"({"cmd":"info"})")["ok"], true) << gateway_->err();

    sub_ = std::make_unique<Background>("mosquitto_sub " + client + " -v -t 'flood/#'",
                                        dir_ / "sub.out", dir_ / "sub.err");
    marker(client, "flood/marker");
    {
        std::ofstream lines(dir_ / "flood");
        for (int i = 0; i < 200; ++i) lines << R"({"cmd":"info","id":)" << i << "}\n";
    }
    ASSERT_EQ(run("mosquitto_pub " + client + " -V 5 -q 1 -t tqrf/gw/" + reader +
                      "/cmd -D publish response-topic flood/r -l < " + (dir_ / "flood"),
                  dir_)
                  .status,
              0);
    // Once the flood has passed the reader answers again, and says how many it dropped.
    ASSERT_TRUE(eventually([&] { return ask(R"({"cmd":"info"})")["ok"] == true; }))
        << gateway_->err();
    ASSERT_TRUE(eventually([&] { return has(gateway_->err(), "were dropped"); }))
        << gateway_->err();
    const auto answered = [&] {
        std::size_t n = 0;
        for (const auto& l : lines_of(sub_->out())) n += l.rfind("flood/r ", 0) == 0 ? 1 : 0;
        return n;
    };
    marker(client, "flood/marker");
    EXPECT_GE(answered(), 10u) << sub_->out();  // the burst, less what was asked before
    EXPECT_LT(answered(), 200u) << sub_->out();
    EXPECT_TRUE(
        has(gateway_->err(), "requests on reader " + reader + " come faster than 10 a second"))
        << gateway_->err();
    EXPECT_EQ(gateway_->end(SIGTERM), 0);
}

// The TLS files of a configuration are checked before the gateway starts.
TEST_F(GatewaySecurity, CheckConfigNamesEveryTlsFileMistake) {
    chmod((dir_ / "client.key").c_str(), 0644);
    struct Case {
        std::string broker, error;
    };
    const std::vector<Case> cases{
        {url("mqtts") + file("cert_file", "client.crt") + file("key_file", "client.key"),
         "broker.key_file: " + (dir_ / "client.key") + " may be read or written by others"},
        {url("mqtts") + file("cert_file", "client.crt"), "broker.cert_file: needs key_file"},
        {url("mqtts") + file("ca_file", "no-such.crt"),
         "broker.ca_file: " + (dir_ / "no-such.crt") + " does not open"},
        {url("mqtt") + file("ca_file", "ca.crt"),
         "broker.ca_file: the TLS files need an mqtts:// broker"},
    };
    for (const auto& c : cases) {
        std::ofstream(dir_ / "c.toml") << "[gateway]\nname = \"gw\"\n[broker]\n"
                                       << c.broker << "[[reader]]\nport = \"auto\"\n";
        const Outcome o = check_config(dir_ / "c.toml", dir_);
        EXPECT_EQ(o.status, 2) << c.broker;
        EXPECT_TRUE(has(o.err, c.error)) << c.error << "\n" << o.err;
    }
    chmod((dir_ / "client.key").c_str(), 0640);
    std::ofstream(dir_ / "c.toml")
        << "[gateway]\nname = \"gw\"\n[broker]\n"
        << url("mqtts") << file("ca_file", "ca.crt") << file("cert_file", "client.crt")
        << file("key_file", "client.key") << "[[reader]]\nport = \"auto\"\n";
    const Outcome o = check_config(dir_ / "c.toml", dir_);
    EXPECT_EQ(o.status, 0) << o.err;
}

}  // namespace
