#include "link/frame.h"

#include "link/wire.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

std::uint8_t frame_checksum(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) sum ^= bytes[i];
    return sum;
}

std::uint32_t frame_encode(const std::uint8_t* payload, std::uint16_t length, std::uint8_t* out,
                           std::uint32_t capacity) {
    const std::uint32_t size = std::uint32_t{length} + FRAME_OVERHEAD;
    if (size > capacity) return 0;
    out[0] = static_cast<std::uint8_t>(length >> 8);
    out[1] = static_cast<std::uint8_t>(length & 0xFF);
    for (std::uint32_t i = 0; i < length; ++i) out[2 + i] = payload[i];
    out[size - 1] = frame_checksum(out, size - 1);
    return size;
}

int frame_check(const std::uint8_t* bytes, std::uint32_t count) {
    if (count < REPLY_FRAME_MIN) return TQRF_ERR_REPLY_FRAME;
    const std::uint32_t announced = (std::uint32_t{bytes[0]} << 8) | bytes[1];
    if (count != announced + FRAME_OVERHEAD) return TQRF_ERR_REPLY_FRAME;
    if (frame_checksum(bytes, count) != 0) return TQRF_ERR_REPLY_CHECKSUM;
    return 0;
}

}  // namespace tqrf
