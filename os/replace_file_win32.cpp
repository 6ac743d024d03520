#include <windows.h>

#include <algorithm>
#include <atomic>

#include "replace_file.h"

namespace tqrf::files {

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace

int replace_file(const std::string& path, std::string_view bytes) {
    std::size_t slash = path.find_last_of("/\\");
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    // "C:name" is in the current folder of drive C.
    if (slash == std::string::npos && path.size() >= 2 && path[1] == ':') {
        slash = 1;
        folder = path.substr(0, 2) + ".";
    }
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string stem =
        folder + "\\." + base + ".tmp-" + std::to_string(GetCurrentProcessId()) + "-";
    // A name of its own: created new, never an existing file.
    static std::atomic<unsigned> serial{0};
    std::wstring temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = wide(stem + std::to_string(serial.fetch_add(1)));
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    auto give_up = [&](DWORD error) {
        CloseHandle(file);
        DeleteFileW(temp.c_str());
        return static_cast<int>(error);
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD n = 0;
        if (WriteFile(file, bytes.data() + done, chunk, &n, nullptr) == 0) {
            return give_up(GetLastError());
        }
        if (n == 0) return give_up(ERROR_WRITE_FAULT);
        done += n;
    }
    if (FlushFileBuffers(file) == 0) return give_up(GetLastError());
    CloseHandle(file);
    const std::wstring target = wide(path);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    // An existing file is replaced keeping its attributes and permissions; where the file
    // system cannot do that (or the file is new) the new one is moved over it.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        ReplaceFileW(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_WRITE_THROUGH, nullptr,
                     nullptr) != 0) {
        return 0;
    }
    if (MoveFileExW(temp.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        const DWORD error = GetLastError();
        DeleteFileW(temp.c_str());
        return static_cast<int>(error);
    }
    return 0;
}

std::string error_text(int error) {
    char buf[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(error), 0, buf, sizeof buf, nullptr);
    std::string out(buf, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? "error " + std::to_string(error) : out;
}

}  // namespace tqrf::files
