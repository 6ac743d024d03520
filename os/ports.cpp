// The port list handed to the caller: one allocation holding the entries and their strings.
#include "os/ports.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

#include "tq_RWD_DLL.h"

namespace tqrf::ports {

namespace {

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool contains_text(std::string_view text, std::string_view part) {
    if (part.size() > text.size()) return false;
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
        if (same_text(text.substr(i, part.size()), part)) return true;
    }
    return false;
}

// Drivers by what they do with mark and space parity. Linux driver names, then the Windows
// driver services of the same chips.
constexpr std::string_view CARRY[] = {
    "ftdi_sio", "cp210x",   "pl2303", "ch341",    "serial8250", "serial",
    "FTSER2K",  "silabser", "Ser2pl", "Ser2pl64", "CH341SER",   "CH341SER_A64",
};
constexpr std::string_view DROP[] = {
    "ti_usb_3410_5052", "io_ti", "digi_acceleport", "kobil_sct", "upd78f0730",
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::int32_t mark_space_support(const std::string& driver, const std::string& product) {
    // The CP2101 has no mark or space parity. It shares its product id (0xEA60) with the
    // CP2102 and later chips, which have it: only its product string tells it apart.
    if ((same_text(driver, "cp210x") || same_text(driver, "silabser")) &&
        contains_text(product, "CP2101")) {
        return TQRF_MARK_SPACE_NO;
    }
    for (std::string_view d : CARRY) {
        if (same_text(driver, d)) return TQRF_MARK_SPACE_YES;
    }
    for (std::string_view d : DROP) {
        if (same_text(driver, d)) return TQRF_MARK_SPACE_NO;
    }
    return TQRF_MARK_SPACE_UNKNOWN;
}

bool natural_less(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && is_digit(a[ie])) ++ie;
            while (je < b.size() && is_digit(b[je])) ++je;
            // Compare the numbers without leading zeros: first by length, then digit by digit.
            std::size_t is = i;
            std::size_t js = j;
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js;
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace tqrf::ports

using namespace tqrf::ports;

namespace {

// Copies `text` into the string area at `*cursor` and returns where it starts.
const char* put_string(const std::string& text, char** cursor) {
    char* start = *cursor;
    std::memcpy(start, text.c_str(), text.size() + 1);
    *cursor += text.size() + 1;
    return start;
}

}  // namespace

TQRF_API(int32_t) tqrf_list_ports(tqrf_port_info** ports, uint32_t* count) {
    if (ports != nullptr) *ports = nullptr;
    if (count != nullptr) *count = 0;
    if (ports == nullptr || count == nullptr) return ERR_BAD_ARGUMENT;
    try {
        std::vector<PortEntry> entries;
        if (!list_platform_ports(entries)) return ERR_FAILED;
        if (entries.empty()) return 0;
        std::stable_sort(entries.begin(), entries.end(),
                         [](const PortEntry& a, const PortEntry& b) {
                             return natural_less(a.device, b.device);
                         });

        std::size_t text_bytes = 0;
        for (const PortEntry& e : entries) {
            for (const std::string* s :
                 {&e.device, &e.stable_path, &e.description, &e.serial_number, &e.manufacturer,
                  &e.product, &e.driver}) {
                text_bytes += s->size() + 1;
            }
        }
        const std::size_t table_bytes = entries.size() * sizeof(tqrf_port_info);
        void* block = std::malloc(table_bytes + text_bytes);
        if (block == nullptr) return ERR_FAILED;
        auto* table = static_cast<tqrf_port_info*>(block);
        char* cursor = static_cast<char*>(block) + table_bytes;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const PortEntry& e = entries[i];
            tqrf_port_info& info = table[i];
            info.device = put_string(e.device, &cursor);
            info.stable_path = put_string(e.stable_path, &cursor);
            info.description = put_string(e.description, &cursor);
            info.transport = e.transport;
            info.usb_vendor_id = e.usb_vendor_id;
            info.usb_product_id = e.usb_product_id;
            info.serial_number = put_string(e.serial_number, &cursor);
            info.manufacturer = put_string(e.manufacturer, &cursor);
            info.product = put_string(e.product, &cursor);
            info.driver = put_string(e.driver, &cursor);
            info.mark_space = e.mark_space;
        }
        *ports = table;
        *count = static_cast<uint32_t>(entries.size());
        return 0;
    } catch (const std::exception&) {
        // Out of memory while gathering the entries: nothing is handed out.
        return ERR_FAILED;
    }
}

TQRF_API(void) tqrf_free_ports(tqrf_port_info* ports) {
    std::free(ports);
}
