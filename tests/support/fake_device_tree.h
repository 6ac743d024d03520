// A device tree the Linux port listing reads (TQRF_DEVICE_ROOT), built under a fresh temporary
// folder the way the kernel lays sysfs out: class links to the tty folders, device / subsystem /
// driver links, the USB device two folders above a usb-serial port, udev's by-id links in
// dev/serial/by-id. TQRF_DEVICE_ROOT points to it while the object lives; it is removed and
// TQRF_DEVICE_ROOT unset when the object goes. Included after the library's C header (this
// one, or the copy of an earlier release's that a program built against it uses).
#pragma once

#ifndef TQRF_TRANSPORT_USB
#error "include the library's C header first"
#endif

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace tqrf_test {

class FakeDeviceTree {
  public:
    static constexpr const char* kUsbHub = "sys/devices/pci0000:00/0000:00:14.0/usb1";
    // The by-id name udev gives ftdi_adapter().
    static std::string ftdi_by_id_name() { return "usb-FTDI_FT232R_USB_UART_A600BC12-if00-port0"; }

    FakeDeviceTree() {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "tqrf-devroot-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        root_ = pattern;
        setenv("TQRF_DEVICE_ROOT", root_.c_str(), 1);
        fs::create_directories(root_ / "sys/class/tty");
        fs::create_directories(root_ / "dev/serial/by-id");
        for (const char* bus : {"usb-serial", "usb", "platform", "pnp"}) {
            fs::create_directories(root_ / "sys/bus" / bus / "drivers");
        }
    }
    // With ftdi_adapter() in it, whose dev/ttyUSB0 leads to `device` (a simulated reader's
    // pseudo-terminal).
    explicit FakeDeviceTree(const std::string& device) : FakeDeviceTree() {
        if (!made()) return;
        ftdi_adapter();
        lead_to("ttyUSB0", device);
    }
    ~FakeDeviceTree() {
        unsetenv("TQRF_DEVICE_ROOT");
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }
    FakeDeviceTree(const FakeDeviceTree&) = delete;
    FakeDeviceTree& operator=(const FakeDeviceTree&) = delete;

    bool made() const { return !root_.empty(); }
    const std::filesystem::path& root() const { return root_; }
    // The path of dev/`name` in the tree.
    std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

    // A relative link at `at` to `target`, both relative to the root, as sysfs makes them.
    void link(const std::string& at, const std::string& target) {
        namespace fs = std::filesystem;
        const fs::path from = root_ / at;
        fs::create_directories(from.parent_path());
        fs::create_symlink(fs::relative(root_ / target, from.parent_path()), from);
    }
    void write(const std::string& file, const std::string& text) {
        std::filesystem::create_directories((root_ / file).parent_path());
        std::ofstream(root_ / file) << text << "\n";
    }
    // A tty folder of `name` under the hardware folder `device` (or a virtual one when empty),
    // with its class link and its /dev node.
    std::string tty(const std::string& name, const std::string& device) {
        const std::string folder =
            (device.empty() ? "sys/devices/virtual/tty" : device + "/tty") + "/" + name;
        std::filesystem::create_directories(root_ / folder);
        if (!device.empty()) link(folder + "/device", device);
        link("sys/class/tty/" + name, folder);
        write("dev/" + name, "");
        return folder;
    }
    void driver(const std::string& device, const std::string& bus, const std::string& name) {
        std::filesystem::create_directories(root_ / "sys/bus" / bus / "drivers" / name);
        link(device + "/subsystem", "sys/bus/" + bus);
        link(device + "/driver", "sys/bus/" + bus + "/drivers/" + name);
    }
    // A USB device at `port` (1-2) with one interface and a usb-serial port `name` behind it.
    void usb_serial(const std::string& port, const std::string& name, const std::string& drv,
                    const std::vector<std::pair<std::string, std::string>>& attributes) {
        const std::string usb_device = std::string(kUsbHub) + "/" + port;
        for (const auto& [key, value] : attributes) write(usb_device + "/" + key, value);
        write(usb_device + "/bNumInterfaces", " 1");
        const std::string interface = usb_device + "/" + port + ":1.0";
        write(interface + "/bInterfaceNumber", "00");
        const std::string serial_port = interface + "/" + name;
        driver(serial_port, "usb-serial", drv);
        tty(name, serial_port);
    }
    // One FTDI USB-serial adapter, ttyUSB0, with its identity strings, driver and by-id name.
    void ftdi_adapter() {
        usb_serial("1-2", "ttyUSB0", "ftdi_sio",
                   {{"idVendor", "0403"},
                    {"idProduct", "6001"},
                    {"serial", "A600BC12"},
                    {"manufacturer", "FTDI"},
                    {"product", "FT232R USB UART"}});
        write(std::string(kUsbHub) + "/1-2/1-2:1.0/ttyUSB0/latency_timer", "16");
        link("dev/serial/by-id/" + ftdi_by_id_name(), "dev/ttyUSB0");
    }
    // dev/`name` leads to `device` instead.
    void lead_to(const std::string& name, const std::string& device) {
        std::filesystem::remove(root_ / "dev" / name);
        std::filesystem::create_symlink(device, root_ / "dev" / name);
    }

  protected:
    std::filesystem::path root_;
};

inline std::string text_of(const char* text) {
    return text == nullptr ? "(null)" : text;
}
inline std::string text_of(const std::string& text) {
    return text;
}

// What the listing says of ftdi_adapter(), whose dev/ttyUSB0 is `device` and whose by-id name
// is `stable`: in the C structures of every layout that has these fields.
template <typename Port>
void expect_ftdi_adapter(const Port& p, const std::string& device, const std::string& stable) {
    EXPECT_EQ(text_of(p.device), device);
    EXPECT_EQ(text_of(p.stable_path), stable);
    EXPECT_EQ(text_of(p.description), "FT232R USB UART (FTDI)");
    EXPECT_EQ(p.transport, TQRF_TRANSPORT_USB);
    EXPECT_EQ(p.usb_vendor_id, 0x0403);
    EXPECT_EQ(p.usb_product_id, 0x6001);
    EXPECT_EQ(text_of(p.serial_number), "A600BC12");
    EXPECT_EQ(text_of(p.manufacturer), "FTDI");
    EXPECT_EQ(text_of(p.product), "FT232R USB UART");
    EXPECT_EQ(text_of(p.driver), "ftdi_sio");
    EXPECT_EQ(p.mark_space, TQRF_MARK_SPACE_YES);
}

}  // namespace tqrf_test
