// The Linux port listing on fake sysfs trees built in a temporary folder the way the kernel lays
// sysfs out: class links to the tty folders, device / subsystem / driver links, the USB device
// two folders above a usb-serial port, udev's by-id links in dev/serial/by-id. And the ports
// other processes hold, which a probe leaves alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/ports.h"
#include "tests/support/pty.h"
#include "tq_RWD_DLL.h"

// After the C header it checks against.
#include "tests/support/fake_device_tree.h"

namespace {

namespace fs = std::filesystem;

const std::string USB_HUB = tqrf_test::FakeDeviceTree::kUsbHub;

// A sysfs-like tree under a fresh temporary folder, which TQRF_DEVICE_ROOT points to.
class FakeTree : public ::testing::Test, protected tqrf_test::FakeDeviceTree {
  protected:
    void SetUp() override { ASSERT_TRUE(made()); }

    // A built-in 8250 UART: type 4 (16550A) has hardware, type 0 has none.
    void builtin_8250(const std::string& name, int type, const std::string& address) {
        const std::string device = "sys/devices/platform/serial8250";
        if (!fs::exists(root_ / device / "driver")) driver(device, "platform", "serial8250");
        const std::string folder = tty(name, device);
        write(folder + "/type", std::to_string(type));
        write(folder + "/port", address);
    }

    struct Listed {
        std::string device, stable_path, description, serial_number, manufacturer, product, driver;
        std::int32_t transport, usb_vendor_id, usb_product_id, mark_space;
    };
    std::vector<Listed> list() {
        tqrf_port_info* ports = nullptr;
        std::uint32_t count = 99;
        EXPECT_EQ(tqrf_list_ports(&ports, &count), 0);
        std::vector<Listed> out;
        for (std::uint32_t i = 0; i < count; ++i) {
            const tqrf_port_info& p = ports[i];
            out.push_back({p.device, p.stable_path, p.description, p.serial_number, p.manufacturer,
                           p.product, p.driver, p.transport, p.usb_vendor_id, p.usb_product_id,
                           p.mark_space});
        }
        tqrf_free_ports(ports);
        return out;
    }
};

TEST_F(FakeTree, UsbAdapterWithItsIdentityDriverAndStableName) {
    ftdi_adapter();
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    tqrf_test::expect_ftdi_adapter(
        ports[0], dev("ttyUSB0"), dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A600BC12-if00-port0"));
}

TEST_F(FakeTree, DeviceNodeThatLeadsElsewhereKeepsItsStableName) {
    // A test tree's dev/ttyUSB0 leads to a pseudo-terminal: the by-id name still names it.
    ftdi_adapter();
    fs::remove(root_ / "dev/ttyUSB0");
    fs::create_symlink("/dev/null", root_ / "dev/ttyUSB0");
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].stable_path,
              dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A600BC12-if00-port0"));
}

TEST_F(FakeTree, UsbAdapterWithoutStringsIsNamedByItsIds) {
    usb_serial("1-3", "ttyUSB1", "ch341", {{"idVendor", "1a86"}, {"idProduct", "7523"}});
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].description, "USB serial adapter 1a86:7523");
    EXPECT_EQ(ports[0].usb_vendor_id, 0x1a86);
    EXPECT_EQ(ports[0].usb_product_id, 0x7523);
    EXPECT_EQ(ports[0].serial_number, "");
    EXPECT_EQ(ports[0].manufacturer, "");
    EXPECT_EQ(ports[0].product, "");
    EXPECT_EQ(ports[0].stable_path, "");
    EXPECT_EQ(ports[0].mark_space, TQRF_MARK_SPACE_YES);
}

TEST_F(FakeTree, UsbDeviceWithNoAttributesAtAll) {
    usb_serial("1-4", "ttyUSB2", "io_ti", {});
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].description, "USB serial adapter");
    EXPECT_EQ(ports[0].usb_vendor_id, -1);
    EXPECT_EQ(ports[0].usb_product_id, -1);
    EXPECT_EQ(ports[0].mark_space, TQRF_MARK_SPACE_NO);
}

TEST_F(FakeTree, CdcAcmDeviceIsItsOwnUsbInterface) {
    const std::string usb_device = USB_HUB + "/1-5";
    write(usb_device + "/idVendor", "2341");
    write(usb_device + "/idProduct", "0043");
    write(usb_device + "/product", "Arduino Uno");
    write(usb_device + "/bNumInterfaces", " 2");
    const std::string interface = usb_device + "/1-5:1.0";
    write(interface + "/bInterfaceNumber", "00");
    driver(interface, "usb", "cdc_acm");
    tty("ttyACM0", interface);
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].transport, TQRF_TRANSPORT_USB);
    EXPECT_EQ(ports[0].usb_vendor_id, 0x2341);
    EXPECT_EQ(ports[0].description, "Arduino Uno, port 1");
    EXPECT_EQ(ports[0].driver, "cdc_acm");
    EXPECT_EQ(ports[0].mark_space, TQRF_MARK_SPACE_UNKNOWN);
}

TEST_F(FakeTree, BuiltInUartsOnlyWithHardware) {
    builtin_8250("ttyS0", 4, "0x3F8");
    builtin_8250("ttyS1", 0, "0x2F8");  // no UART at that address
    builtin_8250("ttyS10", 4, "0x0");   // type known: kept although its port is 0
    const auto ports = list();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].device, dev("ttyS0"));
    EXPECT_EQ(ports[1].device, dev("ttyS10"));
    for (const Listed& p : ports) {
        EXPECT_EQ(p.transport, TQRF_TRANSPORT_BUILTIN);
        EXPECT_EQ(p.description, "Built-in serial port");
        EXPECT_EQ(p.driver, "serial8250");
        EXPECT_EQ(p.mark_space, TQRF_MARK_SPACE_YES);
        EXPECT_EQ(p.usb_vendor_id, -1);
    }
}

TEST_F(FakeTree, PnpUartWithoutTypeUsesItsPortAddress) {
    const std::string device = "sys/devices/pnp0/00:04";
    driver(device, "pnp", "serial");
    const std::string folder = tty("ttyS0", device);
    write(folder + "/port", "0x3F8");
    const std::string empty_device = "sys/devices/pnp0/00:05";
    driver(empty_device, "pnp", "serial");
    write(tty("ttyS1", empty_device) + "/port", "0x0");
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].device, dev("ttyS0"));
    EXPECT_EQ(ports[0].transport, TQRF_TRANSPORT_BUILTIN);
    EXPECT_EQ(ports[0].driver, "serial");
}

// Linux 6.5 on: the tty's device is a serial-base port under its controller; the driver that
// tells about mark and space parity is the one of the UART two folders up.
TEST_F(FakeTree, SerialBasePortIsNamedByItsUartsDriver) {
    const std::string uart = "sys/devices/pnp0/00:00";
    driver(uart, "pnp", "serial");
    fs::create_directories(root_ / "sys/bus/serial-base/drivers");
    driver(uart + "/00:00:0", "serial-base", "ctrl");
    const std::string port = uart + "/00:00:0/00:00:0.0";
    driver(port, "serial-base", "port");
    write(tty("ttyS0", port) + "/type", "4");
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].transport, TQRF_TRANSPORT_BUILTIN);
    EXPECT_EQ(ports[0].driver, "serial");
    EXPECT_EQ(ports[0].mark_space, TQRF_MARK_SPACE_YES);
}

TEST_F(FakeTree, BluetoothKeptVirtualTerminalsLeftOut) {
    tty("rfcomm0", "");
    for (const char* name : {"tty0", "tty1", "console", "ptmx"}) tty(name, "");
    const auto ports = list();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].device, dev("rfcomm0"));
    EXPECT_EQ(ports[0].transport, TQRF_TRANSPORT_BLUETOOTH);
    EXPECT_EQ(ports[0].description, "Bluetooth serial port");
    EXPECT_EQ(ports[0].mark_space, TQRF_MARK_SPACE_UNKNOWN);
}

TEST_F(FakeTree, WholeMachineInNameOrderWithEveryStringSet) {
    builtin_8250("ttyS1", 0, "0x2F8");
    builtin_8250("ttyS0", 4, "0x3F8");
    ftdi_adapter();
    usb_serial("1-3", "ttyUSB1", "cp210x",
               {{"idVendor", "10c4"},
                {"idProduct", "ea60"},
                {"product", "CP2101 USB to UART Bridge Controller"}});
    tty("rfcomm0", "");
    tty("tty1", "");

    tqrf_port_info* ports = nullptr;
    std::uint32_t count = 0;
    ASSERT_EQ(tqrf_list_ports(&ports, &count), 0);
    ASSERT_EQ(count, 4u);
    const std::vector<std::string> names{dev("rfcomm0"), dev("ttyS0"), dev("ttyUSB0"),
                                         dev("ttyUSB1")};
    for (std::uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(ports[i].device, names[i]);
        for (const char* s :
             {ports[i].device, ports[i].stable_path, ports[i].description, ports[i].serial_number,
              ports[i].manufacturer, ports[i].product, ports[i].driver}) {
            EXPECT_NE(s, nullptr);
        }
    }
    EXPECT_EQ(ports[3].mark_space, TQRF_MARK_SPACE_NO);  // a CP2101
    tqrf_free_ports(ports);
}

TEST_F(FakeTree, NoPortsIsAnEmptyListNotAFailure) {
    tqrf_port_info* ports = reinterpret_cast<tqrf_port_info*>(1);
    std::uint32_t count = 7;
    EXPECT_EQ(tqrf_list_ports(&ports, &count), 0);
    EXPECT_EQ(ports, nullptr);
    EXPECT_EQ(count, 0u);
    tqrf_free_ports(ports);
}

TEST_F(FakeTree, NoSysfsAtAllIsAnEmptyList) {
    fs::remove_all(root_ / "sys");
    EXPECT_TRUE(list().empty());
}

TEST(ListPorts, RefusesMissingOutputs) {
    tqrf_port_info* ports = nullptr;
    std::uint32_t count = 0;
    EXPECT_EQ(tqrf_list_ports(nullptr, &count), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_list_ports(&ports, nullptr), ERR_BAD_ARGUMENT);
}

}  // namespace

// ---- Ports other processes hold ----------------------------------------------------------------

namespace {

// A child process that holds `path` open (as its standard input) until it is ended.
class Holder {
  public:
    explicit Holder(const char* path) {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(path, O_RDWR | O_NOCTTY);
            if (fd < 0 || dup2(fd, 0) < 0) _exit(1);
            pause();
            _exit(0);
        }
        // Wait until the child has it open: its descriptor 0 leads to the device.
        const std::string link = "/proc/" + std::to_string(pid_) + "/fd/0";
        struct stat want {
        }, have{};
        stat(path, &want);
        for (int i = 0; i < 2000; ++i) {
            if (stat(link.c_str(), &have) == 0 && have.st_rdev == want.st_rdev) break;
            usleep(1000);
        }
    }
    ~Holder() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

  private:
    pid_t pid_;
};

TEST(HeldPorts, ATerminalAnotherProcessHasOpenIsSeen) {
    // /dev/tty0 is a terminal every Linux system has (a virtual console); root may open it.
    if (access("/dev/tty0", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/tty0 cannot be opened";
    Holder holder("/dev/tty0");
    EXPECT_TRUE(tqrf::ports::held_by_another_process("/dev/tty0"));
}

TEST(HeldPorts, DevicesThatAreNoTerminalsAreLeftToTheOpen) {
    Holder holder("/dev/zero");
    EXPECT_FALSE(tqrf::ports::held_by_another_process("/dev/zero"));
}

TEST(HeldPorts, PseudoTerminalHeldByItsOtherEndIsNotBusy) {
    const tqrf::testing::Pty pty;
    ASSERT_TRUE(pty.ok());
    const std::string slave = pty.path();
    {
        Holder holder(slave.c_str());
        EXPECT_FALSE(tqrf::ports::held_by_another_process(slave.c_str()));
        tqrf_probe_result r;
        ASSERT_EQ(tqrf_probe(slave.c_str(), 40, &r), 0);
        EXPECT_EQ(r.outcome, TQRF_PROBE_SILENT);
    }
}

TEST(HeldPorts, MissingPathsAndFilesAreNotHeld) {
    EXPECT_FALSE(tqrf::ports::held_by_another_process("/dev/tqrf-no-such-port"));
    EXPECT_FALSE(tqrf::ports::held_by_another_process("/proc/self/status"));
}

}  // namespace
