// The readers a run talks to: the ports given, or the simulated reader of --simulate, opened
// with the run's timing options and, with --trace, every frame shown on stderr.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "platform.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

// The global options.
struct Globals {
    std::vector<std::string> ports;  // --port, repeatable; TQRF_PORT when none and no --simulate
    bool simulate = false;
    bool json = false;
    bool trace = false;
    bool trace_keys = false;  // --trace-keys: the trace shows the keys of load-key frames
    ReplyMode timing = ReplyMode::Complete;
    unsigned slack_ms = 0;
    // --retries: the reader's attempts in all for an exchange whose reply is lost, late or
    // garbled, where a repeat is safe (the library's retry layer).
    int retries = 3;
};

struct Link {
    std::string port;  // as the user named it
    Reader reader;     // not open when the port did not open (see Connection::failures())
};

// A port of a run over several readers that did not open.
struct OpenFailure {
    std::size_t index = 0;  // into Connection::links()
    CommandError error;
};

// Prints every traced frame as one line on stderr: time since the first frame, direction,
// bytes and parity.
class Tracer {
  public:
    void event(const std::string& port, const Trace& t);
    bool name_ports = false;
    bool show_keys = false;  // else the key bytes of a load-key frame show as "**"

  private:
    std::mutex mutex_;
    bool started_ = false;
    std::chrono::microseconds origin_{0};
};

class Connection {
  public:
    // Opens the readers of `g`. Throws a usage error when none is given, an empty port name, or
    // several for a command that takes one (`several_allowed` false); CommandError when one does
    // not open. With several ports and `keep_going`, a port that does not open keeps its place
    // in links() with a reader that is not open, and its error is in failures().
    static std::unique_ptr<Connection> open(const Globals& g, bool several_allowed,
                                            bool keep_going = false);
    ~Connection();

    std::vector<Link>& links() { return links_; }
    const std::vector<OpenFailure>& failures() const { return failures_; }
    // Opens `port` again with the run's options and trace (a reader that came back). Throws
    // CommandError when it does not open. Safe from several threads.
    Reader reopen(const std::string& port);
    Link& first() { return links_.front(); }

  private:
    std::unique_ptr<platform::SimulatedReader> sim_;  // declared first: outlives the readers
    Tracer tracer_;                                   // outlives the readers' trace callbacks
    std::vector<Link> links_;
    std::vector<OpenFailure> failures_;
    ReaderOptions options_;
    bool trace_ = false;
    bool simulated_ = false;

    Reader open_one(const std::string& port, const std::string& shown);
};

}  // namespace tqrf::tool
