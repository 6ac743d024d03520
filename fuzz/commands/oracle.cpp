#include "fuzz/commands/oracle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/recording_serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf::fuzz::commands {

namespace {

using tqrf::testing::recorder;

// ---- The caller's buffers after a call, against their contents from before it ---------------

char hex_digit(unsigned v) {
    return "0123456789ABCDEF"[v & 0xF];
}

// `text` holds the hex of `bytes` from its first character.
bool holds_hex(const Buffer& text, std::size_t at, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (static_cast<char>(text[at + 2 * i]) != hex_digit(bytes[i] >> 4u)) return false;
        if (static_cast<char>(text[at + 2 * i + 1]) != hex_digit(bytes[i])) return false;
    }
    return true;
}

// `count` '*' from the start, everything after it as before.
bool star_filled(const Buffer& text, std::size_t count) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint8_t want = i < count ? std::uint8_t{'*'} : text.before()[i];
        if (text[i] != want) return false;
    }
    return true;
}

// Bytes from `from` on are as before.
bool unchanged_from(const Buffer& b, std::size_t from) {
    for (std::size_t i = from; i < b.size(); ++i) {
        if (b[i] != b.before()[i]) return false;
    }
    return true;
}

// Frame positions first.. copied to `out` where the frame has them; the rest as before.
bool holds_positions(const Buffer& out, const Bytes& frame, std::size_t first) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint8_t want = first + i < frame.size() ? frame[first + i] : out.before()[i];
        if (out[i] != want) return false;
    }
    return true;
}

// The data bytes (at most out.size()) from its start; the rest as before.
bool holds_data(const Buffer& out, const Bytes& frame) {
    const std::size_t data = frame.size() - 4;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint8_t want = i < data ? frame[2 + i] : out.before()[i];
        if (out[i] != want) return false;
    }
    return true;
}

// A field of `count` bytes from data byte `first` of a valid reply, as the find-and-select
// command writes it: hex of the bytes the reply carries, then one '*' per missing byte.
bool holds_reply_field(const Buffer& text, const Bytes& frame, std::size_t first,
                       std::size_t count) {
    const std::size_t data = frame.size() - 4;
    const std::size_t present = data > first ? (data - first < count ? data - first : count) : 0;
    if (!holds_hex(text, 0, frame.data() + 2 + first, present)) return false;
    for (std::size_t i = 0; i < count - present; ++i) {
        if (text[2 * present + i] != '*') return false;
    }
    return unchanged_from(text, 2 * present + (count - present));
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

bool is_command_result(int r) {
    return (r >= 0 && r <= 255) || r == ERR_SEND_FAILED || r == ERR_REPLY_CHECKSUM ||
           r == ERR_REPLY_FRAME;
}

}  // namespace

void check_legacy(Session& s, const LegacyCall& c, int r) {
    auto& rec = recorder();
    const LegacyExport& e = c.e;
    const LegacyArgs& args = c.args;
    const std::int32_t a1 = args.a1, a2 = args.a2, a3 = args.a3;
    const PlannedReply* replies = c.replies;
    const int exchanges = c.exchanges;
    const std::size_t wire_before = c.wire_before;
    Buffer& out = c.out;
    Buffer& t_type = c.t_type;
    Buffer& t_serial = c.t_serial;
    Buffer& t_size = c.t_size;
    const bool any_text_null =
        args.type_text == nullptr || args.serial_text == nullptr || args.size_text == nullptr;
    const bool text_out = e.writes == Writes::kCardAscText || e.writes == Writes::kCardAsc1Text;

    // ---- Calls that never reach the line --------------------------------------------------
    if (e.form == Form::kInit) {
        if (s.open) {
            FUZZ_CHECK(r == ERR_PORT_IN_USE || r == ERR_FAILED);
        } else {
            FUZZ_CHECK(r == 0 || r == ERR_PORT_OPEN_FAILED || r == ERR_FAILED);
            s.open = r == 0;
        }
        FUZZ_CHECK(rec.wire.size() == wire_before);
        return;
    }
    if (e.form == Form::kBaudSetup) {
        FUZZ_CHECK(r == (s.open ? r : ERR_PORT_NOT_OPEN));
        FUZZ_CHECK(r == 0 || r == ERR_FAILED || r == ERR_PORT_NOT_OPEN);
        FUZZ_CHECK(rec.wire.size() == wire_before);
        return;
    }
    if (e.form == Form::kTrailerCheck && (a3 & 0xFF) != (a2 & 0xFF) * 4 + 3) {
        FUZZ_CHECK(r == ERR_NOT_SECTOR_TRAILER);
        FUZZ_CHECK(rec.wire.size() == wire_before);
        return;
    }
    const bool all_untouched =
        out.untouched() && t_type.untouched() && t_serial.untouched() && t_size.untouched();
    if (!s.open) {
        FUZZ_CHECK(rec.wire.size() == wire_before);
        if ((e.traits & kTextIn) == kTextIn && args.in == nullptr) {
            FUZZ_CHECK(r == ERR_FAILED);
            return;
        }
        FUZZ_CHECK(r == ERR_PORT_NOT_OPEN);
        if (e.writes == Writes::kRdAscText && args.out != nullptr) {
            FUZZ_CHECK(star_filled(out, 16));
        } else if (e.writes == Writes::kCardAsc1Text && !any_text_null) {
            FUZZ_CHECK(star_filled(t_type, 2) && star_filled(t_serial, 4) &&
                       star_filled(t_size, 1));
        } else {
            FUZZ_CHECK(all_untouched);
        }
        return;
    }

    // Port open: a null pointer the export needs gives -1 with nothing sent.
    if (((e.traits & kOut) && args.out == nullptr) || ((e.traits & kIn) && args.in == nullptr) ||
        (text_out && any_text_null)) {
        FUZZ_CHECK(r == ERR_FAILED);
        FUZZ_CHECK(rec.wire.size() == wire_before);
        FUZZ_CHECK(all_untouched);
        return;
    }

    // ---- Calls that run exchanges: the result the line model gives -------------------------
    FUZZ_CHECK(is_command_result(r));
    const std::uint32_t wait =
        (e.traits & kBeeper) && (a1 & 0xFF) == 0
            ? ((a2 & 0xFF) > 240 ? 240u : static_cast<std::uint32_t>(a2 & 0xFF)) * 10 + kReplyWait
            : kReplyWait;
    Bytes frames[3];
    int results[3] = {0, 0, 0};
    int expected = 0;
    for (int k = 0; k < exchanges; ++k) {
        results[k] = s.line.exchange(&replies[k].bytes, replies[k].delay, wait, &frames[k]);
        expected = results[k];
        if (expected != 0) break;
    }
    if (r != expected && std::getenv("FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr, "%s: result %d, model %d (%d %d %d)\n", e.name, r, expected,
                     results[0], results[1], results[2]);
        for (int k = 0; k < exchanges; ++k) {
            std::fprintf(stderr, " reply %d (delay %u):", k, replies[k].delay);
            for (std::uint8_t b : replies[k].bytes) std::fprintf(stderr, " %02X", b);
            std::fprintf(stderr, "\n read:");
            for (std::uint8_t b : frames[k]) std::fprintf(stderr, " %02X", b);
            std::fprintf(stderr, "\n");
        }
        for (const auto& ev : recorder().events) std::fprintf(stderr, "  %s\n", ev.c_str());
    }
    FUZZ_CHECK(r == expected);
    FUZZ_CHECK(rec.now_ms == s.line.now);

    const Bytes& f = frames[0];
    switch (e.writes) {
        case Writes::kCardAsc1Text: {
            if (results[0] != 0) {
                FUZZ_CHECK(star_filled(t_type, 2) && star_filled(t_serial, 4) &&
                           star_filled(t_size, 1));
                return;
            }
            FUZZ_CHECK(holds_hex(t_type, 0, frames[0].data() + 2, 2));
            if (results[1] != 0) {
                FUZZ_CHECK(star_filled(t_serial, 4) && star_filled(t_size, 1));
                return;
            }
            // The serial number text: hex of what the anticollision reply carried.
            const std::size_t carried = frames[1].size() - 2 < 4 ? frames[1].size() - 2 : 4;
            FUZZ_CHECK(holds_hex(t_serial, 0, frames[1].data() + 2, carried));
            // Serial number bytes the reply does not carry count as 0.
            for (std::size_t i = 2 * carried; i < 8; ++i) FUZZ_CHECK(t_serial[i] == '0');
            if (results[2] != 0) {
                FUZZ_CHECK(star_filled(t_size, 1));
                return;
            }
            FUZZ_CHECK(holds_hex(t_size, 0, frames[2].data() + 2, 1));
            return;
        }
        case Writes::kCardAscText:
            if (r == ERR_REPLY_FRAME || r == ERR_REPLY_CHECKSUM) {
                FUZZ_CHECK(star_filled(t_type, 2) && star_filled(t_serial, 4) &&
                           star_filled(t_size, 1));
            } else if (r < 0) {
                FUZZ_CHECK(all_untouched);
            } else {
                FUZZ_CHECK(holds_reply_field(t_type, f, 0, 2));
                FUZZ_CHECK(holds_reply_field(t_size, f, 2, 1));
                FUZZ_CHECK(holds_reply_field(t_serial, f, 3, 4));
            }
            return;
        case Writes::kRdAscText:
            if (r != 0) {
                FUZZ_CHECK(star_filled(out, 16));
                return;
            }
            // Hex of the data bytes the reply carries (at most 16), then one '*' per missing
            // byte.
            FUZZ_CHECK(holds_reply_field(out, f, 0, 16));
            return;
        default:
            break;
    }
    if (r < 0) {
        FUZZ_CHECK(all_untouched);
        return;
    }
    switch (e.writes) {
        case Writes::kPositions:
            FUZZ_CHECK(holds_positions(out, f, 2));
            break;
        case Writes::kData:
            FUZZ_CHECK(holds_data(out, f));
            break;
        case Writes::kValue:
            if (f.size() - 4 >= 4) {
                FUZZ_CHECK(le32(out.data()) == le32(f.data() + 2));
            } else {
                FUZZ_CHECK(out.untouched());
            }
            break;
        case Writes::kId: {
            std::uint32_t id = 0;
            for (std::size_t k = 0; k + 4 < f.size(); ++k) {
                id += std::uint32_t{f[2 + k]} << (8 * (k % 4));
            }
            FUZZ_CHECK(le32(out.data()) == id);
            break;
        }
        default:
            FUZZ_CHECK(out.untouched());
            break;
    }
}

void check_handle(HandleSession& s, const HandleCall& c, int result) {
    auto& rec = recorder();
    const HandleExport& e = c.e;
    const HandleArgs& args = c.args;
    const std::int32_t a1 = args.a1, a2 = args.a2;
    const std::uint32_t capacity = args.capacity;
    const PlannedReply& reply = c.reply;
    Buffer& type = c.type;
    Buffer& serial = c.serial;
    Buffer& size = c.size;
    Buffer& block = c.block;
    Buffer& val = c.val;
    Buffer& var = c.var;
    Buffer& length = c.length;

    // What the call needs: its arguments' check, its wait, the data count of its reply.
    const bool ok = e.ok(args);
    const std::uint32_t wait = (e.traits & kBeeper) && ok && a1 == 0
                                   ? static_cast<std::uint32_t>(a2) * 10 + kReplyWait
                                   : kReplyWait;
    auto untouched = [&] {
        for (Buffer* b : {&type, &serial, &size, &block, &val, &var, &length}) {
            if (!b->untouched()) return false;
        }
        return true;
    };
    if (!ok) {
        FUZZ_CHECK(result == ERR_BAD_ARGUMENT);
        FUZZ_CHECK(untouched());
        FUZZ_CHECK(rec.now_ms == s.line.now);
        return;
    }

    // The settle a failure left, then the exchange.
    const std::uint32_t slack = s.complete ? s.slack : 0;
    if (s.settle) {
        s.settle = false;
        s.line.settle(s.line.now + wait + slack);
    }
    Bytes f;
    bool leftover = false;
    int expected = s.line.exchange(reply, wait, s.complete, slack, &f, &leftover);
    const std::size_t data = f.size() >= 4 ? f.size() - 4 : 0;
    if (expected == 0 && (data < e.min_data || data > e.max_data)) expected = ERR_REPLY_LENGTH;
    if (expected == 0 && e.writes == HandleWrites::kVariable && data > capacity) {
        expected = ERR_BUFFER_TOO_SMALL;
    }
    // Bytes behind a complete frame, a failed exchange or a reply of the wrong length: a reply
    // may still be on its way.
    if (expected == ERR_REPLY_FRAME || expected == ERR_REPLY_CHECKSUM ||
        expected == ERR_REPLY_LENGTH || leftover) {
        s.settle = true;
    }
    if ((result != expected || rec.now_ms != s.line.now) && std::getenv("FUZZ_TRACE") != nullptr) {
        std::fprintf(stderr,
                     "%s: result %d, model %d, complete %d slack %u, time %llu, model %llu\n",
                     e.name, result, expected, int{s.complete}, s.slack,
                     static_cast<unsigned long long>(rec.now_ms),
                     static_cast<unsigned long long>(s.line.now));
        for (const auto& ev : recorder().events) std::fprintf(stderr, "  %s\n", ev.c_str());
    }
    FUZZ_CHECK(result == expected);
    FUZZ_CHECK(rec.now_ms == s.line.now);

    // Outputs: written only on 0, and then exactly the reply's data; a too-small buffer gets
    // only the length.
    if (result == ERR_BUFFER_TOO_SMALL) {
        FUZZ_CHECK(le32(length.data()) == data);
        FUZZ_CHECK(var.untouched());
        return;
    }
    if (result != 0) {
        FUZZ_CHECK(untouched());
        return;
    }
    const std::uint8_t* d = f.data() + 2;
    switch (e.writes) {
        case HandleWrites::kType:
            FUZZ_CHECK(std::memcmp(type.data(), d, 2) == 0);
            break;
        case HandleWrites::kSerial:
            FUZZ_CHECK(std::memcmp(serial.data(), d, 4) == 0);
            break;
        case HandleWrites::kSize:
            FUZZ_CHECK(size[0] == d[0]);
            break;
        case HandleWrites::kFind:
            FUZZ_CHECK(std::memcmp(type.data(), d, 2) == 0 && size[0] == d[2] &&
                       std::memcmp(serial.data(), d + 3, 4) == 0);
            break;
        case HandleWrites::kBlock:
            FUZZ_CHECK(std::memcmp(block.data(), d, 16) == 0);
            break;
        case HandleWrites::kValue:
            FUZZ_CHECK(le32(val.data()) == le32(d));
            break;
        case HandleWrites::kId: {
            std::uint32_t id = 0;
            for (std::size_t k = 0; k < data; ++k) id |= std::uint32_t{d[k]} << (8 * k);
            FUZZ_CHECK(le32(val.data()) == id);
            break;
        }
        case HandleWrites::kVariable:
            FUZZ_CHECK(le32(length.data()) == data);
            FUZZ_CHECK(data == 0 || std::memcmp(var.data(), d, data) == 0);
            FUZZ_CHECK(unchanged_from(var, data));
            break;
        case HandleWrites::kNothing:
            FUZZ_CHECK(untouched());
            break;
    }
}

}  // namespace tqrf::fuzz::commands
