// What the card image library's files share: text and hex helpers, the rules that decide
// what a file knows, and each format's reader and writer (one file a format). Internal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image_formats.h"

namespace tqrf::image::detail {

// A file larger than a few 4K dumps with comments is no card image.
constexpr std::size_t kMaxText = 1u << 20;

extern const char* const kOnly1K;

// A refusal of a text format, naming the line.
struct LineError {
    std::string text;
};
[[noreturn]] void fail_at(std::size_t line_index, const std::string& what);
[[noreturn]] void refuse_size(const std::string& kind);

// A refusal of a JSON format, naming the field.
struct FieldError {
    std::string field;
    std::string what;
};

std::string hex2(unsigned v);
int hex_digit(char c);
bool all_hex(std::string_view s);
std::string_view trim(std::string_view s);
// The text without a UTF-8 byte order mark.
std::string_view without_bom(std::string_view s);
// The lines of a text, without their line ends ("\n" or "\r\n").
std::vector<std::string_view> lines_of(std::string_view text);

// Marks the whole sector read when its trailer holds valid access bits (the plain-image rule)
// and takes keys of 000000000000 as not known.
void apply_raw_rule(CardImage& out);
// After a marking format: the UID from block 0 when the file gave none; a trailer whose
// access bits are invalid was not really read.
void finish_marked(CardImage& out);
// Stores a block whose bytes may be partly unknown: a data block counts only whole; a trailer
// counts when its access bytes (6 to 9) are known, and each key when its six bytes are.
void store_partial(CardImage& out, int block, const Block& data, const std::array<bool, 16>& k);
// A block with what is not known as "--" (per_digit) or "??" a byte, bytes joined by `sep`.
std::string marked_block(const CardImage& img, int block, bool per_digit, const char* sep);
// The image's UID (else block 0's first four bytes) and ATQA (else 04 00, a 1K card's).
Uid uid_of(const CardImage& img);
CardType atqa_of(const CardImage& img);
// The raw bytes of an image for a format that cannot mark what was not read.
Image raw_bytes(const CardImage& img);

// The formats, each in its own file.
CardImage read_eml(std::string_view text);
std::string write_eml(const Image& image);
bool looks_like_eml(std::string_view text);
CardImage read_mct(std::string_view text);
std::string write_mct(const CardImage& img);
CardImage read_nfc(std::string_view text);
std::string write_nfc(const CardImage& img);
CardImage read_proxmark3(const nlohmann::json& doc);  // throws FieldError, LineError
std::string write_proxmark3(const CardImage& img, const Image& bytes);
std::optional<CardImage> parse_tool_json(const nlohmann::json& doc, std::string& error);
std::string tool_json_text(const CardImage& image);

}  // namespace tqrf::image::detail
