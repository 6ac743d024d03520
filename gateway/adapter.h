// What a reader's port is, in a few words, for its status: the adapter as the system lists it
// (its description, USB vendor and product, driver), "pseudo-terminal" for a simulated reader
// or a network bridge, "serial" for a port the system does not list.
#pragma once

#include <string>
#include <vector>

#include "tq_RWD_DLL.hpp"

namespace tqrf::gateway {

// The listing's entry for `port`: by device or stable path, else by the device both lead to.
// Null when none.
const PortInfo* listed_port(const std::vector<PortInfo>& ports, const std::string& port);

// "FT232R USB UART (FTDI), USB 0403:6001, driver ftdi_sio"; see above.
std::string adapter_text(const PortInfo* listed, const std::string& port);

// adapter_text() over the system's listing now.
std::string adapter_of(const std::string& port);

}  // namespace tqrf::gateway
