// Every exported function, driven through the recording serial double: arbitrary arguments,
// arbitrary reply bytes arriving after an arbitrary delay, noise before and during the wait,
// short writes, null pointers and a closed port. Each caller buffer is an exact-size heap
// allocation at its documented size, so AddressSanitizer reports any byte read or written past
// it. The target keeps its own model of the line, works out what each call must return and
// what it may write, and stops on any difference.
//
// This file holds the tables of exports and the drivers that turn the input into calls;
// line_model.* plays the line, oracle.* checks each call against it.
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "fuzz/commands/exports.h"
#include "fuzz/commands/line_model.h"
#include "fuzz/commands/oracle.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/recording_serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf::fuzz::commands {
namespace {

using tqrf::testing::recorder;

// ---- What every call takes from the input ---------------------------------------------------

// The row of `table` the input picks by its next byte.
template <class Row, std::size_t N>
const Row& pick_row(const Row (&table)[N], Input& in) {
    return table[in.byte() % N];
}

// Which pointers of a call the input makes null, now and then: bit 7 of its byte enables the
// others.
class NullMask {
  public:
    explicit NullMask(Input& in) : bits_(in.byte()) {}
    bool operator()(int k) const { return (bits_ & 0x80) != 0 && (bits_ & (1u << k)) != 0; }

  private:
    std::uint8_t bits_;
};

// Noise the input sends during the next wait, 1 to 64 ms after `now`: the double plays it and
// the model expects it.
void noise_in_flight(Input& in, std::uint64_t now, std::vector<Arrival>& model) {
    Arrival a{now + 1 + in.byte() % 64, in.bytes(in.byte() % 12 + 1)};
    recorder().in_flight.push_back({a.at, a.bytes});
    model.push_back(std::move(a));
}

// ---- The legacy exports, one row each ---------------------------------------------------------

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

void call_one(Session& s, Input& in) {
    auto& rec = recorder();
    const LegacyExport& e = pick_row(kLegacy, in);
    const NullMask null_at(in);

    const std::int32_t a1 = in.i32();
    const std::int32_t a2 = in.i32();
    const std::int32_t a3 = in.i32();

    // Stale bytes in the input queue and noise arriving during the wait.
    const std::uint8_t extras = in.byte();
    if (extras & 0x01) rec.arrive_now(in.bytes(in.byte() % 12));
    if (extras & 0x02) noise_in_flight(in, rec.now_ms, s.line.in_flight);

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

    const std::size_t wire_before = rec.wire.size();
    const int r = e.call(args);
    rec.scripted.clear();  // replies a failed send never asked for
    check_legacy(s, {e, args, replies, exchanges, wire_before, out, t_type, t_serial, t_size}, r);
}

bool flag_ok(std::int32_t v) {
    return v == 0 || v == 1;
}
bool in(std::int32_t v, std::int32_t lo, std::int32_t hi) {
    return v >= lo && v <= hi;
}

// ---- The handle exports, one row each -----------------------------------------------------------

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

void call_handle(HandleSession& s, Input& in_) {
    auto& rec = recorder();
    const HandleExport& e = pick_row(kHandle, in_);
    const NullMask null_at(in_);
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
    if (extras & 0x02) noise_in_flight(in_, s.line.now, s.line.in_flight);
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
    const int result = e.call(args);
    rec.scripted.clear();
    check_handle(s, {e, args, reply, type, serial, size, block, val, var, length}, result);
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
}  // namespace tqrf::fuzz::commands

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tqrf::fuzz::commands;
    tqrf::fuzz::Input in(data, size);
    auto& rec = tqrf::testing::recorder();
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
