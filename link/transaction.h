// The command transaction every reader command runs: send, pause, take the reply, validate.
#pragma once

#include <cstdint>

namespace tqrf {

// Sends `payload` behind the reader's address, pauses `wait_ms`, then takes and validates the
// reply into `reply` (REPLY_FRAME_MAX bytes). Returns the reply's status byte (0 to 255) with
// the whole valid frame in `reply`, or ERR_SEND_FAILED (no pause made), ERR_REPLY_CHECKSUM or
// ERR_REPLY_FRAME. The port must be open.
int transact_command(const std::uint8_t* payload, std::uint16_t length, std::uint8_t* reply,
                     std::uint32_t wait_ms);

}  // namespace tqrf
