// The command transaction every reader command runs: send, wait for the reply, take it,
// validate it.
#pragma once

#include <cstdint>

#include "link/reader.h"

namespace tqrf {

// Sends `payload` behind the reader's address and takes the reply into `reply`
// (REPLY_FRAME_MAX bytes): in fixed mode after a pause of `wait_ms`, in complete mode as soon
// as it is complete, within `wait_ms` plus the reader's slack. Returns the reply's status
// byte (0 to 255) with the whole valid frame in `reply`, or TQRF_ERR_SEND_FAILED (no wait made),
// TQRF_ERR_REPLY_CHECKSUM or TQRF_ERR_REPLY_FRAME. The port must be open and the reader's lock
// held.
int transact_command(tqrf_reader& reader, const std::uint8_t* payload, std::uint16_t length,
                     std::uint8_t* reply, std::uint32_t wait_ms);

// transact_command() on the default reader.
int transact_command(const std::uint8_t* payload, std::uint16_t length, std::uint8_t* reply,
                     std::uint32_t wait_ms);

}  // namespace tqrf
