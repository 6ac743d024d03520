// What the gateway's tests share: each test's own mosquitto on a free local port (its
// configuration, output and files in the test's folder), the mosquitto clients' options for it,
// a subscriber known to be subscribed, the gateway started with the quick-start options, and
// bounded waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cli_run.h"
#include "gtest/gtest.h"
#include "tqrf_sim/simulator.h"

namespace tqrf_gateway_test {

using namespace tqrf_cli_test;

// A local TCP port no one listens on now.
int free_port();
// Something accepts connections on the local `port`.
bool accepts(int port);

// Waits (bounded) until `done` holds.
template <class F>
bool eventually(F done) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

// The gateway's name for the reader on `pty`: "/dev/pts/3" -> "pts-3".
std::string reader_name(const std::string& pty);

// A simulated reader with no card in its field.
tqrf_sim::SimulatorOptions empty_field();

// tqrf-gateway --check-config on `file`.
Outcome check_config(const std::string& file, const TempDir& dir);

class BrokerTest : public ::testing::Test {
  protected:
    // mosquitto with `settings` after its listener line (mosquitto.conf in the test's folder);
    // returns once it accepts connections.
    void start_broker(const std::string& settings);
    // Again with the settings it had.
    void start_broker() { start_broker(settings_); }
    // SIGTERM: the broker saves its sessions when it persists them.
    void stop_broker();

    // The mosquitto clients' options for the broker.
    std::string broker_args() const { return "-h 127.0.0.1 -p " + std::to_string(port_); }

    // Publishes `message` on `topic` with the clients' options `client` until the subscriber
    // sub_ prints it: it is subscribed (again).
    void marker(const std::string& client, const std::string& topic, const std::string& message);

    // The gateway's options for the broker, named "gw", on `ports` (" --port ..." each).
    std::string quick_start(const std::string& ports) const;
    // The gateway with its state folder in the test's folder, `extra` options after the rest.
    void start_gateway(const std::string& ports, const std::string& extra = "");

    // The sequence number of the last event the gateway took on `reader` (its state file).
    std::uint64_t taken(const std::string& reader) const;

    TempDir dir_;
    int port_ = free_port();
    std::unique_ptr<Background> broker_, sub_, gateway_;

  private:
    std::string settings_;
};

}  // namespace tqrf_gateway_test
