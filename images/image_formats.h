// The card image library's own view of image files (tq_RWD_DLL_image.hpp is its public face):
// what the tqrf tool, the simulator (tqrf-sim --card) and the tests use beyond it. No reader and
// no file system here, only bytes in and out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tq_RWD_DLL_image.hpp"

namespace tqrf::image {

using Image = Memory;
using ImageFormat = Format;

// "mfd, bin, eml, proxmark3, nfc, mct or json", for messages.
const char* format_names();
// Every extension format_of_path() knows, ".mfd, .bin, .dump, .dmp, ... or .json", for messages.
const char* format_extensions();

// What a plain image holds: a sector whose trailer has invalid access bits was not read (none
// of its blocks count); a key of 000000000000 is one the dump did not know, unless the access
// bits make key B readable (it is data then, read as it is).
CardImage interpret_raw_image(const Image& image);

// Reads an image file in any of the formats, found from the content; `hint` (from the name or
// --format) only decides between formats that look the same (mfd and bin). On a malformed file
// gives nothing and says why in `error`, naming the line or field ("line 12: 32 hex digits
// expected"). 4K, 2K and Mini images are refused: the reader addresses blocks 0 to 63 only.
// Takes any bytes; never throws for bad input.
std::optional<ImageFile> read_image(std::string_view bytes, std::optional<ImageFormat> hint,
                                    std::string& error);

// The bytes of an image file in `format` (save()).
std::string write_image(const CardImage& image, ImageFormat format);

// The MIFARE Application Directory (version 1) in sector 0, when its trailer says there is one
// (general-purpose byte bit 7). `crc_ok` is the CRC-8 in block 1 byte 0 checked over the info
// byte and the 15 application identifiers.
struct Mad {
    int version = 1;
    std::uint8_t crc = 0;
    std::uint8_t crc_computed = 0;
    bool crc_ok = false;
    std::uint8_t info = 0;                // the card publisher sector, when non-zero
    std::array<std::uint16_t, 15> aid{};  // sectors 1 to 15
};
std::optional<Mad> find_mad(const CardImage& image);
std::uint8_t mad_crc(const std::uint8_t* bytes, std::size_t n);
// "free", "defect", "NFC Forum NDEF", ... or "" when the identifier has no common name.
const char* mad_aid_name(std::uint16_t aid);

}  // namespace tqrf::image
