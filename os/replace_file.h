// Writing a file whole or not at all: the bytes go to a temporary file in the same folder,
// which is renamed over the file only once it is complete and flushed, so that the file holds
// either its old content or the new one, never a part. A new file is readable and writable by
// its owner only; an existing one keeps its permissions. One backend file per platform
// (replace_file_posix.cpp, replace_file_win32.cpp); the build picks one.
#pragma once

#include <string>
#include <string_view>

namespace tqrf::files {

// 0, or the system's error code (errno, GetLastError()) with the temporary file removed.
int replace_file(const std::string& path, std::string_view bytes);

// The system's text for an error code replace_file() gave.
std::string error_text(int error);

}  // namespace tqrf::files
