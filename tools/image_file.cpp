#include "image_file.h"

#include "errors.h"

namespace tqrf::tool {

ImageFormat choose_format(const std::string& path, const std::string& format_option) {
    if (!format_option.empty()) {
        if (auto f = parse_format(format_option)) return *f;
        throw usage_error(std::string("--format takes ") + format_names() + ", not \"" +
                          format_option + "\"");
    }
    if (auto f = format_of_path(path)) return *f;
    throw usage_error("cannot tell the format of " + path + " from its name: use a " +
                      format_extensions() + " file name, or --format (" + format_names() + ")");
}

std::optional<ImageFormat> input_format_hint(const std::string& path,
                                             const std::string& format_option) {
    if (!format_option.empty()) return choose_format(path, format_option);
    return format_of_path(path);
}

std::string image_file_bytes(const CardDump& dump, ImageFormat format) {
    if (format == ImageFormat::Json) return dump_document(dump).dump(2) + "\n";
    return write_image(card_image_of(dump), format);
}

std::optional<CardImage> parse_image_file(std::string_view bytes, std::optional<ImageFormat> hint,
                                          std::string& error) {
    auto file = read_image(bytes, hint, error);
    if (!file) return std::nullopt;
    return file->card;
}

}  // namespace tqrf::tool
