// Pure helpers of the tqrf tool: key dictionaries, card images, restore checks, clock bytes and
// dates, port names. Nothing here touches a reader; tests/cli tests these directly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "images.h"
#include "tq_RWD_DLL_mifare.hpp"

namespace tqrf::tool {

// A key dictionary: one key of 12 hex digits per line; '#' starts a comment; blank lines and
// surrounding blanks are ignored; duplicates are dropped (first one kept). On a bad line gives
// nullopt and sets `error` to "line N: ...".
std::optional<std::vector<Key>> parse_key_list(std::string_view text, std::string& error);

// What restore makes of a trailer in an image.
enum class TrailerCheck {
    Ok,           // valid access bits; the sector stays configurable
    InvalidBits,  // the inverted copies do not match: the card would block the sector for good
    Frozen,       // valid, but no key could ever change the access bits again
};
TrailerCheck check_trailer(const Block& trailer);
const char* describe(TrailerCheck check);

// A calendar time as the reader's clock holds it.
struct DateTime {
    int year = 2000;  // 2000 to 2099
    int month = 1;    // 1 to 12
    int day = 1;      // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 0;  // 1 = Monday .. 7 = Sunday; 0 when unknown
};

// Parses "YYYY-MM-DDTHH:MM:SS" (a space instead of 'T' is accepted) and checks the calendar.
std::optional<DateTime> parse_datetime(std::string_view text);
// The host's local time now.
DateTime local_now();
std::string format_datetime(const DateTime& t);  // "YYYY-MM-DDTHH:MM:SS"
int weekday_of(int year, int month, int day);    // 1 = Monday .. 7 = Sunday

// The reader's seven clock bytes, two BCD digits each: seconds, minutes, hours, day of month,
// month, day of week (1 = Monday .. 7 = Sunday), year within the century (2000 to 2099).
std::array<std::uint8_t, 7> encode_clock(const DateTime& t);
std::optional<DateTime> decode_clock(const std::array<std::uint8_t, 7>& bytes);

// The device a port name stands for: "COMn" opens /dev/ttyS(n-1) on this platform; anything
// else is a path as given.
std::string device_for_port(std::string_view port);

// The demo card that --simulate places in the field: UID 3A7C91E5; text in blocks 1 and 2; a
// value block of 100 in block 4 (sector 1, factory keys); sector 2 locked with key A
// A0A1A2A3A4A5 and key B B0B1B2B3B4B5 (data: read with either key, write with key B); every
// other sector as shipped (factory keys, transport access bits).
Image demo_card_image();
inline constexpr Key kDemoKeyA{{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}};
inline constexpr Key kDemoKeyB{{0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5}};

// Parses a decimal or 0x-prefixed hexadecimal unsigned number up to `max`. A leading zero
// never makes it octal: "010" is ten.
std::optional<unsigned long long> parse_number(std::string_view text, unsigned long long max);

// The same with an optional '-' sign, within [min, max].
std::optional<long long> parse_signed(std::string_view text, long long min, long long max);

}  // namespace tqrf::tool
