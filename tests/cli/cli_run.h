// Helpers for tests that run the built tqrf and tqrf-sim programs: a run's output and status,
// a program in the background, and a simulated reader as a process of its own.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tqrf_cli_test {

// Generous: a loaded machine is slow. Never a measure of anything.
inline constexpr auto kPatience = std::chrono::seconds(30);

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        char dir[] = "/tmp/tqrf_cli_XXXXXX";
        if (mkdtemp(dir) != nullptr) path_ = dir;
    }
    ~TempDir() {
        if (!path_.empty()) (void)std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Runs a shell command line; stdout and stderr are collected through files in `dir`.
inline Outcome run(const std::string& command, const TempDir& dir) {
    const std::string out = dir / "run.out", err = dir / "run.err";
    const std::string shell = "(" + command + ") >" + out + " 2>" + err + " </dev/null";
    const int rc = std::system(shell.c_str());
    return Outcome{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, slurp(out), slurp(err)};
}

// A program in the background, its output collected in files.
class Background {
  public:
    Background(const std::string& command, const std::string& out, const std::string& err)
        : out_(out), err_(err) {
        const std::string line = "exec " + command + " >" + out + " 2>" + err + " </dev/null";
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~Background() { end(SIGKILL); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Waits until stdout holds `count` lines that contain every one of `parts`.
    bool wait_for(const std::vector<std::string>& parts, std::size_t count = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            std::size_t n = 0;
            for (const auto& l : lines_of(out())) {
                bool all = true;
                for (const auto& p : parts) all = all && has(l, p);
                n += all ? 1 : 0;
            }
            if (n >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Sends `sig` (unless 0) and waits for the end; the exit status, 128 + signal when killed.
    int end(int sig) {
        if (pid_ <= 0) return status_;
        if (sig != 0) kill(pid_, sig);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

    std::string out() const { return slurp(out_); }
    std::string err() const { return slurp(err_); }

  private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// tqrf-sim as a process with `args`; device() is the pty it printed on its first line.
class SimProcess {
  public:
    SimProcess(const std::string& exe, const std::string& args, const TempDir& dir,
               const std::string& name)
        : bg_(exe + " " + args, dir / (name + ".out"), dir / (name + ".err")) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto lines = lines_of(bg_.out());
            if (!lines.empty() && bg_.out().back() == '\n') {
                device_ = lines.front();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    const std::string& device() const { return device_; }
    // SIGKILL: gone at once, as an unplugged reader (a --link symlink stays behind).
    void kill_now() { bg_.end(SIGKILL); }
    int stop() { return bg_.end(SIGTERM); }

  private:
    Background bg_;
    std::string device_;
};

}  // namespace tqrf_cli_test
