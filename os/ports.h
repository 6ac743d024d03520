// Finding the reader: the serial ports the system knows, and what an open failure means. The
// platform part is one backend file per platform (ports_linux.cpp, ports_win32.cpp); the build
// picks one. Listing is not a command: it may allocate.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tqrf::ports {

// One port as the platform backend found it.
struct PortEntry {
    std::string device;       // what to open
    std::string stable_path;  // "" when none
    std::string description;
    std::int32_t transport = 3;  // TQRF_TRANSPORT_*
    std::int32_t usb_vendor_id = -1;
    std::int32_t usb_product_id = -1;
    std::string serial_number;
    std::string manufacturer;
    std::string product;
    std::string driver;
    std::int32_t mark_space = -1;  // TQRF_MARK_SPACE_*
};

// Appends the system's serial ports to `out`, in no particular order. False when the system's
// list could not be read at all (an empty list is not a failure).
bool list_platform_ports(std::vector<PortEntry>& out);

// Whether another process has the device `path` open, as far as this process may see (on Linux
// the descriptors under /proc of the processes it may inspect: all of them for root, its user's
// otherwise). A program that holds a port without locking it is then never written to. False
// where the system enforces exclusive opens itself (Windows).
bool held_by_another_process(const char* path);

// What a failed open's operating-system error means: one of TQRF_PROBE_MISSING,
// _NO_PERMISSION, _BUSY, _NOT_SERIAL, _OPEN_FAILED.
std::int32_t open_failure_outcome(std::int32_t os_error);

// Whether `driver` (and, for a CP210x, the chip its USB `product` string names) is known to
// carry mark and space parity: TQRF_MARK_SPACE_YES, _NO or _UNKNOWN. Linux driver names and
// Windows driver services alike; case does not matter.
std::int32_t mark_space_support(const std::string& driver, const std::string& product);

// Orders port names as a person would: "ttyS2" before "ttyS10", "COM2" before "COM10".
bool natural_less(const std::string& a, const std::string& b);

}  // namespace tqrf::ports
