// The one judgement of who may open a device (scan, doctor, ports --probe, --port auto): the
// group to join is named only when that group owns the device and may read and write it; any
// other refused device gets a udev rule that matches the adapter's own attributes (never a
// pseudo-terminal's number), or, for a pseudo-terminal, the program that made it.
#include <gtest/gtest.h>

#include <initializer_list>

#include "finding.h"

namespace {

using tqrf::tool::access_judgement;
using tqrf::tool::PortEntry;
using tqrf::tool::device::Access;

// What stat() and the group database said: the mode, owner and group, and this user's place.
struct Seen {
    const char* mode;
    const char* owner;
    const char* group;
    bool may_open = false;
    bool in_group = false;      // in the owning group, from the next login on
    bool in_group_now = false;  // ... in this session
    bool in_dialout = false;
    const char* resolved = "/dev/ttyUSB0";
};

Access device(const Seen& s) {
    Access a;
    a.checked = true;
    a.exists = true;
    a.character_device = true;
    a.resolved = s.resolved;
    a.pseudo_terminal = a.resolved.rfind("/dev/pts/", 0) == 0;
    a.mode = s.mode;
    a.owner = s.owner;
    a.group = s.group;
    a.owner_read_write = s.mode[1] == 'r' && s.mode[2] == 'w';
    a.group_read_write = s.mode[4] == 'r' && s.mode[5] == 'w';
    a.may_open = s.may_open;
    a.in_group = s.in_group || s.in_group_now;
    a.in_group_now = s.in_group_now;
    a.in_grant_group = s.in_dialout;
    return a;
}

PortEntry usb(const char* name, std::int32_t vendor, std::int32_t product, const char* serial,
              const char* driver) {
    PortEntry e;
    e.device = std::string("/dev/") + name;
    e.transport = tqrf::Transport::Usb;
    e.usb_vendor_id = vendor;
    e.usb_product_id = product;
    e.serial_number = serial;
    e.driver = driver;
    return e;
}

TEST(AccessJudgement, GroupToJoinOrUdevRuleOrTheProgramThatMadeIt) {
    const PortEntry ftdi = usb("ttyUSB0", 0x0403, 0x6001, "A600BC12", "ftdi_sio");
    const PortEntry ch341 = usb("ttyUSB0", 0x1a86, 0x7523, "", "ch341");
    PortEntry by_id_only = usb("ttyUSB0", -1, -1, "", "pl2303");
    by_id_only.stable_path = "/dev/serial/by-id/usb-Prolific_USB-Serial-if00-port0";
    PortEntry uart;
    uart.device = "/dev/ttyS0";
    uart.transport = tqrf::Transport::Builtin;
    uart.driver = "serial8250";

    struct Case {
        const char* name;
        Seen seen;
        const PortEntry* port;
        bool ok;
        std::initializer_list<const char*> has;  // in the remedy
        std::initializer_list<const char*> lacks;
    };
    const Case cases[] = {
        {"may open", {"crw-rw----", "root", "dialout", true, true, true}, &ftdi, true, {}, {}},
        {"not in the owning group",
         {"crw-rw----", "root", "dialout"},
         &ftdi,
         false,
         {"join the group dialout that owns it: sudo usermod -aG dialout alice"},
         {"newgrp", "udev"}},
        {"another group owns it",
         {"crw-rw----", "root", "uucp"},
         &ftdi,
         false,
         {"sudo usermod -aG uucp alice"},
         {"dialout", "udev"}},
        {"joined, session older",
         {"crw-rw----", "root", "dialout", false, true},
         &ftdi,
         false,
         {"log out and in again (or run: newgrp dialout)"},
         {"usermod"}},
        {"in the group and refused",
         {"crw-rw----", "root", "dialout", false, true, true},
         &ftdi,
         false,
         {"getfacl /dev/ttyUSB0"},
         {"usermod", "udev"}},
        {"root-only FTDI adapter",
         {"crw-------", "root", "root"},
         &ftdi,
         false,
         {"only its owner may read and write it",
          "/etc/udev/rules.d/99-tqrf-serial.rules:\n    SUBSYSTEM==\"tty\", "
          "ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", ATTRS{serial}==\"A600BC12\", "
          "GROUP=\"dialout\", MODE=\"0660\"\n",
          "sudo udevadm control --reload",
          "and join the group dialout: sudo usermod -aG "
          "dialout alice"},
         {"KERNEL", "uucp", "-aG root"}},
        {"root-only CH341 adapter without a serial number",
         {"crw-------", "root", "root"},
         &ch341,
         false,
         {"SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", "
          "GROUP=\"dialout\", MODE=\"0660\""},
         {"ATTRS{serial}", "KERNEL"}},
        {"the group may only read, user in dialout already",
         {"crw-r-----", "root", "dialout", false, false, false, true},
         &ftdi,
         false,
         {"its group dialout may not read and write it", "ATTRS{idVendor}==\"0403\"",
          "you are in the group dialout already"},
         {"usermod", "-aG dialout"}},
        {"adapter known by its by-id name only",
         {"crw-------", "root", "root"},
         &by_id_only,
         false,
         {"SUBSYSTEM==\"tty\", SYMLINK==\"serial/by-id/usb-Prolific_USB-Serial-if00-port0\", "
          "GROUP=\"dialout\""},
         {"KERNEL", "ATTRS"}},
        {"built-in UART in root's own group",
         {"crw-rw----", "root", "root", false, false, false, false, "/dev/ttyS0"},
         &uart,
         false,
         {"its group is root's own", "SUBSYSTEM==\"tty\", KERNEL==\"ttyS0\", GROUP=\"dialout\""},
         {"ATTRS", "-aG root"}},
        {"unlisted device: its kernel name",
         {"crw-------", "root", "root", false, false, false, false, "/dev/ttyACM0"},
         nullptr,
         false,
         {"KERNEL==\"ttyACM0\""},
         {"ATTRS"}},
        {"pseudo-terminal",
         {"crw--w----", "bob", "tty", false, false, false, false, "/dev/pts/4"},
         nullptr,
         false,
         {"a pseudo-terminal belongs to the program that made it"},
         {"KERNEL", "udev rule gives", "\"4\"", "usermod"}},
    };
    for (const auto& c : cases) {
        const Access a = device(c.seen);
        const auto v = access_judgement(a, c.port, "alice");
        EXPECT_EQ(v.ok, c.ok) << c.name;
        const std::string owned =
            std::string("(") + c.seen.mode + " " + c.seen.owner + " " + c.seen.group + ")";
        EXPECT_EQ(v.finding, (c.ok ? "you may open it " : "you (alice) may not open it ") + owned)
            << c.name;
        EXPECT_EQ(v.remedy.empty(), c.ok) << c.name << ": " << v.remedy;
        for (const char* h : c.has) {
            EXPECT_NE(v.remedy.find(h), std::string::npos) << c.name << ": " << v.remedy;
        }
        for (const char* l : c.lacks) {
            EXPECT_EQ(v.remedy.find(l), std::string::npos) << c.name << ": " << v.remedy;
        }
    }
    // Without a user name the remedy stands for whoever reads it.
    const auto v = access_judgement(device({"crw-rw----", "root", "dialout"}), &ftdi, "");
    EXPECT_EQ(v.finding, "you may not open it (crw-rw---- root dialout)");
    EXPECT_NE(v.remedy.find("sudo usermod -aG dialout $USER"), std::string::npos) << v.remedy;
}

}  // namespace

// The words `tqrf ports` and `tqrf probe` print for the C values, and for values a newer library
// may add.
namespace {

TEST(FindingWords, EveryValue) {
    using namespace tqrf::tool;
    const struct {
        const char* (*word)(std::int32_t);
        std::int32_t value;
        const char* text;
    } cases[] = {
        {transport_word, TQRF_TRANSPORT_BUILTIN, "builtin"},
        {transport_word, TQRF_TRANSPORT_USB, "usb"},
        {transport_word, TQRF_TRANSPORT_BLUETOOTH, "bluetooth"},
        {transport_word, TQRF_TRANSPORT_OTHER, "other"},
        {transport_word, -1, "other"},
        {mark_space_word, TQRF_MARK_SPACE_YES, "yes"},
        {mark_space_word, TQRF_MARK_SPACE_NO, "no"},
        {mark_space_word, TQRF_MARK_SPACE_UNKNOWN, "unknown"},
        {mark_space_word, 2, "unknown"},
        {outcome_word, TQRF_PROBE_READER, "reader"},
        {outcome_word, TQRF_PROBE_ECHO, "echo"},
        {outcome_word, TQRF_PROBE_NOISE, "noise"},
        {outcome_word, TQRF_PROBE_SILENT, "silent"},
        {outcome_word, TQRF_PROBE_MISSING, "missing"},
        {outcome_word, TQRF_PROBE_NO_PERMISSION, "no_permission"},
        {outcome_word, TQRF_PROBE_BUSY, "busy"},
        {outcome_word, TQRF_PROBE_NOT_SERIAL, "not_serial"},
        {outcome_word, TQRF_PROBE_OPEN_FAILED, "open_failed"},
        {outcome_word, TQRF_PROBE_NO_MARK_SPACE, "no_mark_space"},
        {outcome_word, -1, "open_failed"},
    };
    for (const auto& c : cases) EXPECT_STREQ(c.word(c.value), c.text) << c.value;
}

}  // namespace
