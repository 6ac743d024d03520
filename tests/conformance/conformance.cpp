// The serial layer's contract (os/serial.h), checked the same way on every backend: the
// POSIX backend natively, the Windows backend as a Windows program under Wine. The program
// holds one end of a line; tests/conformance/run.py holds the other end (a pseudo-terminal's
// master side, mapped to a COM name under Wine) and does what only the outside can: look at
// the line's settings (stty), send bytes, read what was written, hang the line up, and try a
// second open from another process.
//
//   serial_conformance DEVICE MISSING      the suite; asks the harness on stdout ("@ ..."),
//                                          reads its answers on stdin
//   serial_conformance --try-open DEVICE   exit 0 when the open is refused, 1 when it works
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/mode_string.h"
#include "os/serial.h"
#include "tests/conformance/platform.h"
#include "tests/support/hex.h"

namespace {

using tqrf::testing::hex_bytes;

using namespace tqrf::serial;
using tqrf::conformance::platform;

int g_failures = 0;
const char* g_case = "";

void fail(int line, const std::string& what) {
    ++g_failures;
    std::printf("  FAIL %s (conformance.cpp:%d): %s\n", g_case, line, what.c_str());
    std::fflush(stdout);
}

#define CHECK(cond, what)                                                \
    do {                                                                 \
        if (!(cond)) fail(__LINE__, std::string(#cond) + ": " + (what)); \
    } while (0)

// Asks the harness for one thing and returns its one-line answer.
std::string ask(const std::string& request) {
    std::printf("@ %s\n", request.c_str());
    std::fflush(stdout);
    char line[512] = {};
    if (std::fgets(line, sizeof line, stdin) == nullptr) return "no answer";
    std::string answer(line);
    while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
    return answer;
}

std::string code(std::int32_t value) {
    return std::to_string(value);
}

bool one_of(std::int32_t value, const std::int32_t* list, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (list[i] == value) return true;
    }
    return false;
}

// Waits, bounded, until `want` bytes are waiting (delivery through the line takes a moment).
std::uint32_t await_bytes(Device* d, std::uint32_t want) {
    const std::uint64_t until = now_us() + 5'000'000;
    std::uint32_t n = bytes_waiting(d);
    while (n < want && now_us() < until) {
        pause_ms(1);
        n = bytes_waiting(d);
    }
    return n;
}

constexpr LineMode kAddress{19200, Parity::Mark, 8, 10};
constexpr LineMode kFrame{19200, Parity::Space, 8, 10};

struct Context {
    std::string device;
    std::string missing;
};

// The library's open sequence: the link's modes, the resting mode, queues and time-outs.
Device* open_like_the_library(const Context& c) {
    std::int32_t error = -1;
    Device* d = open_device(c.device.c_str(), &error);
    CHECK(d != nullptr, "open of " + c.device + " failed with " + code(error));
    if (d == nullptr) return nullptr;
    CHECK(prepare_link_modes(d, kAddress, kFrame), "");
    CHECK(apply_mode(d, LinkMode::Frame), "error " + code(last_error(d)));
    CHECK(set_queue_sizes(d, 400, 400), "error " + code(last_error(d)));
    CHECK(set_timeouts(d), "error " + code(last_error(d)));
    return d;
}

void open_refuses_what_is_missing(const Context& c) {
    std::int32_t error = 0;
    CHECK(open_device(c.missing.c_str(), &error) == nullptr, c.missing);
    CHECK(error == platform().no_such_device,
          "error " + code(error) + ", want " + code(platform().no_such_device));
    error = 0;
    CHECK(open_device(nullptr, &error) == nullptr, "a null path");
    CHECK(error != 0, "a null path gives an error code");
}

void open_is_exclusive(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    CHECK(last_error(d) == 0, "a fresh device has no error: " + code(last_error(d)));
    std::int32_t error = 0;
    Device* second = open_device(c.device.c_str(), &error);
    CHECK(second == nullptr, "a second open in the same program");
    if (second != nullptr) close_device(second);
    CHECK(one_of(error, platform().busy, 2), "error " + code(error));
    CHECK(ask("open-elsewhere") == "refused", "another program opened the device");
    close_device(d);
    // Released: it opens again, here and elsewhere.
    d = open_device(c.device.c_str(), &error);
    CHECK(d != nullptr, "open after close failed with " + code(error));
    close_device(d);
    CHECK(ask("open-elsewhere") == "opened", "another program could not open the closed device");
}

void close_puts_the_line_back(const Context& c) {
    CHECK(ask("stty-save") == "ok", "");
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    CHECK(apply_mode(d, LinkMode::Address), "");
    CHECK(apply_mode_text(d, "9600,N,8,1"), "");
    CHECK(apply_mode(d, LinkMode::Frame), "");
    close_device(d);
    const std::string answer = ask("stty-compare");
    CHECK(answer == "same", answer);
}

void modes_reach_the_line(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    CHECK(ask("line") == "19200 -cstopb", "the resting mode");
    struct Case {
        const char* text;  // through apply_mode_text; null: the structure
        LineMode mode;
        const char* line;  // as the other end sees it (a pseudo-terminal shows neither parity
                           // nor a size other than 8 bits)
    };
    const Case cases[] = {
        {nullptr, {9600, Parity::None, 8, 10}, "9600 -cstopb"},
        {nullptr, {38400, Parity::Even, 8, 20}, "38400 cstopb"},
        {"4800,N,8,1", {}, "4800 -cstopb"},
        {"115200,O,8,2", {}, "115200 cstopb"},
        {nullptr, {19200, Parity::Space, 8, 10}, "19200 -cstopb"},
    };
    for (const Case& k : cases) {
        char label[MODE_TEXT_MAX];
        format_mode(k.mode, label);
        const std::string name = k.text != nullptr ? k.text : label;
        const bool ok = k.text != nullptr ? apply_mode_text(d, k.text) : apply_mode(d, k.mode);
        CHECK(ok, name + ": error " + code(last_error(d)));
        const std::string seen = ask("line");
        CHECK(seen == k.line, name + ": the line shows " + seen + ", want " + k.line);
    }
    // Refused before anything reaches the line.
    CHECK(!apply_mode(d, LineMode{19200, Parity::None, 9, 10}), "9 data bits");
    CHECK(!apply_mode_text(d, "fast,N,8,1"), "text that is no mode");
    CHECK(ask("line") == "19200 -cstopb", "a refused mode changed the line");
    CHECK(apply_mode(d, LinkMode::Address), "");
    CHECK(apply_mode(d, LinkMode::Frame), "");
    CHECK(last_error(d) == 0, "error " + code(last_error(d)));
    close_device(d);
}

// A pseudo-terminal (the line under test) drops parity bits on every backend, but is never
// taken for an adapter that cannot send mark or space; nor does it offer low latency.
void a_pseudo_terminal_is_not_judged_an_adapter(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    CHECK(!mark_space_dropped(d), "the line counts as one without mark or space parity");
    CHECK(low_latency(d) == LowLatency::Unknown, "a latency setting on a pseudo-terminal");
    CHECK(apply_mode(d, LinkMode::Address) && apply_mode(d, LinkMode::Frame), "");
    CHECK(!mark_space_dropped(d), "after the link's switches");
    close_device(d);
}

void bytes_go_out_and_come_in(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    const std::uint8_t address = 0x58;
    const std::uint8_t frame[] = {0x00, 0x04, 0xBB, 0x41, 0x26, 0x00, 0xD8};
    CHECK(apply_mode(d, LinkMode::Address), "");
    CHECK(write_bytes(d, &address, 1) == 1, "");
    CHECK(apply_mode(d, LinkMode::Frame), "");
    CHECK(write_bytes(d, frame, sizeof frame) == sizeof frame, "");
    const std::string seen = ask("take 8");
    CHECK(seen == "58 " + hex_bytes(frame, sizeof frame), "the other end got " + seen);

    // Reads take what is waiting and never more than asked.
    std::uint8_t in[16] = {};
    CHECK(read_bytes(d, in, 0, sizeof in, 0) == 0, "nothing waits yet");
    CHECK(ask("send 00 03 04 00 00 07") == "ok", "");
    CHECK(await_bytes(d, 6) == 6, "six bytes waiting");
    CHECK(read_bytes(d, in, 0, 4, 0) == 4, "");
    CHECK(bytes_waiting(d) == 2, "the rest waits");
    CHECK(read_bytes(d, in + 4, 0, sizeof in - 4, 0) == 2, "");
    CHECK(hex_bytes(in, 6) == "00 03 04 00 00 07", hex_bytes(in, 6));
    // A read by a deadline: at least what is asked, never more than its most, the rest left
    // waiting.
    CHECK(ask("send 00 03 04 00 00 07") == "ok", "");
    CHECK(read_bytes(d, in, 2, 2, now_us() + 5'000'000) == 2, "");
    CHECK(read_bytes(d, in + 2, 4, 4, now_us() + 5'000'000, true) == 4, "");
    CHECK(hex_bytes(in, 6) == "00 03 04 00 00 07", hex_bytes(in, 6));
    CHECK(bytes_waiting(d) == 0, "");
    close_device(d);
}

void purges_discard(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    CHECK(ask("send 01 02 03 04 05") == "ok", "");
    CHECK(await_bytes(d, 5) == 5, "five bytes waiting");
    purge_input(d);
    CHECK(bytes_waiting(d) == 0, "input left after the purge");
    std::uint8_t b = 0;
    CHECK(read_bytes(d, &b, 1, 1, now_us()) == 0, "a purged queue has nothing to read");
    purge_output(d);
    CHECK(last_error(d) == 0, "error " + code(last_error(d)));
    CHECK(!device_lost(d), "");
    close_device(d);
}

void waits_are_bounded(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    // Never shorter than asked; a wait of 0 only looks.
    struct Case {
        std::uint32_t wait_us;
    };
    std::uint8_t in[8] = {};
    for (const Case k : {Case{0}, Case{1'000}, Case{30'000}}) {
        const std::uint64_t start = now_us();
        CHECK(read_bytes(d, in, 1, 1, start + k.wait_us) == 0, std::to_string(k.wait_us) + " us");
        CHECK(now_us() - start >= k.wait_us, "ended early: " + std::to_string(k.wait_us));
    }
    for (std::uint32_t ms : {1u, 5u}) {
        const std::uint64_t start = now_us();
        pause_ms(ms);
        CHECK(now_us() - start >= ms * 1000u,
              "a pause of " + std::to_string(ms) + " ms ended early");
    }
    // Bytes that come during a read end it as soon as its least has come.
    CHECK(ask("send-later 5A") == "ok", "");
    const std::uint64_t start = now_us();
    CHECK(read_bytes(d, in, 1, sizeof in, start + 10'000'000) == 1 && in[0] == 0x5A,
          hex_bytes(in, 1));
    close_device(d);
}

void a_device_that_goes_away(const Context& c) {
    Device* d = open_like_the_library(c);
    if (d == nullptr) return;
    CHECK(!device_lost(d), "");
    CHECK(ask("hangup") == "ok", "");
    std::uint8_t in[4] = {};
    CHECK(read_bytes(d, in, 1, sizeof in, now_us() + 2'000'000) == 0, "a read of a lost line");
    CHECK(device_lost(d), "the read did not see the loss");
    const std::uint8_t address = 0x58;
    CHECK(write_bytes(d, &address, 1) == 0, "a write to a lost device");
    CHECK(device_lost(d), "");
    CHECK(one_of(last_error(d), platform().gone, 4),
          "error " + code(last_error(d)) +
              " is not one of the platform's own codes for a lost device");
    CHECK(read_bytes(d, in, 1, sizeof in, now_us() + 1'000'000) == 0 && device_lost(d),
          "stays lost");
    close_device(d);  // returns, and frees the device
}

void error_codes_are_the_platforms_own(const Context&) {
    CHECK(os_error_code(OsFailure::NoSuchDevice) == platform().no_such_device,
          code(os_error_code(OsFailure::NoSuchDevice)));
    CHECK(os_error_code(OsFailure::NoMemory) == platform().no_memory,
          code(os_error_code(OsFailure::NoMemory)));
    CHECK(last_error(nullptr) == 0, "");
    char path[64] = {};
    CHECK(device_path_for_port(5, path, sizeof path), "");
    CHECK(std::string(path) == platform().com5_path, path);
    CHECK(!device_path_for_port(5, path, 4), "a path that does not fit");
}

void trace_files_stay_private_while_open(const Context&) {
    const std::string path = tqrf::conformance::scratch_path("tqrf-conformance-trace");
    tqrf::conformance::remove_file(path);
    TraceFile* file = open_trace_file(path.c_str());
    CHECK(file != nullptr, path);
    if (file == nullptr) return;
    append_trace(file, "one\n", 4);
    CHECK(!tqrf::conformance::readable_by_others(path), "another program can read " + path);
    close_trace_file(file);
    file = open_trace_file(path.c_str());
    append_trace(file, "two\n", 4);
    close_trace_file(file);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    CHECK(in != nullptr, "closed, the file reads");
    if (in != nullptr) {
        char text[16] = {};
        const std::size_t n = std::fread(text, 1, sizeof text - 1, in);
        std::fclose(in);
        CHECK(n == 8 && std::strcmp(text, "one\ntwo\n") == 0, text);
    }
    tqrf::conformance::remove_file(path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--try-open") == 0) {
        Device* d = open_device(argv[2]);
        if (d == nullptr) return 0;
        close_device(d);
        return 1;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DEVICE MISSING-DEVICE | --try-open DEVICE\n", argv[0]);
        return 2;
    }
    const Context context{argv[1], argv[2]};
    struct Case {
        const char* name;
        void (*run)(const Context&);
    };
    // The hang-up comes last: the line is gone after it.
    const Case cases[] = {
        {"error codes are the platform's own", error_codes_are_the_platforms_own},
        {"open refuses a missing device", open_refuses_what_is_missing},
        {"open is exclusive", open_is_exclusive},
        {"close puts the line back", close_puts_the_line_back},
        {"modes reach the line", modes_reach_the_line},
        {"a pseudo-terminal is not judged an adapter", a_pseudo_terminal_is_not_judged_an_adapter},
        {"bytes go out and come in", bytes_go_out_and_come_in},
        {"purges discard", purges_discard},
        {"waits are bounded", waits_are_bounded},
        {"trace files stay private while open", trace_files_stay_private_while_open},
        {"a device that goes away", a_device_that_goes_away},
    };
    int failed_cases = 0;
    for (const Case& k : cases) {
        g_case = k.name;
        const int before = g_failures;
        k.run(context);
        if (g_failures != before) ++failed_cases;
        std::printf("%s %s\n", g_failures == before ? "ok  " : "FAIL", k.name);
        std::fflush(stdout);
    }
    std::printf("%s backend: %d of %zu cases failed\n", platform().name, failed_cases,
                sizeof cases / sizeof cases[0]);
    return g_failures == 0 ? 0 : 1;
}
