// The card image parsers: any bytes, with any format hint, are read without crashing or
// reading outside the input; a file that is read is written in every format, and what each
// format writes reads back as the same format and, for the formats that mark what was not
// read, as the same card.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "images/image_formats.h"

namespace {

using namespace tqrf::image;

constexpr ImageFormat kFormats[] = {ImageFormat::Mfd,       ImageFormat::Bin, ImageFormat::Eml,
                                    ImageFormat::Proxmark3, ImageFormat::Nfc, ImageFormat::Mct,
                                    ImageFormat::Json};

// Stops with the line of the broken promise.
#define CHECK(ok)                                                           \
    do {                                                                    \
        if (!(ok)) {                                                        \
            std::fprintf(stderr, "image_fuzz.cpp:%d: %s\n", __LINE__, #ok); \
            std::abort();                                                   \
        }                                                                   \
    } while (false)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 64 * 1024) return 0;
    // The first byte picks the hint: none or one of the formats.
    const unsigned pick = data[0] % 8u;
    const std::optional<ImageFormat> hint =
        pick == 7 ? std::nullopt : std::optional<ImageFormat>(kFormats[pick]);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string error;
    const auto file = read_image(bytes, hint, error);
    if (!file) {
        CHECK(!error.empty());
        return 0;
    }
    for (ImageFormat f : kFormats) {
        const std::string out = write_image(file->card, f);
        std::string again_error;
        const auto again = read_image(out, f, again_error);
        if (!again) std::fprintf(stderr, "%s: %s\n", format_name(f), again_error.c_str());
        CHECK(again.has_value());
        CHECK(again->format == f);
        if (format_marks_unknown(f)) {
            for (int b = 0; b < tqrf::mifare::kBlocks; ++b) {
                if (block_text(again->card, b) != block_text(file->card, b) &&
                    again->card.read[static_cast<std::size_t>(b)]) {
                    std::fprintf(stderr, "%s block %d: %s, read back %s\n", format_name(f), b,
                                 block_text(file->card, b).c_str(),
                                 block_text(again->card, b).c_str());
                }
                CHECK(block_text(again->card, b) == block_text(file->card, b) ||
                      !again->card.read[static_cast<std::size_t>(b)]);
            }
        }
    }
    std::vector<std::string> filled;
    (void)card_memory(file->card, filled);
    (void)find_mad(file->card);
    return 0;
}
