// tqrf-gateway under systemd's eyes: the test stands in for systemd with a datagram socket of
// its own (NOTIFY_SOCKET) and takes what the gateway sends: READY=1 only once the
// configuration is read and the state folder is made, STATUS= lines as the broker comes,
// WATCHDOG=1 at half of WATCHDOG_USEC, STOPPING=1 on SIGTERM. A real broker, a simulated
// reader, the gateway as a process; the state folder from $STATE_DIRECTORY.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <fstream>
#include <memory>

#include "broker_fixture.h"

namespace {

using namespace tqrf_gateway_test;

// The listening end of systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        ok_ = fd_ >= 0 && path.size() < sizeof a.sun_path &&
              bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;
    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

    // Takes datagrams (each one message, its lines joined) until `done` holds of what was
    // taken so far, or patience runs out; everything taken.
    template <class F>
    const std::vector<std::string>& take_until(F done) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!done(taken_) && std::chrono::steady_clock::now() < deadline) take(100);
        return taken_;
    }
    // Takes what is waiting now.
    const std::vector<std::string>& drain() {
        while (take(0)) {
        }
        return taken_;
    }

  private:
    bool take(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return false;
        char buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        taken_.emplace_back(buf, static_cast<std::size_t>(n));
        return true;
    }

    std::string path_;
    int fd_ = -1;
    bool ok_ = false;
    std::vector<std::string> taken_;
};

// Index of the first message holding `line` as one of its lines; -1 when none does.
int first(const std::vector<std::string>& messages, const std::string& line) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
        for (const auto& l : lines_of(messages[i])) {
            if (l == line) return static_cast<int>(i);
        }
    }
    return -1;
}

int count(const std::vector<std::string>& messages, const std::string& line) {
    int n = 0;
    for (const auto& m : messages) {
        for (const auto& l : lines_of(m)) n += l == line ? 1 : 0;
    }
    return n;
}

std::string joined(const std::vector<std::string>& messages) {
    std::string all;
    for (const auto& m : messages) all += "[" + m + "]\n";
    return all;
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class Service : public BrokerTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(notify_.ok()) << notify_.path();
        ASSERT_NO_FATAL_FAILURE(start_broker("allow_anonymous true\n"));
        sim_.start();
    }

    // The gateway as systemd starts it: its environment, no --state.
    std::unique_ptr<Background> start(const std::string& env, const std::string& args) {
        return std::make_unique<Background>(
            "env NOTIFY_SOCKET=" + notify_.path() + " " + env + " " + TQRF_GATEWAY_EXE + " " + args,
            dir_ / "gw.out", dir_ / "gw.err");
    }

    std::string quick_start() const {
        return BrokerTest::quick_start(" --port " + sim_.slave_path());
    }

    NotifySocket notify_{dir_ / "notify"};
    tqrf_sim::Simulator sim_;
};

TEST_F(Service, TellsSystemdItIsReadyConnectedAliveAndStopping) {
    if (!TQRF_GATEWAY_NOTIFIES) GTEST_SKIP() << "tqrf-gateway was built without libsystemd";
    auto gw = start("WATCHDOG_USEC=200000 STATE_DIRECTORY=" + (dir_ / "state"), quick_start());
    const auto& got = notify_.take_until([](const std::vector<std::string>& m) {
        return first(m, "READY=1") >= 0 && first(m, "STATUS=connected to the broker") >= 0 &&
               count(m, "WATCHDOG=1") >= 3;
    });
    const int ready = first(got, "READY=1");
    ASSERT_GE(ready, 0) << joined(got) << gw->err();
    ASSERT_GE(first(got, "STATUS=connected to the broker"), 0) << joined(got) << gw->err();
    ASSERT_GE(count(got, "WATCHDOG=1"), 3) << joined(got) << gw->err();
    // Told before the connection is made, so that it never overwrites "connected".
    const int connecting =
        first(got, "STATUS=connecting to the broker at tcp://127.0.0.1:" + std::to_string(port_));
    EXPECT_GE(connecting, 0) << joined(got);
    EXPECT_LT(connecting, ready) << joined(got);
    EXPECT_EQ(count(got, "READY=1"), 1) << joined(got);
    // Pinged only once it is ready.
    EXPECT_GT(first(got, "WATCHDOG=1"), ready) << joined(got);
    // The state folder is $STATE_DIRECTORY's (the queue of Paho inside).
    EXPECT_TRUE(is_dir(dir_ / "state/queue")) << gw->err();

    EXPECT_EQ(gw->end(SIGTERM), 0) << gw->err();
    const auto& all = notify_.drain();
    const int stopping = first(all, "STOPPING=1");
    ASSERT_GE(stopping, 0) << joined(all);
    // The main loop has ended: no ping after it.
    for (std::size_t i = static_cast<std::size_t>(stopping); i < all.size(); ++i) {
        EXPECT_EQ(count({all[i]}, "WATCHDOG=1"), 0) << joined(all);
    }
    // Offline on the broker before it went.
    const Outcome o = run("mosquitto_sub " + broker_args() + " -C 1 -W 5 -t tqrf/gw/status", dir_);
    EXPECT_TRUE(has(o.out, "\"state\":\"offline\"")) << o.out << o.err;
}

// A gateway that cannot start says nothing to systemd: READY=1 would have systemd count it as
// running. Each case exits before its main loop; the socket is read after the exit.
TEST_F(Service, NoReadyFromAGatewayThatCannotStart) {
    std::ofstream(dir_ / "bad.toml") << "[gateway]\nname = \"gw\"\n";
    std::ofstream(dir_ / "password") << "s3cret\n";
    chmod((dir_ / "password").c_str(), 0644);
    struct Case {
        std::string what, env, args;
        int status;
    };
    const Case cases[] = {
        {"a mistake in the configuration", "", "--config " + (dir_ / "bad.toml"), 2},
        {"a state folder that cannot be made", "STATE_DIRECTORY=/proc/tqrf-gateway", quick_start(),
         1},
        {"a password file others may read", "STATE_DIRECTORY=" + (dir_ / "state"),
         quick_start() + " --username u --password-file " + (dir_ / "password"), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto gw = start(c.env, c.args);
        EXPECT_EQ(gw->end(0), c.status) << gw->err();
        const auto& got = notify_.drain();
        EXPECT_EQ(first(got, "READY=1"), -1) << joined(got);
    }
}

}  // namespace
