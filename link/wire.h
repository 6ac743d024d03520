// Every constant of the serial wire protocol and of the port set-up, named once.
#pragma once

#include <cstdint>

namespace tqrf {

// The address byte sent, with mark parity, before every request frame.
inline constexpr std::uint8_t READER_ADDRESS = 0x58;
// The first byte of every command payload.
inline constexpr std::uint8_t COMMAND_LEAD = 0xBB;
// The pause between sending a request and reading its reply, in milliseconds.
inline constexpr std::uint32_t REPLY_WAIT_MS = 40;
// The pause between the address byte and the frame, in milliseconds.
inline constexpr std::uint32_t ADDRESS_PAUSE_MS = 1;
// The most extra time a reader may be given for its reply in complete mode, in milliseconds.
inline constexpr std::uint32_t REPLY_SLACK_MAX_MS = 1000;
// Attempts in all a handle may make for a command whose reply was lost (TQRF_OPTION_ATTEMPTS).
inline constexpr std::uint32_t ATTEMPTS_MAX = 10;
// After an exchange that may have left a reply on its way, the line must stay quiet this long
// before the next request goes out (bounded by that request's own reply deadline).
inline constexpr std::uint32_t SETTLE_QUIET_MS = 20;

// A frame is LEN (2 bytes, most significant first), the payload and one XOR byte.
inline constexpr std::uint32_t FRAME_OVERHEAD = 3;
// A request frame is built in a buffer of this size: payloads up to 101 bytes.
inline constexpr std::uint32_t REQUEST_FRAME_MAX = 104;
inline constexpr std::uint32_t REQUEST_PAYLOAD_MAX = REQUEST_FRAME_MAX - FRAME_OVERHEAD;
// A reply is read in one piece of at most this many bytes: payloads up to 102 bytes.
inline constexpr std::uint32_t REPLY_FRAME_MAX = 105;
// The smallest valid reply: LEN, one status byte, XOR.
inline constexpr std::uint32_t REPLY_FRAME_MIN = 4;
// Data bytes a reply can carry at most: the frame less LEN, status byte and XOR.
inline constexpr std::uint32_t REPLY_DATA_MAX = REPLY_FRAME_MAX - REPLY_FRAME_MIN;
// Position of the first data byte in a reply frame.
inline constexpr std::uint32_t REPLY_DATA_OFFSET = 2;

// Line modes (link/link.h): the frame and the port's resting mode use space parity, the address
// byte mark parity, both at this rate with 8 data bits and 1 stop bit; tqrf_BaudSetup appends
// the no-parity suffix to the caller's rate.
inline constexpr std::uint32_t LINE_RATE = 19200;
inline constexpr const char* MODE_BAUD_SUFFIX = ",N,8,1";
// tqrf_BaudSetup composes its mode string in a buffer of this size, terminator included.
inline constexpr std::uint32_t MODE_STRING_MAX = 40;

// Driver queue sizes, in bytes.
inline constexpr std::uint32_t PORT_QUEUE_BYTES = 400;

// The command codes are in the command table, link/commands.h.

// Parameter values of the card commands.
inline constexpr std::uint8_t REQUEST_IDLE = 0x26;  // REQA: idle cards only
inline constexpr std::uint8_t REQUEST_ALL = 0x52;   // WUPA: halted cards too
inline constexpr std::uint8_t KEY_TYPE_A = 0x60;
inline constexpr std::uint8_t KEY_TYPE_B = 0x61;
inline constexpr std::uint8_t BLOCK_MASK = 0x3F;
inline constexpr std::uint8_t SECTOR_MASK = 0x0F;
inline constexpr std::uint8_t E2_WRITE_ADDRESS_MASK = 0x7F;
// The fixed parameter byte of reset, link test and E2PROM write.
inline constexpr std::uint8_t FIXED_PARAMETER = 0x55;
// Beep durations are in units of 10 ms and limited to 2.4 s.
inline constexpr std::uint8_t BEEP_DURATION_MAX = 240;
inline constexpr std::uint32_t BEEP_UNIT_MS = 10;

// Sizes of the caller's fixed buffers.
inline constexpr std::uint32_t CARD_TYPE_BYTES = 2;
inline constexpr std::uint32_t SERIAL_BYTES = 4;
inline constexpr std::uint32_t SIZE_BYTES = 1;
inline constexpr std::uint32_t KEY_BYTES = 6;
inline constexpr std::uint32_t BLOCK_BYTES = 16;
inline constexpr std::uint32_t VALUE_BYTES = 4;
inline constexpr std::uint32_t E2_WRITE_BYTES = 16;
inline constexpr std::uint32_t CLOCK_BYTES = 7;

}  // namespace tqrf
