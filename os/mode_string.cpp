#include "os/mode_string.h"

namespace tqrf::serial {

namespace {

struct Cursor {
    const char* p;
    const char* end;

    bool at_end() const { return p == end || *p == '\0'; }
    char peek() const { return at_end() ? '\0' : *p; }
    void skip_blanks() {
        while (!at_end() && (*p == ' ' || *p == '\t')) ++p;
    }
    bool take(char c) {
        if (peek() != c) return false;
        ++p;
        return true;
    }
};

bool parse_rate(Cursor& c, std::uint32_t* rate) {
    std::uint64_t value = 0;
    int digits = 0;
    while (c.peek() >= '0' && c.peek() <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(c.peek() - '0');
        if (value > 0xFFFFFFFFu) return false;
        ++c.p;
        ++digits;
    }
    if (digits == 0 || value == 0) return false;
    *rate = static_cast<std::uint32_t>(value);
    return true;
}

bool parse_parity(Cursor& c, Parity* parity) {
    switch (c.peek()) {
        case 'N':
        case 'n':
            *parity = Parity::None;
            break;
        case 'M':
        case 'm':
            *parity = Parity::Mark;
            break;
        case 'S':
        case 's':
            *parity = Parity::Space;
            break;
        case 'E':
        case 'e':
            *parity = Parity::Even;
            break;
        case 'O':
        case 'o':
            *parity = Parity::Odd;
            break;
        default:
            return false;
    }
    ++c.p;
    return true;
}

bool parse_data_bits(Cursor& c, std::uint8_t* bits) {
    const char d = c.peek();
    if (d < '5' || d > '8') return false;
    ++c.p;
    *bits = static_cast<std::uint8_t>(d - '0');
    return true;
}

bool parse_stop_bits(Cursor& c, std::uint8_t* tenths) {
    if (c.take('1')) {
        if (c.take('.')) {
            if (!c.take('5')) return false;
            *tenths = 15;
        } else {
            *tenths = 10;
        }
        return true;
    }
    if (c.take('2')) {
        *tenths = 20;
        return true;
    }
    return false;
}

bool comma(Cursor& c) {
    c.skip_blanks();
    if (!c.take(',')) return false;
    c.skip_blanks();
    return true;
}

}  // namespace

void format_mode(const LineMode& mode, char* out) {
    char digits[10];
    int n = 0;
    std::uint32_t rate = mode.rate;
    do {
        digits[n++] = static_cast<char>('0' + rate % 10);
        rate /= 10;
    } while (rate != 0);
    char* p = out;
    while (n > 0) *p++ = digits[--n];
    static constexpr char letters[] = {'N', 'M', 'S', 'E', 'O'};
    const auto parity = static_cast<std::size_t>(mode.parity);
    *p++ = ',';
    *p++ = parity < sizeof letters ? letters[parity] : '?';
    *p++ = ',';
    *p++ = static_cast<char>('0' + mode.data_bits % 10);
    *p++ = ',';
    *p++ = mode.stop_tenths == 20 ? '2' : '1';
    if (mode.stop_tenths == 15) {
        *p++ = '.';
        *p++ = '5';
    }
    *p = '\0';
}

bool parse_mode_string(const char* text, LineMode* out, std::size_t max_len) {
    if (text == nullptr || out == nullptr) return false;
    std::size_t len = 0;
    while (len < max_len && text[len] != '\0') ++len;
    if (len == max_len) return false;  // no terminator within reach: not a mode string
    Cursor c{text, text + len};
    LineMode mode;
    c.skip_blanks();
    if (!parse_rate(c, &mode.rate)) return false;
    if (!comma(c) || !parse_parity(c, &mode.parity)) return false;
    if (!comma(c) || !parse_data_bits(c, &mode.data_bits)) return false;
    if (!comma(c) || !parse_stop_bits(c, &mode.stop_tenths)) return false;
    c.skip_blanks();
    if (!c.at_end()) return false;
    *out = mode;
    return true;
}

}  // namespace tqrf::serial
