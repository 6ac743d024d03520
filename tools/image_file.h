// Card image formats: the 1024-byte image (.mfd, .bin: the same bytes) and the JSON dump
// (.json), which marks each block read or not read and each key known or not. The JSON dump is
// also what `tqrf --json dump` prints.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "card_dump.h"

namespace tqrf::tool {

enum class ImageFormat { Mfd, Bin, Json };

const char* format_name(ImageFormat format);
// "mfd", "bin" or "json".
std::optional<ImageFormat> parse_format(std::string_view name);
// By the file's extension, in any case: .mfd, .bin, .json.
std::optional<ImageFormat> format_of_path(std::string_view path);
// --format when given, else the extension; throws a usage error when neither tells.
ImageFormat choose_format(const std::string& path, const std::string& format_option);

// The JSON dump of a card.
nlohmann::json dump_document(const CardDump& dump);

// The bytes of an image file in `format`.
std::string image_file_bytes(const CardDump& dump, ImageFormat format);

// Reads an image file's bytes. On a wrong size or a JSON document that is not a dump, gives
// nothing and says why in `error` ("is 10 bytes; a 1K card image is exactly 1024",
// "sectors[2].blocks[1].data: 32 hex digits or null expected").
std::optional<CardImage> parse_image_file(std::string_view bytes, ImageFormat format,
                                          std::string& error);

}  // namespace tqrf::tool
