// The tool's side of card image files: the JSON dump (.json), which marks each block read or
// not read and each key known or not and is also what `tqrf --json dump` prints; the format an
// output file is written in; and the bridges between a card dump and an image. The formats
// themselves are in image_formats.h.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "card_dump.h"
#include "image_formats.h"

namespace tqrf::tool {

// The format of an output file: --format when given, else the extension (a .json name is the
// tool's own JSON dump). Throws a usage error when neither tells.
ImageFormat choose_format(const std::string& path, const std::string& format_option);

// The format an input file's name or --format suggests (nullopt: the content decides). Throws
// a usage error for an unknown --format.
std::optional<ImageFormat> input_format_hint(const std::string& path,
                                             const std::string& format_option);

// The JSON dump of a card.
nlohmann::json dump_document(const CardDump& dump);

// A card dump as an image, and an image as the dump that would have given it (blocks not read
// say "not in the image").
CardImage card_image_of(const CardDump& dump);
CardDump card_dump_of(const CardImage& image);

// The bytes of an image file of a dump in `format`.
std::string image_file_bytes(const CardDump& dump, ImageFormat format);

// Reads an image file's bytes in any format (see read_image). On a malformed file gives
// nothing and says why in `error` ("is 10 bytes; a 1K card image is exactly 1024",
// "sectors[2].blocks[1].data: 32 hex digits or null expected", "line 7: ...").
std::optional<CardImage> parse_image_file(std::string_view bytes, std::optional<ImageFormat> hint,
                                          std::string& error);

}  // namespace tqrf::tool
