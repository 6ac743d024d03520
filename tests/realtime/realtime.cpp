// Linked into the test programs that drive the simulated reader in real time.
//
// The simulator stands in for a reader: a separate device that answers a request a few
// milliseconds after it, however busy the host is, while the library waits a fixed 40 ms
// before it takes the reply. On a loaded machine an ordinary thread can wait longer than that
// for a processor, and a reply that a real reader would have sent in time comes late. So the
// test process asks for round-robin real-time scheduling before main() runs: the simulator's
// serving thread, every other thread the test starts, and the programs it runs (the tqrf tool)
// inherit it. A process that may not change its scheduling (no CAP_SYS_NICE and RLIMIT_RTPRIO
// 0) runs as it is. TQRF_TEST_REALTIME=0 turns this off.
#include <sched.h>

#include <cstdlib>
#include <cstring>

namespace {

struct RealTimeScheduling {
    RealTimeScheduling() {
        const char* setting = std::getenv("TQRF_TEST_REALTIME");
        if (setting != nullptr && std::strcmp(setting, "0") == 0) return;
        // A low real-time priority: above every ordinary process, below the system's own
        // real-time threads. The kernel's real-time throttling still leaves other processes
        // a share of each processor should a test spin.
        sched_param param{};
        param.sched_priority = 5;
        (void)::sched_setscheduler(0, SCHED_RR, &param);
    }
};

const RealTimeScheduling g_real_time;

}  // namespace
