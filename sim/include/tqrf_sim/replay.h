// Replaying a session recorded in the field: the trace a program of tq_RWD_DLL writes to the
// file named by TQRF_TRACE, or the one `tqrf --trace` writes on its standard error. The trace
// gives each request frame as it was sent and the bytes taken as its reply; the simulator
// answers a new session with those replies, as long as its requests are the recorded ones.
//
// The two formats, one event a line:
//
//   1234.568921 frame 00 04 BB 41 26 00 D8                          (TQRF_TRACE)
//   1234.572410 reply 00 03 04 00 00 07
//   trace    0.000123  > 00 04 BB 41 26 00 D8  (frame, space parity)  (tqrf --trace)
//   trace    0.003456  < 00 03 04 00 00 07  (reply, space parity)
//
// Address lines, results, notes and lines of neither format are passed over. Key bytes hidden
// as `**` (a load-key frame's key and XOR byte) match any byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tqrf_sim {

// A byte of a recorded request: nothing where the trace hides it.
using RecordedByte = std::optional<std::uint8_t>;

// One request of a recorded session and the reply the host took for it.
struct RecordedExchange {
    std::size_t line = 0;               // the request frame's line in the trace, from 1
    std::vector<RecordedByte> request;  // LEN, payload, XOR, as sent
    std::vector<std::uint8_t> reply;    // the bytes taken as the reply: possibly none
    std::size_t reply_line = 0;         // its line; 0 when the trace has no reply line for it
};

struct RecordedSession {
    std::vector<RecordedExchange> exchanges;
    std::size_t lines = 0;  // lines in the trace
};

// Reads a trace in either format (the two may even be mixed). Gives nothing and an explanation
// in `error` when a trace line has bytes that are no bytes, when the trace names more than one
// port (`tqrf --trace` with several `--port`), or when it holds no request. A request frame cut
// short (fewer bytes than its LEN announces: the host failed to send it) never reached a reader
// and is passed over, with its reply.
std::optional<RecordedSession> parse_trace(std::string_view text, std::string* error = nullptr);

// Whether a frame (LEN, payload, XOR) is the recorded request; hidden bytes match any byte.
bool request_matches(std::span<const RecordedByte> recorded, std::span<const std::uint8_t> frame);

// "00 0A BB 61 60 01 ** ** ** ** ** ** **", "00 04 BB 45 01 00 FB"; "(nothing)" when empty.
std::string format_recorded(std::span<const RecordedByte> bytes);
std::string format_bytes(std::span<const std::uint8_t> bytes);
// A request frame as the library's traces show it: the key and XOR bytes of a load-key frame
// hidden as `**`.
std::string format_request(std::span<const std::uint8_t> frame);

// The first request that was not the recorded one.
struct ReplayMismatch {
    std::size_t line = 0;  // the recorded request's line; 0 past the end of the trace
    std::string recorded;  // the recorded frame, formatted; empty past the end
    std::string received;  // the frame received, formatted (keys hidden)
};
// "line 27: the request differs\n  recorded: ...\n  received: ..." (no final newline).
std::string describe(const ReplayMismatch& m);

struct ReplayProgress {
    std::size_t answered = 0;   // recorded requests answered so far
    std::size_t total = 0;      // recorded requests in the session
    std::size_t next_line = 0;  // the line of the next recorded request; 0 when none is left
    std::optional<ReplayMismatch> mismatch;
};

// Steps through a recorded session, one request at a time.
class Replay {
  public:
    explicit Replay(RecordedSession session);
    // The recorded exchange for this request frame, when it is the next recorded request;
    // otherwise nothing, and the replay has ended with a mismatch (every later call gives
    // nothing too).
    const RecordedExchange* next(std::span<const std::uint8_t> frame);
    ReplayProgress progress() const;

  private:
    RecordedSession session_;
    std::size_t position_ = 0;
    std::optional<ReplayMismatch> mismatch_;
};

}  // namespace tqrf_sim
