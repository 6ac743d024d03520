// Finding and diagnosing the reader with the built tqrf: the port listing over a fake sysfs
// tree whose adapters lead to simulated readers, --port auto, probing each kind of line (a
// reader, an echo, bytes that are no frame, silence, a missing path), the messages of a
// failed command on an echoing line, and doctor.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "cli_run.h"
#include "tests/support/pty.h"

namespace {

using namespace tqrf_cli_test;
using nlohmann::json;
namespace fs = std::filesystem;

const std::string kHub = "sys/devices/pci0000:00/0000:00:14.0/usb1";

std::string tqrf() {
    return std::string(TQRF_EXE) + " --slack 500";
}

// A tree laid out as Linux sysfs and /dev are, under a temporary folder: USB serial adapters
// whose /dev node is a symlink to a simulated reader's pseudo-terminal.
class Tree {
  public:
    explicit Tree(const TempDir& dir) : root_(dir / "root") {
        fs::create_directories(root_ / "sys/class/tty");
        fs::create_directories(root_ / "dev/serial/by-id");
    }
    const fs::path& root() const { return root_; }
    std::string env() const { return "TQRF_DEVICE_ROOT=" + root_.string() + " "; }
    std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }

    // A USB adapter at USB port `usb_port` (1-2): ttyUSBn with `driver`, vendor 0403, product
    // 6001, its latency timer, a by-id name, and /dev/NAME leading to `target`.
    void adapter(const std::string& usb_port, const std::string& name, const std::string& driver,
                 const std::string& target, int latency_ms = 16) {
        const std::string usb = kHub + "/" + usb_port;
        write(usb + "/idVendor", "0403");
        write(usb + "/idProduct", "6001");
        write(usb + "/serial", "A600" + name);
        write(usb + "/manufacturer", "FTDI");
        write(usb + "/product", "FT232R USB UART");
        write(usb + "/bNumInterfaces", " 1");
        const std::string interface = usb + "/" + usb_port + ":1.0";
        write(interface + "/bInterfaceNumber", "00");
        const std::string port = interface + "/" + name;
        fs::create_directories(root_ / "sys/bus/usb-serial/drivers" / driver);
        link(port + "/subsystem", "sys/bus/usb-serial");
        link(port + "/driver", "sys/bus/usb-serial/drivers/" + driver);
        write(port + "/latency_timer", std::to_string(latency_ms));
        const std::string tty = port + "/tty/" + name;
        fs::create_directories(root_ / tty);
        link(tty + "/device", port);
        link("sys/class/tty/" + name, tty);
        fs::create_symlink(target, root_ / "dev" / name);
        link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A600" + name + "-if00-port0",
             "dev/" + name);
    }

  private:
    void write(const std::string& file, const std::string& text) {
        fs::create_directories((root_ / file).parent_path());
        std::ofstream(root_ / file) << text << "\n";
    }
    void link(const std::string& at, const std::string& target) {
        const fs::path from = root_ / at;
        fs::create_directories(from.parent_path());
        fs::create_symlink((root_ / target).lexically_relative(from.parent_path()), from);
    }
    fs::path root_;
};

// A pseudo-terminal with nothing behind it: whatever is sent, nothing answers.
using SilentLine = tqrf::testing::Pty;

TEST(Finding, PortsListsAUsbAdapterWithItsIdentity) {
    TempDir dir;
    SimProcess sim(TQRF_SIM_EXE, "", dir, "sim");
    ASSERT_FALSE(sim.device().empty());
    Tree tree(dir);
    tree.adapter("1-2", "ttyUSB0", "ftdi_sio", sim.device());

    Outcome r = run(tree.env() + tqrf() + " ports --json", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_EQ(j["ports"].size(), 1u) << r.out;
    const json& p = j["ports"][0];
    EXPECT_EQ(p["device"], tree.dev("ttyUSB0"));
    EXPECT_EQ(p["stable_path"],
              tree.dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A600ttyUSB0-if00-port0"));
    EXPECT_EQ(p["transport"], "usb");
    EXPECT_EQ(p["usb_vendor_id"], "0403");
    EXPECT_EQ(p["usb_product_id"], "6001");
    EXPECT_EQ(p["driver"], "ftdi_sio");
    EXPECT_EQ(p["mark_space"], "yes");
    EXPECT_EQ(p["serial_number"], "A600ttyUSB0");
    EXPECT_EQ(p["listed"], true);
    EXPECT_FALSE(p.contains("probe"));

    r = run(tree.env() + tqrf() + " ports", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0].rfind(tree.dev("ttyUSB0") + "  usb 0403:6001", 0), 0u) << lines[0];
    EXPECT_TRUE(has(lines[0], "driver ftdi_sio  mark/space yes")) << lines[0];

    // A tree with no port lists nothing, and says so on stderr only.
    TempDir none;
    Tree empty(none);
    r = run(empty.env() + tqrf() + " ports", none);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(has(r.err, "no serial port is listed")) << r.err;
}

TEST(Finding, PortAutoUsesTheOneReaderAndRefusesTwo) {
    TempDir dir;
    SimProcess a(TQRF_SIM_EXE, "", dir, "a");
    SimProcess b(TQRF_SIM_EXE, "--uid 11223344", dir, "b");
    SimProcess echo(TQRF_SIM_EXE, "--adapter echo", dir, "echo");
    ASSERT_FALSE(a.device().empty() || b.device().empty() || echo.device().empty());
    Tree tree(dir);
    tree.adapter("1-2", "ttyUSB0", "ftdi_sio", a.device());
    tree.adapter("1-3", "ttyUSB1", "ftdi_sio", echo.device());

    // One reader (and an echoing line beside it): --port auto and TQRF_PORT=auto find it.
    for (const std::string& how :
         {tqrf() + " --port auto scan", "TQRF_PORT=auto " + tqrf() + " scan"}) {
        const Outcome r = run(tree.env() + how, dir);
        EXPECT_EQ(r.status, 0) << how << "\n" << r.out << r.err;
        EXPECT_TRUE(has(r.out, "UID        3A7C91E5")) << how << "\n" << r.out;
    }

    // Two readers: refused, naming both, exit 1.
    TempDir dir2;
    Tree tree2(dir2);
    tree2.adapter("1-2", "ttyUSB0", "ftdi_sio", a.device());
    tree2.adapter("1-3", "ttyUSB1", "ftdi_sio", b.device());
    Outcome r = run(tree2.env() + tqrf() + " --port auto scan", dir2);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "2 readers answer")) << r.err;
    EXPECT_TRUE(has(r.err, tree2.dev("ttyUSB0")) && has(r.err, tree2.dev("ttyUSB1"))) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;

    // No reader: refused, listing what was tried and what answered there.
    TempDir dir3;
    Tree tree3(dir3);
    tree3.adapter("1-2", "ttyUSB0", "ftdi_sio", echo.device());
    r = run(tree3.env() + tqrf() + " --json --port auto info", dir3);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(json::parse(r.out)["error"], "no_reader_found") << r.out;
    EXPECT_TRUE(has(r.err, tree3.dev("ttyUSB0") + ": the line echoes")) << r.err;
}

// --probe names what is on each line: the listed ones and those given with --port.
TEST(Finding, ProbeNamesEachKindOfLine) {
    TempDir dir;
    SimProcess reader(TQRF_SIM_EXE, "--identity 0BADCAFE", dir, "reader");
    SimProcess echo(TQRF_SIM_EXE, "--adapter echo", dir, "echo");
    SimProcess noise(TQRF_SIM_EXE, "--adapter noise", dir, "noise");
    SilentLine silent;
    ASSERT_FALSE(reader.device().empty() || echo.device().empty() || noise.device().empty() ||
                 silent.path().empty());
    Tree tree(dir);
    tree.adapter("1-2", "ttyUSB0", "ftdi_sio", reader.device());
    struct Case {
        std::string port;
        const char* outcome;
        const char* words;
    };
    const std::vector<Case> cases = {
        {tree.dev("ttyUSB0"), "reader", "a reader: TQRF-SIM RC500 V1.0, identity 0x0BADCAFE"},
        {echo.device(), "echo", "the line echoes what is sent"},
        {noise.device(), "noise", "bytes came back that are no reply from the reader"},
        {silent.path(), "silent", "nothing answers"},
        {dir / "no-such-port", "missing", "the device is missing"},
        {"/dev/null", "not_serial", "not a serial device"},
    };
    std::string given;
    for (std::size_t i = 1; i < cases.size(); ++i) given += " --port " + cases[i].port;

    Outcome r = run(tree.env() + tqrf() + " --json ports --probe" + given, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(r.out);
    ASSERT_EQ(j["ports"].size(), cases.size()) << r.out;
    r = run(tree.env() + tqrf() + " ports --probe" + given, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), cases.size()) << r.out;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const json& p = j["ports"][i];
        EXPECT_EQ(p["device"], cases[i].port);
        EXPECT_EQ(p["listed"], i == 0) << cases[i].port;
        EXPECT_EQ(p["probe"]["outcome"], cases[i].outcome) << cases[i].port;
        EXPECT_EQ(lines[i].rfind(cases[i].port + "  ", 0), 0u) << lines[i];
        EXPECT_TRUE(has(lines[i], std::string("->  ") + cases[i].words)) << lines[i];
    }
    EXPECT_EQ(j["ports"][0]["probe"]["reader_id"], 0x0BADCAFE);
    EXPECT_EQ(j["ports"][1]["probe"]["received"], "580004BB7755009D");
    EXPECT_EQ(j["ports"][2]["probe"]["received"], "F00FE080FE1E7800");

    // --port with ports is for probing.
    EXPECT_EQ(run(tqrf() + " ports --port /dev/null", dir).status, 2);
    EXPECT_EQ(run(tqrf() + " ports --probe --port ''", dir).status, 2);
}

// Every command's failure says what answered; info on an echoing line says echo.
TEST(Finding, FailuresSayWhatAnswered) {
    TempDir dir;
    SimProcess echo(TQRF_SIM_EXE, "--adapter echo", dir, "echo");
    SimProcess noise(TQRF_SIM_EXE, "--adapter noise", dir, "noise");
    SilentLine silent;
    struct Case {
        std::string port;
        std::string command;
        const char* kind;
        const char* words;
    };
    const std::vector<Case> cases = {
        {echo.device(), "info", "echo", "the line echoes what is sent"},
        {echo.device(), "read 1", "echo", "the line echoes what is sent"},
        {echo.device(), "scan", "echo", "the line echoes what is sent"},
        {noise.device(), "info", "noise", "bytes came back that are no reply"},
        {noise.device(), "dump", "noise", "bytes came back that are no reply"},
        {silent.path(), "info", "no_reply", "no reply from the reader"},
    };
    for (const auto& c : cases) {
        // A short reply deadline: the silent line waits it out.
        const Outcome r =
            run(std::string(TQRF_EXE) + " --json --port " + c.port + " " + c.command, dir);
        EXPECT_EQ(r.status, 1) << c.command << "\n" << r.err;
        EXPECT_TRUE(has(r.err, c.words)) << c.command << " on " << c.port << "\n" << r.err;
        json j;
        ASSERT_NO_THROW(j = json::parse(r.out)) << r.out;
        EXPECT_EQ(j["error"], c.kind) << c.command << "\n" << r.out;
    }
}

TEST(Finding, DoctorOnAWorkingReaderAndOnAnEchoingLine) {
    TempDir dir;
    SimProcess reader(TQRF_SIM_EXE, "", dir, "reader");
    SimProcess echo(TQRF_SIM_EXE, "--adapter echo", dir, "echo");
    ASSERT_FALSE(reader.device().empty() || echo.device().empty());

    Outcome r = run(tqrf() + " doctor --port " + reader.device(), dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "20 link tests: min ")) << r.out;
    EXPECT_TRUE(has(r.out, "version TQRF-SIM RC500 V1.0, identity 0x12345678")) << r.out;
    EXPECT_TRUE(has(r.out, "the reader works")) << r.out;

    r = run(tqrf() + " --json doctor --port " + reader.device(), dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["works"], true);
    const json& rt = j["round_trip_ms"];
    ASSERT_TRUE(rt["min"].is_number() && rt["median"].is_number() && rt["max"].is_number())
        << r.out;
    EXPECT_LE(rt["min"].get<double>(), rt["median"].get<double>());
    EXPECT_LE(rt["median"].get<double>(), rt["max"].get<double>());
    EXPECT_NEAR(rt["floor"].get<double>(), 1.0 + 11 * 11.0 / 19.2, 0.01);
    EXPECT_EQ(j["reader_id"], 0x12345678);
    for (const auto& f : j["findings"]) EXPECT_NE(f["status"], "problem") << f.dump();

    r = run(tqrf() + " doctor --port " + echo.device(), dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "problem  link        link test 1 of 20 failed: the line echoes"))
        << r.out;
    EXPECT_TRUE(has(r.err, "the reader does not work")) << r.err;
    r = run(tqrf() + " --json doctor --port " + echo.device(), dir);
    EXPECT_EQ(r.status, 1);
    j = json::parse(r.out);
    EXPECT_EQ(j["works"], false);
    EXPECT_TRUE(j["round_trip_ms"]["min"].is_null());

    // A missing device and an empty name.
    r = run(tqrf() + " doctor --port " + (dir / "gone"), dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "problem  device") && has(r.out, "does not exist")) << r.out;
    EXPECT_EQ(run(tqrf() + " doctor --port ''", dir).status, 2);
}

// What doctor makes of the adapter's driver and latency timer, read from the listing and sysfs.
TEST(Finding, DoctorJudgesTheDriverAndTheLatencyTimer) {
    TempDir dir;
    SimProcess reader(TQRF_SIM_EXE, "", dir, "reader");
    ASSERT_FALSE(reader.device().empty());
    struct Case {
        const char* driver;
        int latency;
        const char* mark_space;
        const char* latency_status;  // nullptr: no latency finding
        const char* words;
    };
    const Case cases[] = {
        {"ftdi_sio", 16, "ok", "warning", "ATTR{latency_timer}"},
        {"ftdi_sio", 1, "ok", "ok", "low latency is on"},
        {"io_ti", 16, "problem", "warning", "another"},
        {"cdc_acm", 16, "warning", "ok", "the driver cdc_acm keeps no latency timer: nothing"},
        {"ch341", 16, "ok", "ok", "the driver ch341 keeps no latency timer: nothing to set"},
        {"pl2303", 16, "ok", "ok", "the driver pl2303 keeps no latency timer: nothing to set"},
    };
    for (const auto& c : cases) {
        TempDir tdir;
        Tree tree(tdir);
        tree.adapter("1-2", "ttyUSB0", c.driver, reader.device(), c.latency);
        const Outcome r =
            run(tree.env() + tqrf() + " --json doctor --port " + tree.dev("ttyUSB0"), tdir);
        EXPECT_EQ(r.status, 0) << c.driver << "\n" << r.out << r.err;  // the reader works
        const json j = json::parse(r.out);
        std::map<std::string, json> by_check;
        for (const auto& f : j["findings"]) by_check[f["check"]] = f;
        EXPECT_EQ(by_check["mark/space"]["status"], c.mark_space) << c.driver << r.out;
        EXPECT_EQ(by_check["latency"]["status"], c.latency_status) << c.driver << r.out;
        EXPECT_TRUE(has(by_check["adapter"]["finding"], "USB 0403:6001")) << r.out;
        EXPECT_TRUE(has(r.out, c.words)) << c.driver << "\n" << r.out;
        // The latency timer's udev rule is the FTDI driver's alone, and only when it is off.
        EXPECT_EQ(has(r.out, "ATTR{latency_timer}"),
                  std::string(c.driver) == "ftdi_sio" && c.latency > 1)
            << c.driver << "\n"
            << r.out;
    }
}

// A device only root may open, for a user who is not root: scan, doctor, ports --probe and
// --port auto give the same reason and the same remedy. The tool runs as the user nobody
// (setpriv), so the refusal is the kernel's own, on a real pseudo-terminal that the fake
// sysfs tree lists as an FTDI adapter with its USB ids.
TEST(Finding, ARootOnlyDeviceGetsOneReasonAndRemedyEverywhere) {
    if (::geteuid() != 0 || std::system("command -v setpriv >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
    }
    TempDir dir;
    SilentLine line;
    SimProcess echo(TQRF_SIM_EXE, "--adapter echo", dir, "echo");
    ASSERT_FALSE(line.path().empty() || echo.device().empty());
    Tree tree(dir);
    tree.adapter("1-2", "ttyUSB0", "ftdi_sio", line.path());
    // Beside it, a line anyone may open that echoes: it opened, and no reader answered there.
    tree.adapter("1-3", "ttyUSB1", "ftdi_sio", echo.device());
    ASSERT_EQ(::chmod(echo.device().c_str(), 0666), 0);
    ASSERT_EQ(::chown(line.path().c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(line.path().c_str(), 0600), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);  // the tree, for nobody to read
    const std::string nobody = tree.env() + "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                               std::string(TQRF_EXE) + " --slack 500 ";
    const std::string dev = tree.dev("ttyUSB0");
    const std::string reason =
        "you (nobody) may not open it (crw------- root root): no group you "
        "could join may open it (only its owner may read and write it)";
    const std::string rule =
        "SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
        "ATTRS{serial}==\"A600ttyUSB0\", GROUP=\"dialout\", MODE=\"0660\"";
    const std::string join = "and join the group dialout: sudo usermod -aG dialout nobody";

    Outcome r = run(nobody + "--port " + dev + " scan", dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(has(r.err, "cannot open " + dev + ": permission denied: " + reason)) << r.err;
    EXPECT_TRUE(has(r.err, rule) && has(r.err, join)) << r.err;

    r = run(nobody + "--port auto scan", dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(
        has(r.err, "1 port could not be opened:\n  " + dev + ": permission denied: " + reason))
        << r.err;
    EXPECT_TRUE(has(r.err, rule) && has(r.err, join)) << r.err;
    EXPECT_TRUE(has(r.err, "No reader answers on the other ports tried:\n  " + tree.dev("ttyUSB1") +
                               ": the line echoes"))
        << r.err;

    r = run(nobody + "ports --probe", dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, dev + "  usb") && has(r.out, "->  permission denied: " + reason))
        << r.out;
    EXPECT_TRUE(has(r.out, rule)) << r.out;

    r = run(nobody + "--json doctor --port " + dev, dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const json j = json::parse(r.out);
    std::map<std::string, json> by_check;
    for (const auto& f : j["findings"]) by_check[f["check"]] = f;
    EXPECT_EQ(by_check["access"]["status"], "problem") << r.out;
    const std::string said = by_check["access"]["finding"].get<std::string>() + ": " +
                             by_check["access"]["remedy"].get<std::string>();
    EXPECT_EQ(said.rfind(reason, 0), 0u) << said;
    EXPECT_TRUE(has(said, rule) && has(said, join)) << said;
    EXPECT_FALSE(has(r.out, "KERNEL==")) << r.out;
}

}  // namespace
