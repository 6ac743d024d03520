// The port list handed to the caller: one allocation holding the entries and their strings.
#include "os/ports.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

#include "os/sized.h"
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

// The system's ports in name order, and the bytes their strings take with terminators.
// TQRF_ERR_FAILED when the system's list could not be read; throws std::bad_alloc.
std::int32_t gather(std::vector<PortEntry>& entries, std::size_t& text_bytes) {
    if (!list_platform_ports(entries)) return TQRF_ERR_FAILED;
    std::stable_sort(entries.begin(), entries.end(), [](const PortEntry& a, const PortEntry& b) {
        return natural_less(a.device, b.device);
    });
    text_bytes = 0;
    for (const PortEntry& e : entries) {
        for (const std::string* s : {&e.device, &e.stable_path, &e.description, &e.serial_number,
                                     &e.manufacturer, &e.product, &e.driver}) {
            text_bytes += s->size() + 1;
        }
    }
    return 0;
}

// Fills the fields every port structure has, strings into the area at `*cursor`.
template <class Info>
void fill(Info& info, const PortEntry& e, char** cursor) {
    info.device = put_string(e.device, cursor);
    info.stable_path = put_string(e.stable_path, cursor);
    info.description = put_string(e.description, cursor);
    info.transport = e.transport;
    info.usb_vendor_id = e.usb_vendor_id;
    info.usb_product_id = e.usb_product_id;
    info.serial_number = put_string(e.serial_number, cursor);
    info.manufacturer = put_string(e.manufacturer, cursor);
    info.product = put_string(e.product, cursor);
    info.driver = put_string(e.driver, cursor);
    info.mark_space = e.mark_space;
}

// The largest entry size tqrf_list_ports2() takes: far beyond any layout, small enough that
// a list's size never overflows.
constexpr std::uint32_t PORT_ENTRY_SIZE_MAX = 65536;

#define TQRF_PORT_END(field) TQRF_SIZE_THROUGH(tqrf_port_info2, field)
constexpr std::size_t PORT_INFO2_ENDS[] = {
    TQRF_PORT_END(transport),     TQRF_PORT_END(device),        TQRF_PORT_END(stable_path),
    TQRF_PORT_END(description),   TQRF_PORT_END(usb_vendor_id), TQRF_PORT_END(usb_product_id),
    TQRF_PORT_END(serial_number), TQRF_PORT_END(manufacturer),  TQRF_PORT_END(product),
    TQRF_PORT_END(driver),        TQRF_PORT_END(mark_space),
};
#undef TQRF_PORT_END

}  // namespace

TQRF_API(int32_t) tqrf_list_ports(tqrf_port_info** ports, uint32_t* count) {
    if (ports != nullptr) *ports = nullptr;
    if (count != nullptr) *count = 0;
    if (ports == nullptr || count == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    try {
        std::vector<PortEntry> entries;
        std::size_t text_bytes = 0;
        if (const std::int32_t r = gather(entries, text_bytes); r != 0) return r;
        if (entries.empty()) return 0;
        const std::size_t table_bytes = entries.size() * sizeof(tqrf_port_info);
        void* block = std::malloc(table_bytes + text_bytes);
        if (block == nullptr) return TQRF_ERR_FAILED;
        auto* table = static_cast<tqrf_port_info*>(block);
        char* cursor = static_cast<char*>(block) + table_bytes;
        for (std::size_t i = 0; i < entries.size(); ++i) fill(table[i], entries[i], &cursor);
        *ports = table;
        *count = static_cast<uint32_t>(entries.size());
        return 0;
    } catch (const std::exception&) {
        // Out of memory while gathering the entries: nothing is handed out.
        return TQRF_ERR_FAILED;
    }
}

TQRF_API(void) tqrf_free_ports(tqrf_port_info* ports) {
    std::free(ports);
}

TQRF_API(int32_t) tqrf_list_ports2(uint32_t entry_size, tqrf_port_info2** ports, uint32_t* count) {
    if (ports != nullptr) *ports = nullptr;
    if (count != nullptr) *count = 0;
    if (ports == nullptr || count == nullptr || entry_size < TQRF_PORT_INFO2_MIN_SIZE ||
        entry_size > PORT_ENTRY_SIZE_MAX || entry_size % alignof(tqrf_port_info2) != 0) {
        return TQRF_ERR_BAD_ARGUMENT;
    }
    try {
        std::vector<PortEntry> entries;
        std::size_t text_bytes = 0;
        if (const std::int32_t r = gather(entries, text_bytes); r != 0) return r;
        if (entries.empty()) return 0;
        const std::size_t table_bytes = entries.size() * std::size_t{entry_size};
        void* block = std::malloc(table_bytes + text_bytes);
        if (block == nullptr) return TQRF_ERR_FAILED;
        auto* table = static_cast<unsigned char*>(block);
        std::memset(table, 0, table_bytes);
        char* cursor = static_cast<char*>(block) + table_bytes;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            tqrf_port_info2 full{};
            full.size = entry_size;
            fill(full, entries[i], &cursor);
            unsigned char* entry = table + i * entry_size;
            std::memcpy(entry, &full.size, sizeof full.size);
            tqrf::sized::copy_fitting(entry, entry_size, full, PORT_INFO2_ENDS);
        }
        *ports = reinterpret_cast<tqrf_port_info2*>(table);
        *count = static_cast<uint32_t>(entries.size());
        return 0;
    } catch (const std::exception&) {
        return TQRF_ERR_FAILED;
    }
}

TQRF_API(void) tqrf_free_ports2(tqrf_port_info2* ports) {
    std::free(ports);
}
