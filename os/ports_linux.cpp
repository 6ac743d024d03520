// Serial ports on Linux, read from sysfs as the kernel shows them (no udev library):
//   /sys/class/tty/NAME            -> /sys/devices/.../NAME/tty/NAME (the tty's own folder)
//   /sys/class/tty/NAME/device     the hardware behind it; absent for virtual terminals and
//                                  pseudo-terminals, which are left out (rfcomm aside)
//   .../device/subsystem           usb-serial (the port of a USB-serial adapter; its USB
//                                  interface is the parent folder, the USB device the
//                                  grandparent), usb (cdc_acm: the interface itself), platform,
//                                  pnp, pci, amba (UARTs of the computer)
//   .../device/driver              the kernel driver (ftdi_sio, cp210x, serial8250, ...)
//   /sys/class/tty/NAME/type       the UART type of a serial-core port: 0 when no UART answered
//                                  at its address (a built-in port without hardware)
//   /dev/serial/by-id/*            udev's stable names, symbolic links to ../../NAME
// TQRF_DEVICE_ROOT moves the whole tree (sys/ and dev/) into another folder, for tests.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "os/digits.h"
#include "os/ports.h"
#include "tq_RWD_DLL.h"

namespace tqrf::ports {

namespace {

// Device numbers of pseudo-terminal slaves (/dev/pts/N): majors 136 to 143.
constexpr unsigned int PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned int PTY_SLAVE_MAJOR_LAST = 143;

// A sysfs attribute is one short line.
constexpr std::size_t ATTRIBUTE_MAX = 256;

std::string device_root() {
    const char* root = std::getenv("TQRF_DEVICE_ROOT");
    std::string r = root != nullptr ? root : "";
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The path with every link resolved; "" when it does not exist.
std::string resolved(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return "";
    return buffer;
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The last part of where the link `path` leads ("" when it is no link).
std::string link_name(const std::string& path) {
    const std::string target = resolved(path);
    return target.empty() ? "" : base_name(target);
}

// The last part of what the link `path` holds, one step only ("../../ttyUSB0" gives
// "ttyUSB0", whatever ttyUSB0 is in turn); "" when it is no link.
std::string link_target_name(const std::string& path) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) return "";
    return base_name(std::string(buffer, static_cast<std::size_t>(n)));
}

// One attribute file, without its line end and surrounding blanks; "" when it is missing.
std::string attribute(const std::string& folder, const char* name) {
    const std::string path = folder + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return "";
    char buffer[ATTRIBUTE_MAX];
    ssize_t n;
    do {
        n = ::read(fd, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    (void)::close(fd);
    if (n <= 0) return "";
    std::string text(buffer, static_cast<std::size_t>(n));
    const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.back())) text.pop_back();
    std::size_t start = 0;
    while (start < text.size() && blank(text[start])) ++start;
    return text.substr(start);
}

// A number as sysfs writes it (decimal, or hexadecimal with 0x); -1 when it is not one.
long long number(const std::string& text) {
    if (text.empty()) return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') return -1;
    return value;
}

std::vector<std::string> folder_entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    (void)::closedir(dir);
    return names;
}

// udev's by-id name of the tty NAME: the first, in name order, of the links that lead to it.
std::string stable_name(const std::string& by_id, const std::vector<std::string>& links,
                        const std::string& name) {
    std::string best;
    for (const std::string& link : links) {
        if (link_target_name(by_id + "/" + link) != name) continue;
        if (best.empty() || natural_less(link, best)) best = link;
    }
    return best.empty() ? "" : by_id + "/" + best;
}

// A serial-core port whose UART type is 0 (PORT_UNKNOWN) has no UART behind it: the kernel
// keeps such ports for hardware that might be configured later. Without a type, a port
// address of 0 says the same.
bool uart_missing(const std::string& tty_folder) {
    const long long type = number(attribute(tty_folder, "type"));
    if (type >= 0) return type == 0;
    const long long address = number(attribute(tty_folder, "port"));
    return address == 0;
}

void describe_usb(PortEntry& e, const std::string& interface_folder) {
    const std::string usb_device = parent(interface_folder);
    e.transport = TQRF_TRANSPORT_USB;
    e.usb_vendor_id = digits::hex_id(attribute(usb_device, "idVendor"));
    e.usb_product_id = digits::hex_id(attribute(usb_device, "idProduct"));
    e.serial_number = attribute(usb_device, "serial");
    e.manufacturer = attribute(usb_device, "manufacturer");
    e.product = attribute(usb_device, "product");
    if (!e.product.empty()) {
        e.description = e.product;
    } else if (e.usb_vendor_id >= 0 && e.usb_product_id >= 0) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string ids;
        for (std::int32_t id : {e.usb_vendor_id, e.usb_product_id}) {
            if (!ids.empty()) ids += ':';
            for (int shift = 12; shift >= 0; shift -= 4) ids += digits[(id >> shift) & 0xF];
        }
        e.description = "USB serial adapter " + ids;
    } else {
        e.description = "USB serial adapter";
    }
    if (!e.manufacturer.empty()) e.description += " (" + e.manufacturer + ")";
    // A chip with several ports (FT2232, CP2105): say which one this is.
    const long long interfaces = number(attribute(usb_device, "bNumInterfaces"));
    const std::string interface = attribute(interface_folder, "bInterfaceNumber");
    if (interfaces > 1 && !interface.empty()) {
        // Numbered from 1, as the chips' makers do. (No std::to_string: its instantiation
        // would be exported from the library.)
        const long long n = std::strtoll(interface.c_str(), nullptr, 16) + 1;
        if (n >= 1 && n <= 9) {
            e.description += ", port ";
            e.description += static_cast<char>('0' + n);
        } else if (n >= 10 && n <= 99) {
            e.description += ", port ";
            e.description += static_cast<char>('0' + n / 10);
            e.description += static_cast<char>('0' + n % 10);
        }
    }
}

}  // namespace

bool list_platform_ports(std::vector<PortEntry>& out) {
    const std::string root = device_root();
    const std::string class_folder = root + "/sys/class/tty";
    if (!exists(class_folder)) return true;  // no sysfs: no ports to tell of
    const std::string by_id = root + "/dev/serial/by-id";
    const std::vector<std::string> links = folder_entries(by_id);

    for (const std::string& name : folder_entries(class_folder)) {
        const std::string tty_folder = class_folder + "/" + name;
        PortEntry e;
        e.device = root + "/dev/" + name;
        const std::string device_folder = resolved(tty_folder + "/device");
        if (device_folder.empty()) {
            // Virtual: consoles, virtual terminals, pseudo-terminals. Bluetooth serial links
            // are virtual too, and are kept.
            if (name.rfind("rfcomm", 0) != 0) continue;
            e.transport = TQRF_TRANSPORT_BLUETOOTH;
            e.driver = "rfcomm";
            e.description = "Bluetooth serial port";
        } else {
            const std::string subsystem = link_name(device_folder + "/subsystem");
            e.driver = link_name(device_folder + "/driver");
            if (subsystem == "serial-base") {
                // Linux 6.5 on: a built-in UART's tty hangs off a serial-base port (driver
                // "port") under its controller, under the device the UART's driver drives.
                const std::string uart_driver =
                    link_name(parent(parent(device_folder)) + "/driver");
                if (!uart_driver.empty()) e.driver = uart_driver;
            }
            if (subsystem == "usb-serial") {
                describe_usb(e, parent(device_folder));
            } else if (subsystem == "usb") {
                describe_usb(e, device_folder);
            } else if (subsystem == "platform" || subsystem == "pnp" || subsystem == "pci" ||
                       subsystem == "amba" || subsystem == "serial-base") {
                if (uart_missing(tty_folder)) continue;
                e.transport = TQRF_TRANSPORT_BUILTIN;
                e.description = "Built-in serial port";
            } else {
                if (uart_missing(tty_folder)) continue;
                e.transport = TQRF_TRANSPORT_OTHER;
                e.description = "Serial port";
            }
        }
        e.stable_path = stable_name(by_id, links, name);
        e.mark_space = mark_space_support(e.driver, e.product);
        out.push_back(std::move(e));
    }
    return true;
}

bool held_by_another_process(const char* path) {
    struct stat device {};
    if (path == nullptr || ::stat(path, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
    // A pseudo-terminal is held open by its other end (a simulator, a terminal emulator) by
    // design: that is the line, not another user of it.
    const unsigned int kind = major(device.st_rdev);
    if (kind >= PTY_SLAVE_MAJOR_FIRST && kind <= PTY_SLAVE_MAJOR_LAST) return false;
    // Only terminals: /dev/null and the like are open everywhere, and the open refuses them.
    std::string number;
    for (unsigned int part : {kind, static_cast<unsigned int>(minor(device.st_rdev))}) {
        if (!number.empty()) number += ':';
        char text[digits::kDecimalMax];
        number.append(text, digits::decimal(part, text));
    }
    if (link_name("/sys/dev/char/" + number + "/subsystem") != "tty") return false;
    for (const std::string& pid : folder_entries("/proc")) {
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            std::strtol(pid.c_str(), nullptr, 10) == ::getpid()) {
            continue;
        }
        const std::string fds = "/proc/" + pid + "/fd";
        for (const std::string& fd : folder_entries(fds)) {
            struct stat open_file {};
            if (::stat((fds + "/" + fd).c_str(), &open_file) == 0 && S_ISCHR(open_file.st_mode) &&
                open_file.st_rdev == device.st_rdev) {
                return true;
            }
        }
    }
    return false;
}

std::int32_t open_failure_outcome(std::int32_t os_error) {
    switch (os_error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return TQRF_PROBE_MISSING;
        case EACCES:
        case EPERM:
            return TQRF_PROBE_NO_PERMISSION;
        case EBUSY:
            return TQRF_PROBE_BUSY;
        case ENOTTY:
            return TQRF_PROBE_NOT_SERIAL;
        default:
            return TQRF_PROBE_OPEN_FAILED;
    }
}

}  // namespace tqrf::ports
