// tq_RWD_DLL_image.hpp - Mifare Classic 1K card image files as other tools write them (C++17 or
// later; link tq_RWD_DLL::image). Nothing here talks to a reader: bytes or files in, a card
// image out, and back.
//
//   std::string error;
//   auto file = tqrf::image::load_file("dump.json", std::nullopt, error);  // any format
//   if (!file) { std::cerr << "dump.json " << error << '\n'; return 1; }
//   std::cout << file->card.uid->hex() << '\n';
//   if (!tqrf::image::save_file("dump.nfc", file->card, std::nullopt, error)) ...
//
// Formats (format_name() gives the names below):
//   mfd, bin   1024 bytes, block 0 first (libnfc's nfc-mfclassic and most tools; also .dump, .dmp)
//   eml        64 lines of 32 hex digits, one block a line (Proxmark3 emulator files)
//   proxmark3  the Proxmark3 JSON dump ("FileType": "mfc v2"; "mfcard" is read too)
//   nfc        the Flipper Zero NFC file ("Filetype: Flipper NFC device", versions 2 to 4)
//   mct        MIFARE Classic Tool dumps ("+Sector: N" and four lines of hex per sector)
//   json       the JSON dump of the tqrf tool (`tqrf dump --out X.json`)
// json, nfc and mct mark what was not read (a block, a key); the others cannot: there a sector
// whose trailer holds invalid access bits was not read, and a key of 000000000000 is not known.
// 4K, 2K and Mini images and cards with 7- or 10-byte UIDs are refused.
//
// Nothing here throws for bad input: a refusal says why in `error`, naming the line or field
// ("line 12: 32 hex digits expected", "blocks.17: missing").
#ifndef TQ_RWD_DLL_IMAGE_HPP
#define TQ_RWD_DLL_IMAGE_HPP

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tq_RWD_DLL_mifare.hpp"

namespace tqrf::image {

// ---- Formats ---------------------------------------------------------------------------------

enum class Format { Mfd, Bin, Eml, Proxmark3, Nfc, Mct, Json };

// "mfd", "bin", "eml", "proxmark3", "nfc", "mct" or "json".
const char* format_name(Format format) noexcept;
// The format of a name format_name() gives; nullopt for any other.
std::optional<Format> parse_format(std::string_view name);
// By the file's extension, in any case: .mfd, .bin, .dump, .dmp (raw), .eml, .nfc, .mct, .json (the
// tool's own; a Proxmark3 JSON file is found by its content when read).
std::optional<Format> format_of_path(std::string_view path);
// True when the format marks blocks and keys that were not read (json, nfc, mct).
bool format_marks_unknown(Format format) noexcept;

// ---- A card image ----------------------------------------------------------------------------

// The 1024 bytes of a 1K card, block 0 first.
using Memory = std::array<std::uint8_t, mifare::kImageSize>;

// A card image and what it says it holds: which blocks were read from the card, and which keys
// in its trailers are the card's real keys. What was not read is zeros in `image`.
struct CardImage {
    Memory image{};                // each trailer carries the keys that are known
    std::optional<Uid> uid;        // the card it came from, when the image says
    std::optional<CardType> atqa;  // as the card answered a request (wire order), when known
    std::optional<SizeByte> sak;   // the select answer, when known
    std::array<bool, mifare::kBlocks> read{};                       // [block]
    std::array<std::array<bool, 2>, mifare::kSectors> key_known{};  // [sector][0 = A, 1 = B]
};

// Block `block` (0 to 63) of an image, and storing one into it.
Block image_block(const Memory& image, int block) noexcept;
void set_image_block(Memory& image, int block, const Block& data) noexcept;

// Whether the image knows block `block` (0 to 63), and key A or B of `sector` (0 to 15).
bool block_known(const CardImage& image, int block) noexcept;
bool key_known(const CardImage& image, int sector, KeyType key) noexcept;

// A block as 32 hex digits, with '-' for each digit the image does not know (a block not read,
// a key not known), as MIFARE Classic Tool writes it.
std::string block_text(const CardImage& image, int block);

// The sectors not read whole (a missing key does not count: the blocks).
std::vector<int> incomplete_sectors(const CardImage& image);

// The access conditions of a sector, from its trailer when that was read and its access bits
// are valid.
std::optional<mifare::AccessConditions> access_conditions(const CardImage& image, int sector);

// The 1024 bytes a card made from the image holds: blocks not read are zeros; a sector whose
// trailer was not read gets the transport access bits (FF 07 80 69); a key not known is
// FFFFFFFFFFFF. `filled` gets one line a sector of what was filled in ("sector 3: key B
// (FFFFFFFFFFFF)").
Memory card_memory(const CardImage& image, std::vector<std::string>& filled);

// ---- Reading and writing ---------------------------------------------------------------------

// An image file read: what it holds and the format it is in.
struct ImageFile {
    CardImage card;
    Format format = Format::Mfd;
};

// Reads an image file's bytes. Without `format`, the content decides (a raw image is mfd);
// with it, the file must be in that format (mfd and bin are the same bytes: the one named is
// given back). On a malformed file gives nothing and says why in `error`.
std::optional<ImageFile> load(std::string_view bytes, std::optional<Format> format,
                              std::string& error);

// The same for bytes read from a file named `name`: the content decides, and the name's
// extension only between look-alikes (raw mfd and bin) and what a refusal says.
std::optional<ImageFile> load_named(std::string_view bytes, std::string_view name,
                                    std::string& error);

// The same from a file; without `format`, the content decides, and the name only between raw
// mfd and bin. `error` then names no file ("cannot be read: No such file or directory", "line
// 3: ...").
std::optional<ImageFile> load_file(const std::string& path, std::optional<Format> format,
                                   std::string& error);

// The bytes of an image file in `format`. In a format that cannot mark what was not read, a
// sector not read whole is all zeros (invalid access bits: no tool writes it to a card).
std::string save(const CardImage& image, Format format);

// Writes the image to `path` in `format` (without it, the format of the file's extension),
// atomically: the file holds its old content or the new one, never a part. A new file is
// readable and writable by its owner only (images hold keys). False, with `error`, on failure
// or when the name tells no format.
bool save_file(const std::string& path, const CardImage& image, std::optional<Format> format,
               std::string& error);

// ---- Access conditions by name ---------------------------------------------------------------

// The conditions of a sector from items WHICH:RIGHTS, WHICH being 0, 1 or 2 (a data block of
// the sector), data (all three), 3 or trailer, and RIGHTS names ("read=AB,write=B", see
// mifare::parse_access_rights) or the condition bits C1C2C3 ("100"). Every block must be
// given once. On anything else gives nothing, with `item` the item at fault ("" when a block
// is missing) and `error` why.
std::optional<mifare::AccessConditions> parse_access_items(const std::vector<std::string>& items,
                                                           std::string& item, std::string& error);

// Why conditions should not be written to a card, or nullopt: rights of key B under a trailer
// condition that makes key B readable (a readable key B opens nothing), or, unless
// `permanent_ok`, access bits that no key could change again.
struct AccessProblem {
    bool permanent = false;  // the second kind
    std::string text;
};
std::optional<AccessProblem> access_problem(const mifare::AccessConditions& access,
                                            bool permanent_ok);

// What the conditions say, for people: one line a block ("block 0  000  read=AB,write=AB,...",
// "trailer  001  ..."), then notes (key B readable, permanent).
std::vector<std::string> describe_access(const mifare::AccessConditions& access);

}  // namespace tqrf::image

#endif
