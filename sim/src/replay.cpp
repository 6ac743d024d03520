#include "tqrf_sim/replay.h"

#include <charconv>
#include <cstdio>
#include <utility>

namespace tqrf_sim {

namespace {

enum class Event { None, Frame, Reply };

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// "123.456789": the time stamp both formats begin with.
bool is_time(std::string_view w) {
    const auto dot = w.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == w.size()) return false;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (i != dot && (w[i] < '0' || w[i] > '9')) return false;
    }
    return true;
}

// One byte word: two hex digits, or `**` for a hidden byte.
bool parse_byte(std::string_view w, RecordedByte& out) {
    if (w == "**") {
        out.reset();
        return true;
    }
    std::uint8_t v = 0;
    const char* end = w.data() + w.size();
    if (w.size() != 2 || std::from_chars(w.data(), end, v, 16).ptr != end) return false;
    out = v;
    return true;
}

struct Parsed {
    Event event = Event::None;
    std::vector<RecordedByte> bytes;
    std::string_view port;  // `tqrf --trace` with several ports names the port
    bool bad = false;       // a trace line whose bytes are no bytes
};

Parsed parse_line(std::string_view line) {
    Parsed p;
    const auto words = split_words(line);
    std::size_t i = 0;
    std::size_t bytes_end = words.size();
    if (words.size() >= 3 && words[0] == "trace" && is_time(words[1])) {
        // tqrf --trace: "trace TIME [PORT] DIRECTION BYTES... (WHAT, PARITY)".
        i = 2;
        if (words[i] != ">" && words[i] != "<" && words[i] != "=") p.port = words[i++];
        if (i >= words.size()) return p;
        const std::string_view direction = words[i++];
        bytes_end = i;
        while (bytes_end < words.size() && words[bytes_end].front() != '(') ++bytes_end;
        // "(nothing)" stands for a reply of no bytes, before the description.
        std::size_t described = bytes_end;
        if (described < words.size() && words[described] == "(nothing)") ++described;
        const std::string_view what = described < words.size() ? words[described] : "";
        if (direction == ">" && what == "(frame,") {
            p.event = Event::Frame;
        } else if (direction == "<" && what == "(reply,") {
            p.event = Event::Reply;
        } else {
            return p;
        }
    } else if (words.size() >= 2 && is_time(words[0])) {
        // TQRF_TRACE: "TIME EVENT BYTES...".
        if (words[1] == "frame") {
            p.event = Event::Frame;
        } else if (words[1] == "reply") {
            p.event = Event::Reply;
        } else {
            return p;
        }
        i = 2;
    } else {
        return p;
    }
    for (; i < bytes_end; ++i) {
        RecordedByte b;
        if (!parse_byte(words[i], b)) {
            p.bad = true;
            return p;
        }
        p.bytes.push_back(b);
    }
    return p;
}

// A frame is whole when it has the bytes its LEN announces (a hidden LEN is taken as whole).
bool whole_frame(const std::vector<RecordedByte>& f) {
    if (f.size() < 3) return false;
    if (!f[0] || !f[1]) return true;
    return f.size() == ((std::size_t{*f[0]} << 8) | *f[1]) + 3;
}

}  // namespace

std::optional<RecordedSession> parse_trace(std::string_view text, std::string* error) {
    RecordedSession session;
    std::optional<std::string> port;
    bool open = false;  // the last request still waits for its reply line
    std::size_t number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        Parsed p = parse_line(line);
        if (p.bad) {
            if (error != nullptr) {
                *error = "line " + std::to_string(number) +
                         ": bytes that are no bytes: " + std::string(line);
            }
            return std::nullopt;
        }
        if (p.event == Event::None) continue;
        if (!p.port.empty()) {
            if (port && *port != p.port) {
                if (error != nullptr) {
                    *error = "line " + std::to_string(number) + ": a second port (" +
                             std::string(p.port) + " after " + *port +
                             "): replay a trace of one reader";
                }
                return std::nullopt;
            }
            port = std::string(p.port);
        }
        if (p.event == Event::Frame) {
            open = false;
            if (!whole_frame(p.bytes)) continue;
            RecordedExchange ex;
            ex.line = number;
            ex.request = std::move(p.bytes);
            session.exchanges.push_back(std::move(ex));
            open = true;
            continue;
        }
        // A reply: the bytes taken for the request just before it.
        if (!open) continue;
        open = false;
        RecordedExchange& ex = session.exchanges.back();
        ex.reply_line = number;
        for (const RecordedByte& b : p.bytes) {
            if (!b) {
                if (error != nullptr) {
                    *error = "line " + std::to_string(number) + ": a reply with hidden bytes";
                }
                return std::nullopt;
            }
            ex.reply.push_back(*b);
        }
    }
    session.lines = number;
    if (session.exchanges.empty()) {
        if (error != nullptr) *error = "no request frame in the trace";
        return std::nullopt;
    }
    return session;
}

bool request_matches(std::span<const RecordedByte> recorded, std::span<const std::uint8_t> frame) {
    if (recorded.size() != frame.size()) return false;
    for (std::size_t i = 0; i < frame.size(); ++i) {
        if (recorded[i] && *recorded[i] != frame[i]) return false;
    }
    return true;
}

std::string format_recorded(std::span<const RecordedByte> bytes) {
    if (bytes.empty()) return "(nothing)";
    std::string out;
    char buf[4];
    for (const RecordedByte& b : bytes) {
        if (b) {
            std::snprintf(buf, sizeof buf, "%02X ", static_cast<unsigned>(*b));
            out += buf;
        } else {
            out += "** ";
        }
    }
    out.pop_back();
    return out;
}

std::string format_bytes(std::span<const std::uint8_t> bytes) {
    std::vector<RecordedByte> all(bytes.begin(), bytes.end());
    return format_recorded(all);
}

std::string format_request(std::span<const std::uint8_t> frame) {
    // A load-key frame: LEN, 0xBB, 0x61, key type, sector, then the key and the XOR byte.
    constexpr std::size_t kKeyOffset = 6;
    const bool key = frame.size() > kKeyOffset && frame[2] == 0xBB && frame[3] == 0x61;
    std::vector<RecordedByte> shown(frame.begin(), frame.end());
    if (key) {
        for (std::size_t i = kKeyOffset; i < shown.size(); ++i) shown[i].reset();
    }
    return format_recorded(shown);
}

std::string describe(const ReplayMismatch& m) {
    if (m.line == 0) {
        return "the trace has no more requests\n  received: " + m.received;
    }
    return "line " + std::to_string(m.line) + ": the request differs\n  recorded: " + m.recorded +
           "\n  received: " + m.received;
}

Replay::Replay(RecordedSession session) : session_(std::move(session)) {}

const RecordedExchange* Replay::next(std::span<const std::uint8_t> frame) {
    if (mismatch_) return nullptr;
    if (position_ >= session_.exchanges.size()) {
        mismatch_ = ReplayMismatch{0, "", format_request(frame)};
        return nullptr;
    }
    const RecordedExchange& ex = session_.exchanges[position_];
    if (!request_matches(ex.request, frame)) {
        mismatch_ = ReplayMismatch{ex.line, format_recorded(ex.request), format_request(frame)};
        return nullptr;
    }
    ++position_;
    return &ex;
}

ReplayProgress Replay::progress() const {
    ReplayProgress p;
    p.answered = position_;
    p.total = session_.exchanges.size();
    p.next_line = position_ < p.total && !mismatch_ ? session_.exchanges[position_].line : 0;
    p.mismatch = mismatch_;
    return p;
}

}  // namespace tqrf_sim
