#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace tqrf::testing {

PtyEnds open_pty(bool raw) {
    PtyEnds ends;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return ends;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        return ends;
    }
    if (raw) {
        termios t{};
        if (tcgetattr(master, &t) != 0) {
            close(master);
            return ends;
        }
        cfmakeraw(&t);
        if (tcsetattr(master, TCSANOW, &t) != 0) {
            close(master);
            return ends;
        }
    }
    ends.master = master;
    ends.slave = name;
    return ends;
}

Pty::Pty(bool raw) : ends_(open_pty(raw)) {}

Pty::~Pty() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (ends_.master >= 0) close(ends_.master);
}

void Pty::serve(Answer answer) {
    if (!ok() || thread_.joinable()) return;
    thread_ = std::thread([this, answer = std::move(answer)] {
        std::uint8_t buf[256];
        while (!stop_) {
            pollfd p{ends_.master, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || (p.revents & POLLIN) == 0) {
                // With no slave side open the master reports a hang-up at once: do not spin.
                if (p.revents != 0) usleep(1000);
                continue;
            }
            const ssize_t n = read(ends_.master, buf, sizeof buf);
            if (n > 0) {
                answer(ends_.master, buf, static_cast<std::size_t>(n));
            } else {
                usleep(1000);
            }
        }
    });
}

void Pty::echo() {
    serve([](int master, const std::uint8_t* bytes, std::size_t count) {
        (void)!write(master, bytes, count);
    });
}

}  // namespace tqrf::testing
