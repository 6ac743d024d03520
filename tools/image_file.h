// The tool's side of card image files: the format an output file is written in, and the bytes
// of a dump in a format. The formats themselves are the image library's (images/).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "images.h"

namespace tqrf::tool {

// The format of an output file: --format when given, else the extension (a .json name is the
// tool's own JSON dump). Throws a usage error when neither tells.
ImageFormat choose_format(const std::string& path, const std::string& format_option);

// The format an input file's name or --format suggests (nullopt: the content decides). Throws
// a usage error for an unknown --format.
std::optional<ImageFormat> input_format_hint(const std::string& path,
                                             const std::string& format_option);

// The bytes of an image file of a dump in `format`.
std::string image_file_bytes(const CardDump& dump, ImageFormat format);

// Reads an image file's bytes in any format (see read_image). On a malformed file gives
// nothing and says why in `error` ("is 10 bytes; a 1K card image is exactly 1024",
// "sectors[2].blocks[1].data: 32 hex digits or null expected", "line 7: ...").
std::optional<CardImage> parse_image_file(std::string_view bytes, std::optional<ImageFormat> hint,
                                          std::string& error);

}  // namespace tqrf::tool
