// The MIFARE Application Directory (version 1) in sector 0.
#include "image_formats.h"

namespace tqrf::image {

std::uint8_t mad_crc(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t crc = 0xC7;  // x^8 + x^4 + x^3 + x^2 + 1, preset C7
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x1D : crc << 1);
        }
    }
    return crc;
}

std::optional<Mad> find_mad(const CardImage& img) {
    if (!img.read[1] || !img.read[2] || !img.read[3]) return std::nullopt;
    const Block trailer = image_block(img.image, 3);
    const std::uint8_t gpb = trailer[9];
    if ((gpb & 0x80) == 0 || (gpb & 0x03) == 0) return std::nullopt;
    Mad m;
    m.version = gpb & 0x03;
    std::array<std::uint8_t, 32> bytes{};
    const Block b1 = image_block(img.image, 1), b2 = image_block(img.image, 2);
    std::copy(b1.begin(), b1.end(), bytes.begin());
    std::copy(b2.begin(), b2.end(), bytes.begin() + 16);
    m.crc = bytes[0];
    m.info = bytes[1];
    m.crc_computed = mad_crc(bytes.data() + 1, 31);
    m.crc_ok = m.crc == m.crc_computed;
    for (std::size_t i = 0; i < 15; ++i) {
        m.aid[i] = static_cast<std::uint16_t>(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
    }
    return m;
}

const char* mad_aid_name(std::uint16_t aid) {
    switch (aid) {
        case 0x0000:
            return "free";
        case 0x0001:
            return "defect";
        case 0x0002:
            return "reserved";
        case 0x0003:
            return "additional directory info";
        case 0x0004:
            return "card holder info";
        case 0x0005:
            return "not applicable";
        case 0xE103:
            return "NFC Forum NDEF";
        default:
            return "";
    }
}

}  // namespace tqrf::image
