#include "adapter.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace tqrf::gateway {

namespace {

std::string resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string usb_id(std::int32_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(id) & 0xFFFFu);
    return text;
}

const char* transport_word(Transport t) {
    switch (t) {
        case Transport::Builtin:
            return "built-in serial port";
        case Transport::Usb:
            return "USB serial adapter";
        case Transport::Bluetooth:
            return "Bluetooth serial port";
        default:
            return "serial port";
    }
}

}  // namespace

const PortInfo* listed_port(const std::vector<PortInfo>& ports, const std::string& port) {
    for (const auto& p : ports) {
        if (p.device == port || (!p.stable_path.empty() && p.stable_path == port)) return &p;
    }
    const std::string real = resolved(port);
    if (real.empty()) return nullptr;
    for (const auto& p : ports) {
        if (resolved(p.device) == real) return &p;
    }
    return nullptr;
}

std::string adapter_text(const PortInfo* listed, const std::string& port) {
    if (listed == nullptr) {
        const std::string real = resolved(port);
        return real.rfind("/dev/pts/", 0) == 0 ? "pseudo-terminal" : "serial";
    }
    std::string text =
        listed->description.empty() ? transport_word(listed->transport) : listed->description;
    if (listed->usb_vendor_id >= 0) {
        text += ", USB " + usb_id(listed->usb_vendor_id) + ":" + usb_id(listed->usb_product_id);
    }
    if (!listed->driver.empty()) text += ", driver " + listed->driver;
    return text;
}

std::string adapter_of(const std::string& port) {
    auto ports = list_ports();
    return adapter_text(ports ? listed_port(*ports, port) : nullptr, port);
}

}  // namespace tqrf::gateway
