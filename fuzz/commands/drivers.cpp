// Every exported function, driven through the recording serial double: arbitrary arguments,
// arbitrary reply bytes arriving after an arbitrary delay, noise before and during the wait,
// short writes, null pointers and a closed port. Each caller buffer is an exact-size heap
// allocation at its documented size, so AddressSanitizer reports any byte read or written past
// it. The target keeps its own model of the line, works out what each call must return and
// what it may write, and stops on any difference.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tests/support/recording_serial.h"
#include "tq_RWD_DLL.h"
#include "tqrf_sim/frame.h"

namespace {

using tqrf::fuzz::Buffer;
using tqrf::fuzz::Input;
using tqrf::testing::recorder;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kReplyReadMax = 105;
constexpr std::uint32_t kReplyWait = 40;

// ---- A model of the line as the recording double plays it -----------------------------------

struct Arrival {
    std::uint64_t at;
    Bytes bytes;
};

// Short writes as the double plays them: the write after `short_write_countdown` whole ones
// is cut short (-1: none is).
struct ShortWrites {
    int short_write_countdown = -1;

    bool write_whole() {
        if (short_write_countdown == 0) {
            short_write_countdown = -1;
            return false;
        }
        if (short_write_countdown > 0) --short_write_countdown;
        return true;
    }
};

struct LineModel : ShortWrites {
    std::uint64_t now = 0;
    std::vector<Arrival> in_flight;

    // One exchange: purge, address byte, 1 ms, frame, the reader's reply `delay` ms after the
    // frame, the wait, one read. Returns the transaction's result and the bytes read.
    int exchange(const Bytes* reply, std::uint32_t delay, std::uint32_t wait, Bytes* read) {
        read->clear();
        // The purge drops everything that has arrived by now.
        std::erase_if(in_flight, [&](const Arrival& a) { return a.at <= now; });
        if (!write_whole()) return ERR_SEND_FAILED;
        now += 1;
        if (!write_whole()) return ERR_SEND_FAILED;
        if (reply != nullptr) in_flight.push_back({now + delay, *reply});
        now += wait;
        for (auto it = in_flight.begin(); it != in_flight.end();) {
            if (it->at <= now) {
                read->insert(read->end(), it->bytes.begin(), it->bytes.end());
                it = in_flight.erase(it);
            } else {
                ++it;
            }
        }
        // One read of at most 105 bytes; the rest goes at the next purge.
        if (read->size() > kReplyReadMax) read->resize(kReplyReadMax);
        if (read->size() < 4) return ERR_REPLY_FRAME;
        if (read->size() != (std::size_t{(*read)[0]} << 8 | (*read)[1]) + 3) return ERR_REPLY_FRAME;
        if (tqrf_sim::xor_of(*read) != 0) return ERR_REPLY_CHECKSUM;
        return (*read)[read->size() - 2];
    }
};

// A valid reply frame of `payload`.
Bytes frame_of(const Bytes& payload) {
    return tqrf::testing::reply_frame(payload);
}

// Reply bytes chosen by the input: a valid frame, a damaged one, raw bytes, or nothing (a
// reader that does not answer).
struct PlannedReply {
    Bytes bytes;
    std::uint32_t delay = 0;
};

PlannedReply plan_reply(Input& in) {
    PlannedReply r;
    const std::uint8_t shape = in.byte();
    const std::uint8_t d = in.byte();
    // Mostly well within the wait; sometimes around it or far beyond.
    r.delay = d < 192 ? d % 48 : std::uint32_t{d - 192u} * 8;
    switch (shape % 5) {
        case 0:
            return r;  // the reader does not answer
        case 1:
            r.bytes = in.bytes(in.byte() % 120);  // noise
            break;
        case 2:
        case 3: {
            r.bytes = frame_of(in.bytes(in.byte() % 104));
            break;
        }
        default: {
            r.bytes = frame_of(in.bytes(in.byte() % 104));
            const std::uint8_t how = in.byte();
            const std::size_t at = in.byte() % r.bytes.size();
            switch (how % 3) {
                case 0:
                    r.bytes[at] ^= static_cast<std::uint8_t>(in.byte() | 1);
                    break;
                case 1:
                    r.bytes.resize(at);
                    break;
                default: {
                    const Bytes tail = in.bytes(in.byte() % 8 + 1);
                    r.bytes.insert(r.bytes.end(), tail.begin(), tail.end());
                    break;
                }
            }
            break;
        }
    }
    return r;
}

// ---- Expected outputs ------------------------------------------------------------------------

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

// ---- The legacy exports, one row each ---------------------------------------------------------

// The caller's arguments as the target hands them to an export.
struct LegacyArgs {
    std::int32_t a1, a2, a3;
    std::uint8_t* out;       // the output buffer (null now and then)
    const std::uint8_t* in;  // the input buffer (null now and then)
    char* type_text;         // the three text fields of the card functions
    char* serial_text;
    char* size_text;
    char* str;  // rate text or port name
};

// What an export writes into its outputs from a valid reply.
enum class Writes : std::uint8_t {
    kNothing,
    kPositions,     // reply frame positions 2 onward, those the frame has
    kData,          // the data bytes, at most the buffer's size
    kValue,         // four data bytes, least significant first; fewer leave it as it was
    kId,            // the identity number assembly
    kCardAscText,   // type, size and serial number fields of a find, as hex text
    kCardAsc1Text,  // the texts of request, anticollision and select, one exchange each
    kRdAscText,     // the block as hex text
};

// Exports that do not run one plain command exchange.
enum class Form : std::uint8_t {
    kCommand,
    kInit,          // opens the port
    kBaudSetup,     // changes the rate, no exchange
    kTrailerCheck,  // refuses a block that is not its sector's trailer before anything else
};

// What else an export needs or does.
enum Traits : std::uint8_t {
    kPlain = 0,
    kOut = 1,         // a null output gives ERR_FAILED
    kIn = 2,          // a null input gives ERR_FAILED
    kTextIn = 4 | 2,  // its input is hex text, refused when null before the port check
    kBeeper = 8,      // mode 0 waits for the beep as well
};

struct LegacyExport {
    const char* name;
    std::size_t out_size;  // the documented size of its output buffer (1 where it has none)
    std::size_t in_size;   // the documented size of its input buffer (1 where it has none)
    int traits;
    Writes writes;
    Form form;
    int (*call)(const LegacyArgs&);
};

std::uint32_t* word(const LegacyArgs& a) {
    return reinterpret_cast<std::uint32_t*>(a.out);
}
const char* text(const LegacyArgs& a) {
    return reinterpret_cast<const char*>(a.in);
}
std::uint32_t u(std::int32_t v) {
    return static_cast<std::uint32_t>(v);
}

using A = const LegacyArgs&;
// The order is the corpus's: the first input byte of a call picks a row by its position.
// clang-format off
const LegacyExport kLegacy[] = {
//   name, output and input buffer sizes, traits, what it writes, form, the call
    {"tqrf_request", 2, 1, kOut, Writes::kPositions, Form::kCommand, [](A a) { return tqrf_request(a.a1, a.out); }},
    {"tqrf_request_2", 2, 1, kOut, Writes::kPositions, Form::kCommand, [](A a) { return tqrf_request_2(a.a1, a.out); }},
    {"tqrf_anticoll", 4, 1, kOut, Writes::kPositions, Form::kCommand, [](A a) { return tqrf_anticoll(a.a1, a.out); }},
    {"tqrf_select", 1, 4, kOut | kIn, Writes::kPositions, Form::kCommand, [](A a) { return tqrf_select(a.in, a.out); }},
    {"tqrf_halt", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A) { return tqrf_halt(); }},
    {"tqrf_loadkey", 1, 6, kIn, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_loadkey(a.a1, a.a2, a.in); }},
    {"tqrf_authentication", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_authentication(a.a1, a.a2); }},
    {"tqrf_authentication_2", 1, 1, kPlain, Writes::kNothing, Form::kTrailerCheck, [](A a) { return tqrf_authentication_2(a.a1, a.a2, a.a3); }},
    {"tqrf_read", 16, 1, kOut, Writes::kData, Form::kCommand, [](A a) { return tqrf_read(a.a1, a.out); }},
    {"tqrf_write", 1, 16, kIn, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_write(a.a1, a.in); }},
    {"tqrf_initval", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_initval(a.a1, u(a.a2)); }},
    {"tqrf_readval", 4, 1, kOut, Writes::kValue, Form::kCommand, [](A a) { return tqrf_readval(a.a1, word(a)); }},
    {"tqrf_increment", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_increment(a.a1, u(a.a2)); }},
    {"tqrf_decrement", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_decrement(a.a1, u(a.a2)); }},
    {"tqrf_restore", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_restore(a.a1); }},
    {"tqrf_transfer", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_transfer(a.a1); }},
    {"tqrf_reset", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_reset(a.a1); }},
    {"tqrf_ReadHardwareVersionNumber", 101, 1, kOut, Writes::kData, Form::kCommand, [](A a) { return tqrf_ReadHardwareVersionNumber(a.out); }},
    {"tqrf_Read_RWD_ID", 4, 1, kOut, Writes::kId, Form::kCommand, [](A a) { return tqrf_Read_RWD_ID(word(a)); }},
    {"tqrf_Read_RC500E2", 101, 1, kOut, Writes::kData, Form::kCommand, [](A a) { return tqrf_Read_RC500E2(a.a1, a.out); }},
    {"tqrf_Write_RC500E2", 1, 16, kIn, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_Write_RC500E2(a.a1, a.in); }},
    {"tqrf_Link_PCandRWD", 1, 1, kPlain, Writes::kNothing, Form::kCommand, [](A) { return tqrf_Link_PCandRWD(); }},
    {"tqrf_BeepControl", 1, 1, kBeeper, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_BeepControl(a.a1, a.a2); }},
    {"tqrf_UploadRTC", 101, 1, kOut, Writes::kData, Form::kCommand, [](A a) { return tqrf_UploadRTC(a.out); }},
    {"tqrf_DownloadRTC", 1, 7, kIn, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_DownloadRTC(a.in); }},
    {"tqrf_loadkey_asc", 1, 12, kTextIn, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_loadkey_asc(a.a1, a.a2, text(a)); }},
    {"tqrf_card_asc_1", 1, 1, kPlain, Writes::kCardAsc1Text, Form::kCommand, [](A a) { return tqrf_card_asc_1(a.a1, a.a2, a.type_text, a.serial_text, a.size_text); }},
    {"tqrf_card_asc", 1, 1, kPlain, Writes::kCardAscText, Form::kCommand, [](A a) { return tqrf_card_asc(a.a1, a.a2, a.type_text, a.serial_text, a.size_text); }},
    {"tqrf_rd_asc", 32, 1, kOut, Writes::kRdAscText, Form::kCommand, [](A a) { return tqrf_rd_asc(a.a1, reinterpret_cast<char*>(a.out)); }},
    {"tqrf_wr_asc", 1, 32, kTextIn, Writes::kNothing, Form::kCommand, [](A a) { return tqrf_wr_asc(a.a1, text(a)); }},
    {"tqrf_BaudSetup", 1, 1, kPlain, Writes::kNothing, Form::kBaudSetup, [](A a) { return tqrf_BaudSetup(a.str); }},
    {"tqrf_init", 1, 1, kPlain, Writes::kNothing, Form::kInit, [](A a) { return tqrf_init(a.str); }},
};
// clang-format on
constexpr std::size_t kLegacyCount = sizeof kLegacy / sizeof kLegacy[0];

struct Session {
    LineModel line;
    bool open = false;
};

void call_one(Session& s, Input& in) {
    auto& rec = recorder();
    const LegacyExport& e = kLegacy[in.byte() % kLegacyCount];
    const std::uint8_t null_mask = in.byte();
    // A null pointer now and then: bit 7 of the mask enables the others.
    auto null_at = [&](int k) { return (null_mask & 0x80) != 0 && (null_mask & (1u << k)) != 0; };

    const std::int32_t a1 = in.i32();
    const std::int32_t a2 = in.i32();
    const std::int32_t a3 = in.i32();

    // Stale bytes in the input queue and noise arriving during the wait.
    const std::uint8_t extras = in.byte();
    if (extras & 0x01) rec.arrive_now(in.bytes(in.byte() % 12));
    if (extras & 0x02) {
        Arrival a{rec.now_ms + 1 + in.byte() % 64, in.bytes(in.byte() % 12 + 1)};
        rec.in_flight.push_back({a.at, a.bytes});
        s.line.in_flight.push_back(std::move(a));
    }

    // Up to three replies (the card_asc_1 sequence runs three exchanges).
    PlannedReply replies[3];
    const int exchanges = e.writes == Writes::kCardAsc1Text ? 3 : 1;
    for (int i = 0; i < exchanges; ++i) {
        replies[i] = plan_reply(in);
        // A reader that does not answer still takes its place in the script: nothing arrives.
        rec.script_reply(replies[i].bytes, replies[i].delay);
    }

    // The caller's buffers, exact size, filled from the input.
    Buffer out(e.out_size);
    Buffer input(e.in_size);
    Buffer t_type(4), t_serial(8), t_size(2);
    for (Buffer* b : {&out, &input, &t_type, &t_serial, &t_size}) {
        b->fill_from(in);
        b->take_snapshot();
    }
    // Rate text and port name: NUL-terminated strings of their exact length.
    const Bytes text_bytes = in.bytes(in.byte() % 48);
    Buffer str(text_bytes.size() + 1);
    for (std::size_t i = 0; i < text_bytes.size(); ++i) {
        str.data()[i] = text_bytes[i] == 0 ? '1' : text_bytes[i];
    }
    str.data()[text_bytes.size()] = 0;

    const LegacyArgs args{a1,
                          a2,
                          a3,
                          null_at(0) ? nullptr : out.data(),
                          null_at(1) ? nullptr : input.data(),
                          null_at(2) ? nullptr : t_type.text(),
                          null_at(3) ? nullptr : t_serial.text(),
                          null_at(4) ? nullptr : t_size.text(),
                          null_at(5) ? nullptr : str.text()};
    const bool any_text_null =
        args.type_text == nullptr || args.serial_text == nullptr || args.size_text == nullptr;
    const bool text_out = e.writes == Writes::kCardAscText || e.writes == Writes::kCardAsc1Text;

    const std::size_t wire_before = rec.wire.size();
    const int r = e.call(args);
    rec.scripted.clear();  // replies a failed send never asked for

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

// ---- The handle API ---------------------------------------------------------------------------
//
// A model of the double's line in full: bytes that have arrived and wait in the input queue,
// and bytes still in flight, delivered in the order the double delivers them. It predicts the
// reply each exchange takes in fixed and in complete mode, the settle after a failure, and the
// virtual time every call ends at.

struct FullLine : ShortWrites {
    std::uint64_t now = 0;
    std::vector<Arrival> in_flight;
    Bytes input;

    void deliver() {
        for (auto it = in_flight.begin(); it != in_flight.end();) {
            if (it->at <= now) {
                input.insert(input.end(), it->bytes.begin(), it->bytes.end());
                it = in_flight.erase(it);
            } else {
                ++it;
            }
        }
    }
    void purge() {
        deliver();
        input.clear();
    }
    // The earliest arrival time, or none.
    bool next_arrival(std::uint64_t* at) const {
        bool any = false;
        for (const Arrival& a : in_flight) {
            if (!any || a.at < *at) *at = a.at;
            any = true;
        }
        return any;
    }
    // A wait for received bytes of at most `ms`: true when bytes are there.
    bool wait(std::uint64_t ms) {
        deliver();
        if (!input.empty()) return true;
        std::uint64_t until = now + ms;
        std::uint64_t next = 0;
        if (next_arrival(&next) && next < until) until = next;
        now = until;
        deliver();
        return !input.empty();
    }
    Bytes take(std::size_t max) {
        deliver();
        const std::size_t n = input.size() < max ? input.size() : max;
        Bytes b(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
        input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
        return b;
    }

    // Waits for 20 quiet ms, dropping what comes, until `deadline` at the latest; then purges.
    void settle(std::uint64_t deadline) {
        while (now < deadline) {
            const std::uint64_t w = deadline - now < 20 ? deadline - now : 20;
            if (!wait(w)) break;
            purge();
        }
        purge();
    }

    static int verdict(const Bytes& f) {
        if (f.size() < 4) return ERR_REPLY_FRAME;
        if (f.size() != (std::size_t{f[0]} << 8 | f[1]) + 3) return ERR_REPLY_FRAME;
        return tqrf_sim::xor_of(f) != 0 ? ERR_REPLY_CHECKSUM : 0;
    }

    // One exchange; `read` receives the bytes taken as the reply. `leftover` tells whether
    // bytes wait behind a complete frame.
    int exchange(const PlannedReply& reply, std::uint32_t wait_ms, bool complete,
                 std::uint32_t slack, Bytes* read, bool* leftover) {
        read->clear();
        *leftover = false;
        purge();
        if (!write_whole()) return ERR_SEND_FAILED;
        now += 1;
        if (!write_whole()) return ERR_SEND_FAILED;
        if (!reply.bytes.empty()) in_flight.push_back({now + reply.delay, reply.bytes});
        if (!complete) {
            now += wait_ms;
            *read = take(kReplyReadMax);
            const int v = verdict(*read);
            return v != 0 ? v : (*read)[read->size() - 2];
        }
        const std::uint64_t deadline = now + wait_ms + slack;
        std::size_t need = 2;
        for (;;) {
            deliver();
            if (!input.empty()) {
                const Bytes got = take(need - read->size());
                read->insert(read->end(), got.begin(), got.end());
                if (need == 2 && read->size() == 2) {
                    const std::size_t size = (std::size_t{(*read)[0]} << 8 | (*read)[1]) + 3;
                    if (size < 4 || size > kReplyReadMax) return ERR_REPLY_FRAME;
                    need = size;
                }
                if (read->size() == need && need > 2) break;
                continue;
            }
            if (now >= deadline) return ERR_REPLY_FRAME;
            (void)wait(deadline - now);
        }
        const int v = verdict(*read);
        if (v != 0) return v;
        deliver();
        *leftover = !input.empty();
        return (*read)[read->size() - 2];
    }
};

struct HandleSession {
    tqrf_reader* reader = nullptr;
    FullLine line;
    bool complete = true;
    std::uint32_t slack = 0;
    bool settle = false;
};

bool flag_ok(std::int32_t v) {
    return v == 0 || v == 1;
}
bool in(std::int32_t v, std::int32_t lo, std::int32_t hi) {
    return v >= lo && v <= hi;
}

// ---- The handle exports, one row each -----------------------------------------------------------

// The caller's arguments as the target hands them to a handle export.
struct HandleArgs {
    tqrf_reader* r;
    std::int32_t a1, a2;
    std::uint32_t value, capacity;
    std::uint8_t *type, *serial, *size, *block;
    std::uint32_t* val;
    std::uint8_t* var;  // a variable-length output of `capacity` bytes
    std::uint32_t* length;
    const std::uint8_t* in;
};

// What a handle export writes from a status-0 reply of the right length.
enum class HandleWrites : std::uint8_t {
    kNothing,
    kType,      // two data bytes
    kSerial,    // four data bytes
    kSize,      // one data byte
    kFind,      // type, size and serial number
    kBlock,     // sixteen data bytes
    kValue,     // four data bytes, least significant first
    kId,        // one to four data bytes, least significant first
    kVariable,  // every data byte, with their count, when they fit `capacity`
};

struct HandleExport {
    const char* name;
    std::int32_t a1_range;  // the target picks the numbers mostly below these
    std::int32_t a2_range;
    std::size_t min_data;  // data bytes a status-0 reply must carry
    std::size_t max_data;
    HandleWrites writes;
    int traits;                     // kBeeper, or kOption: not a command, an option
    bool (*ok)(const HandleArgs&);  // the arguments the API accepts
    int (*call)(const HandleArgs&);
};

constexpr int kOption = 16;
bool any(const HandleArgs&) {
    return true;
}

std::uint8_t* var_or_null(const HandleArgs& a) {
    return a.capacity == 0 ? nullptr : a.var;
}
bool fits(const HandleArgs& a) {
    return a.length != nullptr && (a.var != nullptr || a.capacity == 0);
}

using H = const HandleArgs&;
// The order is the corpus's: the first input byte of a call picks a row by its position.
// clang-format off
const HandleExport kHandle[] = {
//   name, ranges of the two numbers, data bytes of a status-0 reply, what it writes, traits,
//   the arguments it accepts, the call
    {"tqrf_reader_request", 2, 64, 2, 2, HandleWrites::kType, kPlain, [](H a) { return flag_ok(a.a1) && a.type; }, [](H a) { return tqrf_reader_request(a.r, a.a1, a.type); }},
    {"tqrf_reader_anticoll", 256, 64, 4, 4, HandleWrites::kSerial, kPlain, [](H a) { return in(a.a1, 0, 255) && a.serial; }, [](H a) { return tqrf_reader_anticoll(a.r, a.a1, a.serial); }},
    {"tqrf_reader_select", 2, 64, 1, 1, HandleWrites::kSize, kPlain, [](H a) { return a.in && a.size; }, [](H a) { return tqrf_reader_select(a.r, a.in, a.size); }},
    {"tqrf_reader_find", 2, 64, 7, 7, HandleWrites::kFind, kPlain, [](H a) { return flag_ok(a.a1) && a.type && a.serial && a.size; }, [](H a) { return tqrf_reader_find(a.r, a.a1, a.type, a.serial, a.size); }},
    {"tqrf_reader_halt", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, any, [](H a) { return tqrf_reader_halt(a.r); }},
    {"tqrf_reader_loadkey", 2, 16, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return flag_ok(a.a1) && in(a.a2, 0, 15) && a.in; }, [](H a) { return tqrf_reader_loadkey(a.r, a.a1, a.a2, a.in); }},
    {"tqrf_reader_authenticate", 2, 16, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return flag_ok(a.a1) && in(a.a2, 0, 15); }, [](H a) { return tqrf_reader_authenticate(a.r, a.a1, a.a2); }},
    {"tqrf_reader_read", 2, 64, 16, 16, HandleWrites::kBlock, kPlain, [](H a) { return in(a.a2, 0, 63) && a.block; }, [](H a) { return tqrf_reader_read(a.r, a.a2, a.block); }},
    {"tqrf_reader_write", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 63) && a.in; }, [](H a) { return tqrf_reader_write(a.r, a.a2, a.in); }},
    {"tqrf_reader_initval", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 63); }, [](H a) { return tqrf_reader_initval(a.r, a.a2, a.value); }},
    {"tqrf_reader_readval", 2, 64, 4, 4, HandleWrites::kValue, kPlain, [](H a) { return in(a.a2, 0, 63) && a.val; }, [](H a) { return tqrf_reader_readval(a.r, a.a2, a.val); }},
    {"tqrf_reader_increment", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 63); }, [](H a) { return tqrf_reader_increment(a.r, a.a2, a.value); }},
    {"tqrf_reader_decrement", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 63); }, [](H a) { return tqrf_reader_decrement(a.r, a.a2, a.value); }},
    {"tqrf_reader_restore", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 63); }, [](H a) { return tqrf_reader_restore(a.r, a.a2); }},
    {"tqrf_reader_transfer", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 63); }, [](H a) { return tqrf_reader_transfer(a.r, a.a2); }},
    {"tqrf_reader_reset", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, any, [](H a) { return tqrf_reader_reset(a.r); }},
    {"tqrf_reader_hardware_version", 2, 64, 0, 101, HandleWrites::kVariable, kPlain, fits, [](H a) { return tqrf_reader_hardware_version(a.r, var_or_null(a), a.capacity, a.length); }},
    {"tqrf_reader_id", 2, 64, 1, 4, HandleWrites::kId, kPlain, [](H a) { return a.val != nullptr; }, [](H a) { return tqrf_reader_id(a.r, a.val); }},
    {"tqrf_reader_e2_read", 256, 64, 0, 101, HandleWrites::kVariable, kPlain, [](H a) { return in(a.a1, 0, 255) && fits(a); }, [](H a) { return tqrf_reader_e2_read(a.r, a.a1, var_or_null(a), a.capacity, a.length); }},
    {"tqrf_reader_e2_write", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return in(a.a2, 0, 127) && a.in; }, [](H a) { return tqrf_reader_e2_write(a.r, a.a2, a.in); }},
    {"tqrf_reader_link_test", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, any, [](H a) { return tqrf_reader_link_test(a.r); }},
    {"tqrf_reader_beep", 256, 241, 0, 0, HandleWrites::kNothing, kBeeper, [](H a) { return in(a.a1, 0, 255) && in(a.a2, 0, 240); }, [](H a) { return tqrf_reader_beep(a.r, a.a1, a.a2); }},
    {"tqrf_reader_clock_read", 2, 64, 0, 101, HandleWrites::kVariable, kPlain, fits, [](H a) { return tqrf_reader_clock_read(a.r, var_or_null(a), a.capacity, a.length); }},
    {"tqrf_reader_clock_set", 2, 64, 0, 0, HandleWrites::kNothing, kPlain, [](H a) { return a.in != nullptr; }, [](H a) { return tqrf_reader_clock_set(a.r, a.in); }},
    {"tqrf_reader_set_option", 2, 64, 0, 0, HandleWrites::kNothing, kOption, any, nullptr},
};
// clang-format on
constexpr std::size_t kHandleCount = sizeof kHandle / sizeof kHandle[0];

void call_handle(HandleSession& s, Input& in_) {
    auto& rec = recorder();
    const HandleExport& e = kHandle[in_.byte() % kHandleCount];
    const std::uint8_t null_mask = in_.byte();
    auto null_at = [&](int k) { return (null_mask & 0x80) != 0 && (null_mask & (1u << k)) != 0; };
    // Arguments: mostly in range, sometimes anything.
    auto arg = [&](std::int32_t range) {
        const std::uint8_t how = in_.byte();
        return how < 224 ? static_cast<std::int32_t>(in_.byte()) % range : in_.i32();
    };
    const std::int32_t a1 = arg(e.a1_range);
    const std::int32_t a2 = arg(e.a2_range);
    const std::uint32_t value = in_.u32();
    const std::uint32_t capacity = in_.byte() % 110;

    const std::uint8_t extras = in_.byte();
    if (extras & 0x01) {
        const Bytes stale = in_.bytes(in_.byte() % 12);
        rec.arrive_now(stale);
        s.line.input.insert(s.line.input.end(), stale.begin(), stale.end());
    }
    if (extras & 0x02) {
        Arrival a{s.line.now + 1 + in_.byte() % 64, in_.bytes(in_.byte() % 12 + 1)};
        rec.in_flight.push_back({a.at, a.bytes});
        s.line.in_flight.push_back(std::move(a));
    }
    const PlannedReply reply = plan_reply(in_);
    rec.script_reply(reply.bytes, reply.delay);

    // Exact-size buffers.
    Buffer type(2), serial(4), size(1), block(16), val(4), var(capacity == 0 ? 1 : capacity),
        length(4), input(16);
    for (Buffer* b : {&type, &serial, &size, &block, &val, &var, &length, &input}) {
        b->fill_from(in_);
        b->take_snapshot();
    }
    const HandleArgs args{
        s.reader,
        a1,
        a2,
        value,
        capacity,
        null_at(0) ? nullptr : type.data(),
        null_at(1) ? nullptr : serial.data(),
        null_at(2) ? nullptr : size.data(),
        null_at(3) ? nullptr : block.data(),
        null_at(4) ? nullptr : reinterpret_cast<std::uint32_t*>(val.data()),
        null_at(5) ? nullptr : var.data(),
        null_at(6) ? nullptr : reinterpret_cast<std::uint32_t*>(length.data()),
        null_at(1) ? nullptr : input.data(),
    };

    if (e.traits & kOption) {
        const std::int32_t option = a1 == 0 ? TQRF_OPTION_REPLY_MODE : TQRF_OPTION_REPLY_SLACK_MS;
        const std::int32_t v = static_cast<std::int32_t>(value % 1100) - 50;
        const bool good = option == TQRF_OPTION_REPLY_MODE ? (v == 0 || v == 1) : in(v, 0, 1000);
        const int result = tqrf_reader_set_option(s.reader, option, v);
        FUZZ_CHECK(result == (good ? 0 : ERR_BAD_ARGUMENT));
        if (good && option == TQRF_OPTION_REPLY_MODE) s.complete = v == TQRF_REPLY_COMPLETE;
        if (good && option == TQRF_OPTION_REPLY_SLACK_MS) s.slack = static_cast<std::uint32_t>(v);
        rec.scripted.clear();
        return;
    }

    // What the call needs: its arguments' check, its wait, the data count of its reply.
    const bool ok = e.ok(args);
    const std::uint32_t wait = (e.traits & kBeeper) && ok && a1 == 0
                                   ? static_cast<std::uint32_t>(a2) * 10 + kReplyWait
                                   : kReplyWait;
    const int result = e.call(args);
    rec.scripted.clear();
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

void run_handle_session(Input& in_, std::uint8_t flags) {
    auto& rec = recorder();
    HandleSession s;
    FUZZ_CHECK(tqrf_reader_open("/dev/reader", &s.reader) == 0);
    if (flags & 0x08) {
        rec.short_write_countdown = in_.byte() % 8;
        s.line.short_write_countdown = rec.short_write_countdown;
    }
    if (flags & 0x20) {
        FUZZ_CHECK(tqrf_reader_set_option(s.reader, TQRF_OPTION_REPLY_MODE, TQRF_REPLY_FIXED) == 0);
        s.complete = false;
    }
    s.line.now = rec.now_ms;
    for (int calls = 0; calls < 8 && !in_.empty(); ++calls) call_handle(s, in_);
    FUZZ_CHECK(tqrf_reader_close(s.reader) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    auto& rec = recorder();
    tqrf_exit();
    rec.reset();

    const std::uint8_t flags = in.byte();
    if ((flags & 0x10) != 0) {
        run_handle_session(in, flags);
        return 0;
    }
    Session s;
    if ((flags & 0x07) != 0) {
        FUZZ_CHECK(tqrf_init_device("/dev/reader") == 0);
        s.open = true;
    }
    if (flags & 0x08) {
        rec.short_write_countdown = in.byte() % 8;
        s.line.short_write_countdown = rec.short_write_countdown;
    }
    for (int calls = 0; calls < 6 && !in.empty(); ++calls) call_one(s, in);
    tqrf_exit();
    return 0;
}
