// The hex codec: decoding any characters never reads or writes outside its buffers and gives
// the bytes the decoding rule defines; encoding any bytes gives upper-case hex that decodes
// back to the same bytes, in either case.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "text/hex.h"

namespace {

using tqrf::fuzz::Buffer;

// The decoding rule, written out independently: a hex digit in either case counts its value,
// any other character its own code; each pair is cut to 8 bits.
unsigned value_of(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10u;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10u;
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;
    const auto count = static_cast<std::uint32_t>(size);

    // Decode the input as text: count characters, count / 2 bytes out, nothing beyond.
    {
        Buffer text(size > 0 ? size : 1);
        for (std::size_t i = 0; i < size; ++i) text.data()[i] = data[i];
        Buffer bytes(count / 2 + 1);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes.data()[i] = 0xA5;
        tqrf::hex_decode(text.text(), bytes.data(), count);
        for (std::size_t i = 0; i < count / 2; ++i) {
            const unsigned want = (value_of(data[2 * i]) * 16 + value_of(data[2 * i + 1])) & 0xFF;
            FUZZ_CHECK(bytes[i] == want);
        }
        FUZZ_CHECK(bytes[count / 2] == 0xA5);
    }

    // Encode the input as bytes, then decode it back, as written and in lower case.
    {
        Buffer bytes(size > 0 ? size : 1);
        for (std::size_t i = 0; i < size; ++i) bytes.data()[i] = data[i];
        Buffer text(2 * size > 0 ? 2 * size : 1);
        tqrf::hex_encode(bytes.data(), text.text(), count);
        for (std::size_t i = 0; i < 2 * size; ++i) {
            const char c = static_cast<char>(text[i]);
            FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        }
        Buffer back(size > 0 ? size : 1);
        tqrf::hex_decode(text.text(), back.data(), 2 * count);
        for (std::size_t i = 0; i < size; ++i) FUZZ_CHECK(back[i] == data[i]);
        for (std::size_t i = 0; i < 2 * size; ++i) {
            const char c = text.text()[i];
            if (c >= 'A' && c <= 'F') text.text()[i] = static_cast<char>(c - 'A' + 'a');
        }
        tqrf::hex_decode(text.text(), back.data(), 2 * count);
        for (std::size_t i = 0; i < size; ++i) FUZZ_CHECK(back[i] == data[i]);
    }
    return 0;
}
