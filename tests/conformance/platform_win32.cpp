#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "tests/conformance/platform.h"

namespace tqrf::conformance {

const Platform& platform() {
    static const Platform p{
        "Windows",
        ERROR_FILE_NOT_FOUND,
        ERROR_NOT_ENOUGH_MEMORY,
        {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION},
        {ERROR_NOT_READY, ERROR_DEVICE_REMOVED, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED},
        "\\\\.\\COM5"};
    return p;
}

std::string scratch_path(const char* stem) {
    char folder[MAX_PATH + 1] = {};
    const DWORD n = GetTempPathA(sizeof folder, folder);
    std::string path = n > 0 && n < sizeof folder ? folder : ".\\";
    return path + stem + "-" + std::to_string(GetCurrentProcessId()) + ".txt";
}

bool readable_by_others(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

void remove_file(const std::string& path) {
    (void)DeleteFileA(path.c_str());
}

}  // namespace tqrf::conformance
