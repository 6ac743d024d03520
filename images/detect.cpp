// Which format a file is in, from its content (and its name only between look-alikes), and
// the reader and writer of each.
#include <cctype>
#include <iterator>
#include <nlohmann/json.hpp>

#include "codec.h"

namespace tqrf::image {

using nlohmann::json;
using namespace detail;

namespace {

// The name of each format, in the order of the enum.
constexpr const char* kNames[] = {"mfd", "bin", "eml", "proxmark3", "nfc", "mct", "json"};
static_assert(std::size(kNames) == static_cast<std::size_t>(ImageFormat::Json) + 1,
              "a format without a name");

}  // namespace

const char* format_name(ImageFormat format) noexcept {
    const auto i = static_cast<std::size_t>(format);
    return i < std::size(kNames) ? kNames[i] : "?";
}

const char* format_names() {
    return "mfd, bin, eml, proxmark3, nfc, mct or json";
}

const char* format_extensions() {
    return ".mfd, .bin, .dump, .dmp, .eml, .nfc, .mct or .json";
}

std::optional<ImageFormat> parse_format(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (name == kNames[i]) return static_cast<ImageFormat>(i);
    }
    return std::nullopt;
}

std::optional<ImageFormat> format_of_path(std::string_view path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
        return std::nullopt;
    }
    std::string ext(path.substr(dot + 1));
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "dump" || ext == "dmp") return ImageFormat::Mfd;  // what mfoc and others write
    if (ext == "proxmark3") return std::nullopt;                 // not an extension anyone writes
    return parse_format(ext);
}

bool format_marks_unknown(ImageFormat format) noexcept {
    return format == ImageFormat::Json || format == ImageFormat::Nfc || format == ImageFormat::Mct;
}

std::optional<ImageFile> read_image(std::string_view bytes, std::optional<ImageFormat> hint,
                                    std::string& error) {
    try {
        ImageFile out;
        const std::string_view text = without_bom(bytes);
        const std::string_view start = trim(text.substr(0, 64));
        const bool raw_hint = hint == ImageFormat::Mfd || hint == ImageFormat::Bin;
        if (bytes.size() == mifare::kImageSize && (raw_hint || !looks_like_eml(text))) {
            Image image{};
            std::copy(bytes.begin(), bytes.end(), image.begin());
            out.card = interpret_raw_image(image);
            out.format = hint == ImageFormat::Bin ? ImageFormat::Bin : ImageFormat::Mfd;
            return out;
        }
        if (bytes.size() > kMaxText) {
            error = "is " + std::to_string(bytes.size()) + " bytes; no card image is that large";
            return std::nullopt;
        }
        if (!start.empty() && (start.front() == '{' || start.front() == '[')) {
            json doc;
            try {
                doc = json::parse(text);
            } catch (const json::exception& e) {
                error = std::string("is not JSON (") + e.what() + ")";
                return std::nullopt;
            }
            if (doc.is_object() && doc.contains("FileType") && doc["FileType"].is_string()) {
                try {
                    out.card = read_proxmark3(doc);
                } catch (const FieldError& e) {
                    error = "is not a Proxmark3 Mifare Classic dump: " + e.field + ": " + e.what;
                    return std::nullopt;
                }
                out.format = ImageFormat::Proxmark3;
                return out;
            }
            auto card = parse_tool_json(doc, error);
            if (!card) return std::nullopt;
            out.card = *card;
            out.format = ImageFormat::Json;
            return out;
        }
        if (start.substr(0, 9) == "Filetype:") {
            out.card = read_nfc(text);
            out.format = ImageFormat::Nfc;
            return out;
        }
        if (start.substr(0, 8) == "+Sector:") {
            out.card = read_mct(text);
            out.format = ImageFormat::Mct;
            return out;
        }
        if (looks_like_eml(text)) {
            out.card = read_eml(text);
            out.format = ImageFormat::Eml;
            return out;
        }
        if (bytes.size() == 4096) refuse_size("4K");
        if (bytes.size() == 2048) refuse_size("2K");
        if (bytes.size() == 320) refuse_size("Mini");
        if (raw_hint) {
            error = "is " + std::to_string(bytes.size()) +
                    " bytes; a 1K card image (.mfd, .bin) is exactly 1024";
            return std::nullopt;
        }
        if (hint == ImageFormat::Json || hint == ImageFormat::Proxmark3) {
            try {
                const json doc = json::parse(text);
                (void)doc;
                error = "is JSON but not a card dump";
            } catch (const json::exception& e) {
                error = std::string("is not JSON (") + e.what() + ")";
            }
            return std::nullopt;
        }
        error = "is " + std::to_string(bytes.size()) +
                " bytes and not a card image in any format tqrf knows: a raw image (.mfd, "
                ".bin) is exactly 1024 bytes; .eml, .nfc, .mct and JSON images are text";
        return std::nullopt;
    } catch (const LineError& e) {
        error = e.text;
        return std::nullopt;
    } catch (const json::exception& e) {
        error = std::string("is not a card image: ") + e.what();
        return std::nullopt;
    } catch (const std::exception& e) {
        error = std::string("is not a card image: ") + e.what();
        return std::nullopt;
    }
}

std::string write_image(const CardImage& image, ImageFormat format) {
    switch (format) {
        case ImageFormat::Mfd:
        case ImageFormat::Bin: {
            const Image raw = raw_bytes(image);
            return std::string(reinterpret_cast<const char*>(raw.data()), raw.size());
        }
        case ImageFormat::Eml:
            return write_eml(raw_bytes(image));
        case ImageFormat::Proxmark3:
            return write_proxmark3(image, raw_bytes(image));
        case ImageFormat::Nfc:
            return write_nfc(image);
        case ImageFormat::Mct:
            return write_mct(image);
        case ImageFormat::Json:
            return tool_json_text(image);
    }
    return {};
}

}  // namespace tqrf::image
