// Port control: the library's one piece of state, the open port.
#pragma once

#include "link/serial.h"

namespace tqrf {

// The open serial device; null when no port is open. Set only by tqrf_init / tqrf_init_device,
// cleared only by tqrf_exit.
extern serial::Device* port_handle;

// ERR_PORT_NOT_OPEN when no port is open, 0 otherwise. Every command calls it first.
int port_is_open();

// Converts text to an integer with the rules of atoi: leading blanks skipped, optional sign,
// decimal digits up to the first non-digit, 0 without digits. Values beyond the range of a
// 32-bit int saturate instead of overflowing.
int parse_port_number(const char* text);

}  // namespace tqrf
