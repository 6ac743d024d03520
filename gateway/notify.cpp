#include "notify.h"

#ifdef TQRF_GATEWAY_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace tqrf::gateway {

namespace {

void send([[maybe_unused]] const std::string& message) {
#ifdef TQRF_GATEWAY_SYSTEMD
    // No NOTIFY_SOCKET (not started by systemd): sd_notify returns 0 and sends nothing.
    (void)sd_notify(0, message.c_str());
#endif
}

}  // namespace

Notifier::Notifier() {
#ifdef TQRF_GATEWAY_SYSTEMD
    std::uint64_t usec = 0;
    // > 0 only when WATCHDOG_USEC is set and WATCHDOG_PID (if set) is this process.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        period_ = std::chrono::microseconds(usec / 2);
    }
#endif
}

void Notifier::ready() {
    send("READY=1");
    next_ = std::chrono::steady_clock::now() + period_;
}

void Notifier::status(const std::string& status) {
    send("STATUS=" + status);
}

void Notifier::stopping() {
    send("STOPPING=1\nSTATUS=stopping");
}

void Notifier::tick(std::chrono::steady_clock::time_point now) {
    if (period_.count() == 0 || now < next_) return;
    send("WATCHDOG=1");
    next_ = now + period_;
}

}  // namespace tqrf::gateway
