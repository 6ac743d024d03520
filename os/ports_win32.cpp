// Serial ports on Windows: the ports the system knows (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM:
// one value per port, its kernel device name and its COM name), described by SetupAPI's Ports
// class where the system has the device there (friendly name, hardware and instance ids,
// manufacturer, driver service). Wine knows SERIALCOMM only.
#include <windows.h>
// After windows.h.
#include <setupapi.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include "os/digits.h"
#include "os/ports.h"
#include "tq_RWD_DLL.h"

namespace tqrf::ports {

namespace {

// The Ports device class (GUID_DEVCLASS_PORTS), spelt out to spare the INITGUID dance.
const GUID PORTS_CLASS = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

constexpr DWORD TEXT_MAX = 512;

std::string utf8(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return "";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return "";
    std::string out(static_cast<std::size_t>(size), '\0');
    (void)WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(size - 1));
    return out;
}

bool starts_with_text(const std::string& text, const char* prefix) {
    for (std::size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
        if (upper(text[i]) != upper(prefix[i])) return false;
    }
    return true;
}

std::size_t find_text(const std::string& text, const char* part) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (starts_with_text(text.substr(i), part)) return i;
    }
    return std::string::npos;
}

// The 4 hexadecimal digits after `key` ("VID_") in an id, or -1.
std::int32_t id_after(const std::string& text, const char* key) {
    const std::size_t at = find_text(text, key);
    if (at == std::string::npos) return -1;
    const std::size_t from = at + std::strlen(key);
    if (from + 4 > text.size()) return -1;
    return digits::hex_id(std::string_view(text).substr(from, 4));
}

std::string registry_text(HKEY key, const wchar_t* name) {
    wchar_t buffer[TEXT_MAX] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return "";
    }
    return utf8(buffer);
}

std::string device_property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    wchar_t buffer[TEXT_MAX] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer),
                                           sizeof buffer - 2 * sizeof(wchar_t), nullptr)) {
        return "";
    }
    return utf8(buffer);  // the first string of a list
}

// What SetupAPI says of the device whose PortName is COM name `port`.
struct Described {
    std::string friendly, manufacturer, service, hardware_id, instance_id;
};

bool describe(const std::string& port, Described& out) {
    HDEVINFO set = SetupDiGetClassDevsW(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        const std::string name = registry_text(key, L"PortName");
        RegCloseKey(key);
        if (name != port) continue;
        found = true;
        out.friendly = device_property(set, &device, SPDRP_FRIENDLYNAME);
        out.manufacturer = device_property(set, &device, SPDRP_MFG);
        out.service = device_property(set, &device, SPDRP_SERVICE);
        out.hardware_id = device_property(set, &device, SPDRP_HARDWAREID);
        wchar_t instance[TEXT_MAX] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &device, instance, TEXT_MAX - 1, nullptr)) {
            out.instance_id = utf8(instance);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Drops a trailing " (COMn)" from a friendly name: the device column shows it already.
std::string without_port_suffix(std::string text, const std::string& port) {
    const std::string suffix = " (" + port + ")";
    if (text.size() > suffix.size() &&
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
        text.resize(text.size() - suffix.size());
    }
    return text;
}

// The USB serial number in an instance id "USB\VID_0403&PID_6001\A600BC12" (a generated one
// holds '&'), or "FTDIBUS\VID_0403+PID_6001+A600BC12A\0000" (the last letter names the
// chip's port).
std::string serial_from_instance(const std::string& id) {
    if (starts_with_text(id, "USB\\")) {
        const std::size_t slash = id.rfind('\\');
        if (slash == std::string::npos || slash < 4) return "";
        const std::string last = id.substr(slash + 1);
        return last.find('&') == std::string::npos ? last : "";
    }
    if (starts_with_text(id, "FTDIBUS\\")) {
        const std::size_t plus = id.rfind('+');
        const std::size_t slash = id.find('\\', plus == std::string::npos ? 0 : plus);
        if (plus == std::string::npos || slash == std::string::npos || slash <= plus + 2) {
            return "";
        }
        return id.substr(plus + 1, slash - plus - 2);
    }
    return "";
}

// Without SetupAPI (Wine), the kernel device name says what drives the port.
void guess_from_kernel_name(PortEntry& e, const std::string& kernel) {
    struct Known {
        const char* prefix;
        const char* service;
        std::int32_t transport;
    };
    static constexpr Known KNOWN[] = {
        {"\\Device\\Serial", "Serial", TQRF_TRANSPORT_BUILTIN},
        {"\\Device\\VCP", "FTSER2K", TQRF_TRANSPORT_USB},
        {"\\Device\\Silabser", "silabser", TQRF_TRANSPORT_USB},
        {"\\Device\\ProlificSerial", "Ser2pl", TQRF_TRANSPORT_USB},
        {"\\Device\\USBSER", "usbser", TQRF_TRANSPORT_USB},
        {"\\Device\\BthModem", "BTHMODEM", TQRF_TRANSPORT_BLUETOOTH},
    };
    for (const Known& k : KNOWN) {
        if (starts_with_text(kernel, k.prefix)) {
            e.driver = k.service;
            e.transport = k.transport;
            return;
        }
    }
}

const char* transport_text(std::int32_t transport) {
    switch (transport) {
        case TQRF_TRANSPORT_BUILTIN:
            return "Built-in serial port";
        case TQRF_TRANSPORT_USB:
            return "USB serial adapter";
        case TQRF_TRANSPORT_BLUETOOTH:
            return "Bluetooth serial port";
        default:
            return "Serial port";
    }
}

}  // namespace

bool list_platform_ports(std::vector<PortEntry>& out) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return true;  // no serial port has ever been set up: an empty list
    }
    for (DWORD i = 0;; ++i) {
        wchar_t kernel_name[TEXT_MAX] = {};
        wchar_t port_name[TEXT_MAX] = {};
        DWORD kernel_size = TEXT_MAX - 1;
        DWORD port_size = sizeof port_name - sizeof(wchar_t);
        DWORD type = 0;
        const LONG rc = RegEnumValueW(key, i, kernel_name, &kernel_size, nullptr, &type,
                                      reinterpret_cast<BYTE*>(port_name), &port_size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;  // too long, or not a name

        PortEntry e;
        e.device = utf8(port_name);
        if (e.device.empty()) continue;
        const std::string kernel = utf8(kernel_name);
        e.transport = TQRF_TRANSPORT_OTHER;
        guess_from_kernel_name(e, kernel);

        Described d;
        if (describe(e.device, d)) {
            if (!d.service.empty()) e.driver = d.service;
            e.manufacturer = d.manufacturer;
            const std::string& ids = d.hardware_id.empty() ? d.instance_id : d.hardware_id;
            e.usb_vendor_id = id_after(ids, "VID_");
            e.usb_product_id = id_after(ids, "PID_");
            if (e.usb_vendor_id >= 0 || starts_with_text(d.instance_id, "USB\\") ||
                starts_with_text(d.instance_id, "FTDIBUS\\")) {
                e.transport = TQRF_TRANSPORT_USB;
                e.serial_number = serial_from_instance(d.instance_id);
            } else if (starts_with_text(d.instance_id, "BTHENUM\\")) {
                e.transport = TQRF_TRANSPORT_BLUETOOTH;
            } else if (starts_with_text(d.instance_id, "ACPI\\")) {
                e.transport = TQRF_TRANSPORT_BUILTIN;
            }
            e.description = without_port_suffix(d.friendly, e.device);
        }
        if (e.description.empty()) e.description = transport_text(e.transport);
        e.mark_space = mark_space_support(e.driver, e.product);
        out.push_back(std::move(e));
    }
    RegCloseKey(key);
    return true;
}

bool held_by_another_process(const char* path) {
    (void)path;  // a COM port opens exclusively: another holder makes the open fail
    return false;
}

std::int32_t open_failure_outcome(std::int32_t os_error) {
    switch (static_cast<DWORD>(os_error)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return TQRF_PROBE_MISSING;
        // A COM port another program has open refuses with "access denied": on Windows a port
        // has no permissions of its own to refuse.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return TQRF_PROBE_BUSY;
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
            return TQRF_PROBE_NOT_SERIAL;
        default:
            return TQRF_PROBE_OPEN_FAILED;
    }
}

}  // namespace tqrf::ports
