// A device tree the port listing reads (TQRF_DEVICE_ROOT): one FTDI USB-serial adapter,
// ttyUSB0, with its identity strings, driver and by-id name, whose dev/ttyUSB0 leads to
// `device` (a simulated reader's pseudo-terminal). Written the way sysfs lays it out; removed
// and TQRF_DEVICE_ROOT unset when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace tqrf_abi_test {

class FakeAdapterTree {
  public:
    explicit FakeAdapterTree(const std::string& device) {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "tqrf-abi-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) return;
        root_ = pattern;
        const fs::path usb = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        const fs::path port = usb / "1-2:1.0/ttyUSB0";
        fs::create_directories(port / "tty/ttyUSB0");
        fs::create_directories(root_ / "sys/bus/usb-serial/drivers/ftdi_sio");
        fs::create_directories(root_ / "sys/class/tty");
        fs::create_directories(root_ / "dev/serial/by-id");
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "idProduct") << "6001\n";
        std::ofstream(usb / "serial") << "A600BC12\n";
        std::ofstream(usb / "manufacturer") << "FTDI\n";
        std::ofstream(usb / "product") << "FT232R USB UART\n";
        std::ofstream(usb / "bNumInterfaces") << " 1\n";
        std::ofstream(usb / "1-2:1.0/bInterfaceNumber") << "00\n";
        const auto rel = [](const fs::path& to, const fs::path& from) {
            return fs::relative(to, from.parent_path());
        };
        fs::create_symlink(rel(root_ / "sys/bus/usb-serial", port / "subsystem"),
                           port / "subsystem");
        fs::create_symlink(rel(root_ / "sys/bus/usb-serial/drivers/ftdi_sio", port / "driver"),
                           port / "driver");
        fs::create_symlink(rel(port, port / "tty/ttyUSB0/device"), port / "tty/ttyUSB0/device");
        fs::create_symlink(rel(port / "tty/ttyUSB0", root_ / "sys/class/tty/ttyUSB0"),
                           root_ / "sys/class/tty/ttyUSB0");
        fs::create_symlink(device, root_ / "dev/ttyUSB0");
        fs::create_symlink("../../ttyUSB0", root_ / "dev/serial/by-id" / by_id_name());
        setenv("TQRF_DEVICE_ROOT", root_.c_str(), 1);
    }
    ~FakeAdapterTree() {
        unsetenv("TQRF_DEVICE_ROOT");
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
    }
    FakeAdapterTree(const FakeAdapterTree&) = delete;
    FakeAdapterTree& operator=(const FakeAdapterTree&) = delete;

    bool made() const { return !root_.empty(); }
    std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }
    static std::string by_id_name() { return "usb-FTDI_FT232R_USB_UART_A600BC12-if00-port0"; }

  private:
    std::filesystem::path root_;
};

}  // namespace tqrf_abi_test
