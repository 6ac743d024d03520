#include "broker_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

namespace tqrf_gateway_test {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

}  // namespace

int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

std::string reader_name(const std::string& pty) {
    std::string n = pty.substr(5);
    for (auto& c : n) c = c == '/' ? '-' : c;
    return n;
}

tqrf_sim::SimulatorOptions empty_field() {
    tqrf_sim::SimulatorOptions o;
    o.default_card = false;
    return o;
}

Outcome check_config(const std::string& file, const TempDir& dir) {
    return run(std::string(TQRF_GATEWAY_EXE) + " --check-config " + file, dir);
}

void BrokerTest::start_broker(const std::string& settings) {
    broker_.reset();
    settings_ = settings;
    // Run as root, mosquitto would become the user "mosquitto", who may not enter the test's
    // folder (its persistence and password files are there).
    std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                           << settings << (getuid() == 0 ? "user root\n" : "");
    broker_ = std::make_unique<Background>(
        std::string(TQRF_MOSQUITTO_EXE) + " -c " + (dir_ / "mosquitto.conf"),
        dir_ / "mosquitto.out", dir_ / "mosquitto.err");
    ASSERT_TRUE(eventually([&] { return accepts(port_); })) << slurp(dir_ / "mosquitto.err");
}

void BrokerTest::stop_broker() {
    broker_->end(SIGTERM);
    broker_.reset();
}

void BrokerTest::marker(const std::string& client, const std::string& topic,
                        const std::string& message) {
    ASSERT_TRUE(eventually([&] {
        run("mosquitto_pub " + client + " -q 1 -t " + topic + " -m '" + message + "'", dir_);
        return has(sub_->out(), topic + " " + message);
    })) << sub_->out()
        << sub_->err();
}

std::string BrokerTest::quick_start(const std::string& ports) const {
    return "--broker mqtt://127.0.0.1:" + std::to_string(port_) + " --name gw" + ports +
           " --interval 20";
}

void BrokerTest::start_gateway(const std::string& ports, const std::string& extra) {
    gateway_ =
        std::make_unique<Background>(std::string(TQRF_GATEWAY_EXE) + " " + quick_start(ports) +
                                         " --state " + (dir_ / "state") + " " + extra,
                                     dir_ / "gw.out", dir_ / "gw.err");
}

std::uint64_t BrokerTest::taken(const std::string& reader) const {
    std::ifstream in(dir_ / ("state/seq-" + reader));
    std::uint64_t v = 0;
    in >> v;
    return v;
}

}  // namespace tqrf_gateway_test
