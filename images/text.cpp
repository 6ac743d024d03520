// Text and hex helpers of the text formats, and their refusals.
#include <algorithm>
#include <cstdio>

#include "codec.h"

namespace tqrf::image::detail {

std::string hex2(unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view without_bom(std::string_view s) {
    if (s.size() >= 3 && static_cast<unsigned char>(s[0]) == 0xEF &&
        static_cast<unsigned char>(s[1]) == 0xBB && static_cast<unsigned char>(s[2]) == 0xBF) {
        s.remove_prefix(3);
    }
    return s;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out.push_back(line);
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return out;
}

void fail_at(std::size_t line_index, const std::string& what) {
    throw LineError{"line " + std::to_string(line_index + 1) + ": " + what};
}

const char* const kOnly1K = "the reader addresses blocks 0 to 63 only (Mifare Classic 1K)";

void refuse_size(const std::string& kind) {
    throw LineError{"is a Mifare Classic " + kind + " image; " + kOnly1K};
}

bool all_hex(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return hex_digit(c) >= 0; });
}

}  // namespace tqrf::image::detail
