// What the gateway tells systemd about itself (sd_notify): READY=1 once it runs, STATUS= lines
// on the broker's connection, WATCHDOG=1 while its main loop turns, STOPPING=1 on the way out.
// Built with libsystemd (TQRF_GATEWAY_SYSTEMD) it sends them when started by systemd
// (NOTIFY_SOCKET set); without libsystemd, and outside systemd, every call does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tqrf::gateway {

class Notifier {
  public:
    // Reads the watchdog's interval from the environment (WATCHDOG_USEC, WATCHDOG_PID).
    Notifier();

    void ready();
    void status(const std::string& status);
    void stopping();
    // Called from the main loop (at least every 100 ms): WATCHDOG=1 when half the watchdog's
    // interval has gone by since the last one. `now` is the steady clock.
    void tick(std::chrono::steady_clock::time_point now);

    // Half the watchdog interval systemd asked for; zero when it asked for none.
    std::chrono::microseconds watchdog_period() const { return period_; }

  private:
    std::chrono::microseconds period_{0};
    std::chrono::steady_clock::time_point next_{};
};

}  // namespace tqrf::gateway
