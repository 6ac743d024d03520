#include "support.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

bool valid_date(int year, int month, int day) {
    using namespace std::chrono;
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 &&
           year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                          std::chrono::day{static_cast<unsigned>(day)}}
               .ok();
}

bool valid(const DateTime& t) {
    return t.year >= 2000 && t.year <= 2099 && valid_date(t.year, t.month, t.day) && t.hour >= 0 &&
           t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59;
}

std::uint8_t to_bcd(int v) {
    return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
}

std::optional<int> from_bcd(std::uint8_t b) {
    if ((b >> 4) > 9 || (b & 0x0F) > 9) return std::nullopt;
    return (b >> 4) * 10 + (b & 0x0F);
}

std::optional<int> fixed_digits(std::string_view s, std::size_t pos, std::size_t count) {
    if (pos + count > s.size()) return std::nullopt;
    int v = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

}  // namespace

std::optional<std::vector<Key>> parse_key_list(std::string_view text, std::string& error) {
    std::vector<Key> keys;
    std::size_t line_no = 0;
    while (!text.empty()) {
        ++line_no;
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        line = trim(line);
        if (line.empty()) continue;
        auto key = Key::from_hex(line);
        if (!key) {
            error = "line " + std::to_string(line_no) + ": \"" + std::string(line) +
                    "\" is not a key of 12 hex digits";
            return std::nullopt;
        }
        if (std::find(keys.begin(), keys.end(), *key) == keys.end()) keys.push_back(*key);
    }
    return keys;
}

TrailerCheck check_trailer(const Block& trailer) {
    auto ac = mifare::AccessConditions::from_trailer(trailer);
    if (!ac) return TrailerCheck::InvalidBits;
    if (mifare::access_bits_frozen(ac->block[3])) return TrailerCheck::Frozen;
    return TrailerCheck::Ok;
}

const char* describe(TrailerCheck check) {
    switch (check) {
        case TrailerCheck::Ok:
            return "valid access bits";
        case TrailerCheck::InvalidBits:
            return "invalid access bits (their inverted copies do not match); the card would "
                   "block the whole sector for good";
        case TrailerCheck::Frozen:
            return "these access bits can never be changed again once written (no key may "
                   "write them)";
    }
    return "?";
}

int weekday_of(int year, int month, int day) {
    using namespace std::chrono;
    const sys_days date{std::chrono::year{year} / static_cast<unsigned>(month) /
                        static_cast<unsigned>(day)};
    return static_cast<int>(weekday{date}.iso_encoding());
}

std::optional<DateTime> parse_datetime(std::string_view text) {
    text = trim(text);
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' ||
        (text[10] != 'T' && text[10] != 't' && text[10] != ' ') || text[13] != ':' ||
        text[16] != ':') {
        return std::nullopt;
    }
    DateTime t;
    auto y = fixed_digits(text, 0, 4), mo = fixed_digits(text, 5, 2), d = fixed_digits(text, 8, 2),
         h = fixed_digits(text, 11, 2), mi = fixed_digits(text, 14, 2),
         s = fixed_digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    t.year = *y;
    t.month = *mo;
    t.day = *d;
    t.hour = *h;
    t.minute = *mi;
    t.second = *s;
    if (!valid(t)) return std::nullopt;
    t.weekday = weekday_of(t.year, t.month, t.day);
    return t;
}

DateTime local_now() {
    const std::time_t now = std::time(nullptr);
    int offset = 0;
    const std::tm tm = platform::local_time(now, offset);
    DateTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    t.weekday = weekday_of(t.year, t.month, t.day);
    return t;
}

std::string format_datetime(const DateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return buf;
}

std::array<std::uint8_t, 7> encode_clock(const DateTime& t) {
    return {to_bcd(t.second), to_bcd(t.minute),  to_bcd(t.hour),      to_bcd(t.day),
            to_bcd(t.month),  to_bcd(t.weekday), to_bcd(t.year % 100)};
}

std::optional<DateTime> decode_clock(const std::array<std::uint8_t, 7>& bytes) {
    std::array<int, 7> v{};
    for (std::size_t i = 0; i < 7; ++i) {
        auto d = from_bcd(bytes[i]);
        if (!d) return std::nullopt;
        v[i] = *d;
    }
    DateTime t;
    t.second = v[0];
    t.minute = v[1];
    t.hour = v[2];
    t.day = v[3];
    t.month = v[4];
    t.weekday = v[5];
    t.year = 2000 + v[6];
    if (!valid(t) || t.weekday < 1 || t.weekday > 7) return std::nullopt;
    return t;
}

// The library's one mapping of "COMn" (tqrf::com_port_path()); any other name is a path.
std::string platform::device_for_port(std::string_view port) {
    const std::string name(port);
    auto path = tqrf::com_port_path(name);
    return path ? std::move(*path) : name;
}

std::string device_for_port(std::string_view port) {
    return platform::device_for_port(port);
}

Image demo_card_image() {
    Image image{};
    const std::uint8_t uid[4] = {0x3A, 0x7C, 0x91, 0xE5};
    Block b0;
    std::copy(uid, uid + 4, b0.begin());
    b0[4] = static_cast<std::uint8_t>(uid[0] ^ uid[1] ^ uid[2] ^ uid[3]);  // BCC
    b0[5] = 0x08;                                                          // SAK
    b0[6] = 0x04;                                                          // ATQA
    b0[7] = 0x00;
    const char maker[] = "TQRF-DEMO";
    std::copy(maker, maker + 8, b0.begin() + 8);
    set_image_block(image, 0, b0);
    auto text_block = [](const char* text) {
        Block b;
        for (std::size_t i = 0; i < 16 && text[i] != 0; ++i) {
            b[i] = static_cast<std::uint8_t>(text[i]);
        }
        return b;
    };
    set_image_block(image, 1, text_block("Hello from tqrf!"));
    set_image_block(image, 2, text_block("demo card, 1K"));
    set_image_block(image, 4, mifare::ValueBlock{100, 4}.encode());
    set_image_block(image, 8, text_block("locked sector"));
    for (int s = 0; s < mifare::kSectors; ++s) {
        Block trailer =
            mifare::make_trailer(kDefaultKey, mifare::AccessConditions::transport(), kDefaultKey);
        if (s == 2) {
            trailer =
                mifare::make_trailer(kDemoKeyA, mifare::AccessConditions{{4, 4, 4, 3}}, kDemoKeyB);
        }
        set_image_block(image, mifare::trailer_of(s), trailer);
    }
    return image;
}

std::optional<unsigned long long> parse_number(std::string_view text, unsigned long long max) {
    text = trim(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    unsigned long long v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
    if (ec != std::errc{} || end != text.data() + text.size() || v > max) return std::nullopt;
    return v;
}

std::optional<long long> parse_signed(std::string_view text, long long min, long long max) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    // Up to 2^63: the magnitude of the most negative value.
    const auto magnitude = parse_number(text, 9223372036854775808ULL);
    if (!magnitude) return std::nullopt;
    if (!negative && *magnitude > 9223372036854775807ULL) return std::nullopt;
    const long long v =
        negative ? static_cast<long long>(0 - *magnitude) : static_cast<long long>(*magnitude);
    if (v < min || v > max) return std::nullopt;
    return v;
}

}  // namespace tqrf::tool
