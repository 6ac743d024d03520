// Card image files as other tools write them, and what an image holds. Shared by the tqrf tool
// and the simulator (tqrf-sim --card); no reader and no file system here, only bytes in and out.
//
// Formats (their names are what --format takes and what messages say):
//   mfd, bin   1024 bytes, block 0 first (libnfc's nfc-mfclassic and most tools)
//   eml        64 lines of 32 hex digits, one block a line (Proxmark3 emulator files)
//   proxmark3  the Proxmark3 JSON dump ("FileType": "mfc v2"; "mfcard" is read too)
//   nfc        the Flipper Zero NFC file ("Filetype: Flipper NFC device", versions 2 to 4)
//   mct        MIFARE Classic Tool dumps ("+Sector: N" and four lines of hex per sector)
//   json       tqrf's own JSON dump (image_file.h)
// json, nfc and mct mark what was not read (a block, a key); the others cannot: there a sector
// whose trailer holds invalid access bits was not read, and a key of 000000000000 is not known.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tq_RWD_DLL_mifare.hpp"

namespace tqrf::tool {

using Image = std::array<std::uint8_t, mifare::kImageSize>;

enum class ImageFormat { Mfd, Bin, Eml, Proxmark3, Nfc, Mct, Json };

// A card image and what it says it holds: which blocks were read from the card, and which
// keys in its trailers are the card's real keys.
struct CardImage {
    Image image{};                 // 1024 bytes; each trailer carries the keys that are known
    std::optional<Uid> uid;        // the card it came from, when the image says
    std::optional<CardType> atqa;  // as the card answered a request (wire order), when known
    std::optional<SizeByte> sak;   // the select answer, when known
    std::array<bool, mifare::kBlocks> read{};
    std::array<std::array<bool, 2>, mifare::kSectors> key_known{};  // [sector][0 = A, 1 = B]
};

// "mfd", "bin", "eml", "proxmark3", "nfc", "mct" or "json".
const char* format_name(ImageFormat format);
std::optional<ImageFormat> parse_format(std::string_view name);
// "mfd, bin, eml, proxmark3, nfc, mct or json", for messages.
const char* format_names();
// By the file's extension, in any case: .mfd, .bin, .dump (raw), .eml, .nfc, .mct, .json (the
// tool's own; a Proxmark3 JSON file is found by its content when read).
std::optional<ImageFormat> format_of_path(std::string_view path);
// True when the format marks blocks and keys that were not read.
bool format_marks_unknown(ImageFormat format);

// Block `block` of an image, and storing one into it.
Block image_block(const Image& image, int block);
void set_image_block(Image& image, int block, const Block& data);

// What a plain image holds: a sector whose trailer has invalid access bits was not read (none
// of its blocks count); a key of 000000000000 is one the dump did not know, unless the access
// bits make key B readable (it is data then, read as it is).
CardImage interpret_raw_image(const Image& image);

// An image file read: what it holds and the format it was found to be in.
struct ImageFile {
    CardImage card;
    ImageFormat format = ImageFormat::Mfd;
};

// Reads an image file in any of the formats, found from the content; `hint` (from the name or
// --format) only decides between formats that look the same (mfd and bin). On a malformed file
// gives nothing and says why in `error`, naming the line or field ("line 12: 32 hex digits
// expected"). 4K, 2K and Mini images are refused: the reader addresses blocks 0 to 63 only.
// Takes any bytes; never throws for bad input.
std::optional<ImageFile> read_image(std::string_view bytes, std::optional<ImageFormat> hint,
                                    std::string& error);

// The bytes of an image file in `format`. In a format that cannot mark what was not read, a
// sector not read whole is all zeros (invalid access bits: restore leaves it alone).
std::string write_image(const CardImage& image, ImageFormat format);

// A block as 32 hex digits, with '-' for each digit the image does not know (a block not read,
// a key not known), as MIFARE Classic Tool writes it.
std::string block_text(const CardImage& image, int block);

// The sectors of `image` not read whole (every block and both keys are not needed: the blocks).
std::vector<int> incomplete_sectors(const CardImage& image);

// The 1024 bytes a card made from `image` holds: blocks not read are zeros; a sector whose
// trailer was not read gets the transport access bits (FF 07 80 69); a key not known is
// FFFFFFFFFFFF. `filled` lists what was filled in ("sector 3: key B"). Raw formats are taken
// byte for byte: use this only for formats that mark what was not read.
Image card_memory(const CardImage& image, std::vector<std::string>& filled);

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

}  // namespace tqrf::tool
