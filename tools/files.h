// Files of the tool: inputs read with a clear message for every way they can be unreadable,
// outputs written whole or not at all.
#pragma once

#include <string>
#include <string_view>

namespace tqrf::tool {

// Reads a whole input file. `what` names it in messages ("key file", "image"). Throws a usage
// error (exit 2) when it is missing, a directory, not readable, or larger than `max_bytes`.
std::string read_input_file(const std::string& path, const char* what, std::size_t max_bytes);

// Throws a usage error when `path` cannot be an output file: its folder is missing or it is a
// directory. Called before the work whose result goes there.
void check_output_path(const std::string& path);

// Writes `bytes` to a temporary file in the folder of `path` and renames it over `path` only
// once it is complete and flushed, so that `path` holds either its old content or the new one,
// never a part. A new file is readable and writable by its owner only (images hold keys); an
// existing one keeps its permissions. Throws CommandError (exit 1) on failure, with the
// temporary file removed.
void write_file_atomically(const std::string& path, std::string_view bytes);

}  // namespace tqrf::tool
