#include "files.h"

#include "errors.h"
#include "os/replace_file.h"
#include "platform.h"

namespace tqrf::tool {

std::string read_input_file(const std::string& path, const char* what, std::size_t max_bytes) {
    const std::string name = std::string(what) + " " + path;
    std::string out;
    int os_error = 0;
    switch (platform::read_file(path, max_bytes, out, os_error)) {
        case platform::ReadStatus::Ok:
            return out;
        case platform::ReadStatus::Directory:
            throw usage_error("cannot read " + name + ": it is a directory");
        case platform::ReadStatus::TooLarge:
            throw usage_error("cannot read " + name + ": larger than any " + what + " (" +
                              std::to_string(max_bytes) + " bytes)");
        case platform::ReadStatus::Failed:
            break;
    }
    throw usage_error("cannot read " + name + ": " + platform::error_text(os_error));
}

void check_output_path(const std::string& path) {
    if (path.empty()) throw usage_error("the output file name is empty");
    if (platform::path_kind(path) == platform::PathKind::Directory) {
        throw usage_error("cannot write " + path + ": it is a directory");
    }
    const std::string folder = platform::folder_of(path);
    if (platform::path_kind(folder) != platform::PathKind::Directory) {
        throw usage_error("cannot write " + path + ": the folder " + folder + " does not exist");
    }
}

void write_file_atomically(const std::string& path, std::string_view bytes) {
    const int error = tqrf::files::replace_file(path, bytes);
    if (error != 0) {
        throw CommandError("write_failed", "cannot write " + path + ": " +
                                               platform::error_text(error) +
                                               " (the file was left as it was)");
    }
}

}  // namespace tqrf::tool
