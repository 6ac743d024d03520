// The serial layer's mode string parser: any text, terminated or not, is either refused with
// the output left alone, or gives a mode within range that prints back to a string the parser
// reads to the same mode. The text is an exact-size heap buffer: the parser must never look
// past the bytes it was given.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "os/mode_string.h"

namespace {

using tqrf::fuzz::Buffer;
using tqrf::serial::LineMode;
using tqrf::serial::Parity;

bool same(const LineMode& a, const LineMode& b) {
    return a.rate == b.rate && a.parity == b.parity && a.data_bits == b.data_bits &&
           a.stop_tenths == b.stop_tenths;
}

bool allowed_char(char c) {
    return (c >= '0' && c <= '9') || c == ',' || c == ' ' || c == '\t' || c == '.' ||
           std::strchr("NMSEOnmseo", c) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 256) return 0;
    const LineMode sentinel{7, Parity::Odd, 6, 20};

    // As given: not terminated, and the parser is told how many bytes it may look at.
    Buffer raw(size > 0 ? size : 1);
    std::memcpy(raw.data(), data, size);
    LineMode mode = sentinel;
    const bool ok_raw = tqrf::serial::parse_mode_string(raw.text(), &mode, size);
    if (!ok_raw) FUZZ_CHECK(same(mode, sentinel));

    // Terminated, with the default limit.
    Buffer text(size + 1);
    std::memcpy(text.data(), data, size);
    text.data()[size] = 0;
    LineMode parsed = sentinel;
    const bool ok = tqrf::serial::parse_mode_string(text.text(), &parsed);
    if (!ok) {
        FUZZ_CHECK(same(parsed, sentinel));
        return 0;
    }
    const std::size_t len = std::strlen(text.text());
    FUZZ_CHECK(len < 64);
    for (std::size_t i = 0; i < len; ++i) FUZZ_CHECK(allowed_char(text.text()[i]));
    FUZZ_CHECK(parsed.rate > 0);
    FUZZ_CHECK(parsed.data_bits >= 5 && parsed.data_bits <= 8);
    FUZZ_CHECK(parsed.stop_tenths == 10 || parsed.stop_tenths == 15 || parsed.stop_tenths == 20);
    // A terminated text the raw parse could see in full parses the same both ways.
    if (ok_raw) FUZZ_CHECK(same(mode, parsed));

    char printed[tqrf::serial::MODE_TEXT_MAX];
    tqrf::serial::format_mode(parsed, printed);
    FUZZ_CHECK(std::strlen(printed) < sizeof printed);
    LineMode again = sentinel;
    FUZZ_CHECK(tqrf::serial::parse_mode_string(printed, &again));
    FUZZ_CHECK(same(again, parsed));
    return 0;
}
