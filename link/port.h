// Port control: opening, configuring and closing a reader's port.
#pragma once

#include "link/reader.h"

namespace tqrf {

// TQRF_ERR_PORT_NOT_OPEN when the default reader has no port open, 0 otherwise.
int port_is_open();

// Converts text to an integer with the rules of atoi: leading blanks skipped, optional sign,
// decimal digits up to the first non-digit, 0 without digits. Values beyond the range of a
// 32-bit int saturate instead of overflowing.
int parse_port_number(const char* text);

}  // namespace tqrf
