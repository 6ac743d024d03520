// Structures that grow: a public structure that begins with a uint32_t size is filled only as
// far as the caller's size reaches, so programs built against an older, smaller layout and
// programs built against a newer, larger one are served alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tqrf::sized {

// Copies into `out`, a caller's structure of `out_size` bytes, the fields of `full` (this
// library's whole structure, its uint32_t size first) that end at or before `out_size`;
// `field_ends` lists where each field after the size ends, in order. The size field itself is
// never written. Bytes of `out` past sizeof(T) up to `out_size` (fields of a newer layout) are
// set to 0; a field that `out_size` cuts, and everything past `out_size`, are left as they were.
template <class T, std::size_t N>
void copy_fitting(void* out, std::size_t out_size, const T& full,
                  const std::size_t (&field_ends)[N]) {
    constexpr std::size_t head = sizeof(std::uint32_t);
    std::size_t fit = head;
    for (const std::size_t end : field_ends) {
        if (end <= out_size) fit = std::max(fit, end);
    }
    auto* bytes = static_cast<unsigned char*>(out);
    std::memcpy(bytes + head, reinterpret_cast<const unsigned char*>(&full) + head, fit - head);
    if (out_size > sizeof(T)) std::memset(bytes + sizeof(T), 0, out_size - sizeof(T));
}

}  // namespace tqrf::sized
