#include "link/reader.h"

#include <cstddef>

#include "link/commands.h"
#include "link/wire.h"
#include "os/digits.h"

namespace tqrf {

tqrf_reader& default_reader() {
    static tqrf_reader reader = [] {
        tqrf_reader r;
        r.lock = serial::default_reader_lock();
        return r;
    }();
    return reader;
}

namespace {

// A trace line: "SECONDS.MICROS EVENT HEX..." or "SECONDS.MICROS result CODE TEXT", built in a
// buffer of the caller's (no allocation).
class LineBuilder {
  public:
    LineBuilder(char* buffer, std::size_t capacity) : buf_(buffer), cap_(capacity) {}

    void text(const char* s) {
        while (*s != '\0') ch(*s++);
    }
    void ch(char c) {
        if (len_ + 1 < cap_) buf_[len_++] = c;
    }
    void unsigned_number(std::uint64_t v, std::size_t min_digits = 1) {
        char text[digits::kDecimalMax];
        const std::size_t n = digits::decimal(v, text);
        for (std::size_t pad = n; pad < min_digits && pad < 24; ++pad) ch('0');
        for (std::size_t i = 0; i < n; ++i) ch(text[i]);
    }
    void number(std::int32_t v) {
        if (v < 0) {
            ch('-');
            unsigned_number(static_cast<std::uint64_t>(-static_cast<std::int64_t>(v)));
        } else {
            unsigned_number(static_cast<std::uint64_t>(v));
        }
    }
    void hex(std::uint8_t b) {
        static constexpr char digits[] = "0123456789ABCDEF";
        ch(digits[b >> 4]);
        ch(digits[b & 0x0F]);
    }
    std::size_t size() const { return len_; }

  private:
    char* buf_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

const char* event_name(std::int32_t event) {
    // TQRF_TRACE_ADDRESS to TQRF_TRACE_REPLY, in order; anything else is a call's result.
    static constexpr const char* kNames[] = {"address", "frame", "reply"};
    static_assert(TQRF_TRACE_REPLY - TQRF_TRACE_ADDRESS + 1 == 3);
    if (event == TQRF_TRACE_RETRY) return "retry";
    if (event < TQRF_TRACE_ADDRESS || event > TQRF_TRACE_REPLY) return "result";
    return kNames[event - TQRF_TRACE_ADDRESS];
}

// In a load-key request frame (LEN, 0xBB, 0x61, key type, sector, six key bytes, XOR) the
// bytes from here on give the key away: the XOR byte too, since the rest of the frame is known.
constexpr std::uint32_t KEY_OFFSET = 6;

bool carries_key(std::int32_t event, const std::uint8_t* bytes, std::uint32_t count) {
    return event == TQRF_TRACE_FRAME && count > KEY_OFFSET && bytes[2] == COMMAND_LEAD &&
           bytes[3] == row(Op::LOAD_KEY).code;
}

void write_trace_line(serial::TraceFile* file, std::int32_t event, std::int32_t result,
                      const std::uint8_t* bytes, std::uint32_t count, std::uint64_t time_us,
                      bool show_keys) {
    // Room for the longest line: a 105-byte reply at three characters a byte, or a result
    // with its text.
    char buffer[512];
    LineBuilder line(buffer, sizeof buffer);
    line.unsigned_number(time_us / 1'000'000);
    line.ch('.');
    line.unsigned_number(time_us % 1'000'000, 6);
    line.ch(' ');
    line.text(event_name(event));
    if (event == TQRF_TRACE_RETRY) {
        // "retry CODE ATTEMPT WHAT RESULT": which command, which attempt, what was done, after
        // which failure.
        for (std::uint32_t i = 0; i < count; ++i) {
            line.ch(' ');
            line.hex(bytes[i]);
        }
        line.ch(' ');
        line.number(result);
    } else if (event == TQRF_TRACE_RESULT) {
        line.ch(' ');
        line.number(result);
        line.ch(' ');
        line.text(tqrf_strerror(result));
    } else {
        const std::uint32_t hide_from =
            !show_keys && carries_key(event, bytes, count) ? KEY_OFFSET : count;
        for (std::uint32_t i = 0; i < count; ++i) {
            line.ch(' ');
            if (i < hide_from) {
                line.hex(bytes[i]);
            } else {
                line.text("**");
            }
        }
    }
    line.ch('\n');
    serial::append_trace(file, buffer, line.size());
}

}  // namespace

void trace_event(tqrf_reader& reader, std::int32_t event, std::int32_t result,
                 const std::uint8_t* bytes, std::uint32_t count) {
    if (reader.trace == nullptr && reader.trace_file == nullptr) return;
    const std::uint64_t time = serial::now_us();
    if (count == 0) bytes = nullptr;
    if (reader.trace != nullptr) reader.trace(reader.trace_user, event, result, bytes, count, time);
    if (reader.trace_file != nullptr) {
        write_trace_line(reader.trace_file, event, result, bytes, count, time, reader.trace_keys);
    }
}

bool apply_reply_setting(tqrf_reader& reader, const char* text) {
    auto starts = [](const char* s, const char* prefix) {
        while (*prefix != '\0') {
            if (*s++ != *prefix++) return false;
        }
        return true;
    };
    if (text == nullptr) return false;
    if (starts(text, "fixed") && text[5] == '\0') {
        reader.reply_mode = TQRF_REPLY_FIXED;
        return true;
    }
    if (!starts(text, "complete")) return false;
    const char* rest = text + 8;
    std::uint32_t slack = 0;
    if (*rest == ':') {
        ++rest;
        if (*rest == '\0') return false;
        for (; *rest >= '0' && *rest <= '9'; ++rest) {
            slack = slack * 10 + static_cast<std::uint32_t>(*rest - '0');
            if (slack > REPLY_SLACK_MAX_MS) return false;
        }
    }
    if (*rest != '\0') return false;
    reader.reply_mode = TQRF_REPLY_COMPLETE;
    reader.slack_ms = slack;
    return true;
}

}  // namespace tqrf
