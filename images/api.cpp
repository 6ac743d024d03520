// The public face of the image library: loading and saving by bytes or by file.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "codec.h"
#include "os/replace_file.h"

namespace tqrf::image {

bool block_known(const CardImage& image, int block) noexcept {
    return block >= 0 && block < mifare::kBlocks && image.read[static_cast<std::size_t>(block)];
}

bool key_known(const CardImage& image, int sector, KeyType key) noexcept {
    return sector >= 0 && sector < mifare::kSectors &&
           image.key_known[static_cast<std::size_t>(sector)][key == KeyType::A ? 0 : 1];
}

std::optional<mifare::AccessConditions> access_conditions(const CardImage& image, int sector) {
    if (sector < 0 || sector >= mifare::kSectors) return std::nullopt;
    const int t = mifare::trailer_of(sector);
    if (!image.read[static_cast<std::size_t>(t)]) return std::nullopt;
    return mifare::AccessConditions::from_trailer(image_block(image.image, t));
}

std::optional<ImageFile> load(std::string_view bytes, std::optional<Format> format,
                              std::string& error) {
    auto file = read_image(bytes, format, error);
    if (!file || !format) return file;
    const bool raw = *format == Format::Mfd || *format == Format::Bin;
    const bool found_raw = file->format == Format::Mfd || file->format == Format::Bin;
    if (raw && found_raw) return file;
    if (file->format != *format) {
        error = std::string("is a ") + format_name(file->format) + " image, not " +
                format_name(*format);
        return std::nullopt;
    }
    return file;
}

std::optional<ImageFile> load_named(std::string_view bytes, std::string_view name,
                                    std::string& error) {
    return read_image(bytes, format_of_path(name), error);
}

std::optional<ImageFile> load_file(const std::string& path, std::optional<Format> format,
                                   std::string& error) {
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = std::string("cannot be read: ") + std::strerror(errno);
            return std::nullopt;
        }
        // A stream on a directory opens on some systems and throws or fails on the first read.
        try {
            char buf[4096];
            while (in.read(buf, sizeof buf) || in.gcount() > 0) {
                bytes.append(buf, static_cast<std::size_t>(in.gcount()));
                if (bytes.size() > detail::kMaxText) {
                    error = "is larger than " + std::to_string(detail::kMaxText) +
                            " bytes; no card image is that large";
                    return std::nullopt;
                }
            }
        } catch (const std::exception&) {
            in.setstate(std::ios::badbit);
        }
        if (in.bad()) {
            error = "cannot be read";
            return std::nullopt;
        }
    }
    if (format) return load(bytes, format, error);
    return load_named(bytes, path, error);
}

std::string save(const CardImage& image, Format format) {
    return write_image(image, format);
}

bool save_file(const std::string& path, const CardImage& image, std::optional<Format> format,
               std::string& error) {
    if (!format) format = format_of_path(path);
    if (!format) {
        error = std::string("the name tells no format: use a ") + format_extensions() +
                " name, or name the format";
        return false;
    }
    const int e = files::replace_file(path, write_image(image, *format));
    if (e != 0) {
        error = "cannot be written: " + files::error_text(e);
        return false;
    }
    return true;
}

}  // namespace tqrf::image
