// Finding the reader through the C++ API, on real pseudo-terminals: the simulated reader, a
// line that echoes, a silent line, a missing path; the listing through a fake device tree whose
// dev/ttyUSB0 leads to the simulated reader.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "tests/support/pty.h"
#include "tq_RWD_DLL.hpp"
#include "tqrf_sim/simulator.h"

// After the C header it checks against.
#include "tests/support/fake_device_tree.h"

namespace {

using namespace std::chrono_literals;

// Each outcome's name, in the order of the C header's values; a value from a newer library
// reads as a failed open.
TEST(Probe, OutcomeNames) {
    const char* names[] = {"reader",        "echo", "noise",      "silent",      "missing",
                           "no-permission", "busy", "not-serial", "open-failed", "no-mark-space"};
    for (std::int32_t v = 0; v <= TQRF_PROBE_NO_MARK_SPACE; ++v) {
        EXPECT_EQ(tqrf::outcome_name(static_cast<tqrf::ProbeOutcome>(v)), names[v]) << v;
    }
    EXPECT_EQ(tqrf::outcome_name(tqrf::ProbeOutcome::NoPermission), "no-permission");
    EXPECT_EQ(tqrf::outcome_name(static_cast<tqrf::ProbeOutcome>(10)), "open-failed");
    EXPECT_EQ(tqrf::outcome_name(static_cast<tqrf::ProbeOutcome>(-1)), "open-failed");
}

// A pseudo-terminal with nothing behind it, or with a loop that sends back every byte.
class Line : public tqrf::testing::Pty {
  public:
    explicit Line(bool echo) {
        if (echo) this->echo();
    }
};

TEST(ProbeApi, SimulatedReaderGivesItsVersionAndIdentity) {
    tqrf_sim::Simulator sim;
    sim.start();
    sim.set_identity(0x00C0FFEE);
    const auto found = tqrf::probe(sim.slave_path(), 1000ms);
    ASSERT_TRUE(found) << found.error().message();
    EXPECT_EQ(found->outcome, tqrf::ProbeOutcome::Reader);
    EXPECT_EQ(found->reader_id, 0x00C0FFEEu);
    EXPECT_FALSE(found->version.empty());
    EXPECT_GT(found->round_trip.count(), 0);
    EXPECT_EQ(tqrf::outcome_name(found->outcome), "reader");
    // Exactly three requests: link test, version, identity.
    const auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[0].command(), 0x77);
    EXPECT_EQ(journal[1].command(), 0x73);
    EXPECT_EQ(journal[2].command(), 0x76);
}

TEST(ProbeApi, EchoSilenceAndMissingAreToldApart) {
    Line echo(true);
    Line silent(false);
    ASSERT_FALSE(echo.path().empty());
    const auto echoed = tqrf::probe(echo.path());
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->outcome, tqrf::ProbeOutcome::Echo);
    EXPECT_EQ(echoed->received.size(), 8u);  // address byte and the 7-byte link test frame
    const auto quiet = tqrf::probe(silent.path());
    ASSERT_TRUE(quiet);
    EXPECT_EQ(quiet->outcome, tqrf::ProbeOutcome::Silent);
    EXPECT_TRUE(quiet->received.empty());
    const auto missing = tqrf::probe("/dev/tqrf-no-such-port");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->outcome, tqrf::ProbeOutcome::Missing);
    EXPECT_EQ(missing->os_error, std::errc::no_such_file_or_directory);
    const auto not_serial = tqrf::probe("/dev/null");
    ASSERT_TRUE(not_serial);
    EXPECT_EQ(not_serial->outcome, tqrf::ProbeOutcome::NotSerial);
    EXPECT_EQ(tqrf::probe("").error(), tqrf::errc::bad_argument);
}

TEST(ProbeApi, ReaderOnAnEchoingLineSaysEcho) {
    Line echo(true);
    auto reader = tqrf::Reader::open(echo.path());
    ASSERT_TRUE(reader) << reader.error().message();
    EXPECT_EQ(reader->last_answer(), tqrf::Answer::None);
    EXPECT_FALSE(reader->link_test());
    EXPECT_EQ(reader->last_answer(), tqrf::Answer::Echo);
}

TEST(ListPortsApi, FakeUsbAdapterLeadsToTheSimulatedReader) {
    tqrf_sim::Simulator sim;
    sim.start();
    tqrf_test::FakeDeviceTree tree;
    ASSERT_TRUE(tree.made());
    tree.usb_serial("1-2", "ttyUSB0", "ftdi_sio",
                    {{"idVendor", "0403"}, {"idProduct", "6001"}, {"product", "FT232R USB UART"}});
    tree.lead_to("ttyUSB0", sim.slave_path());

    const auto ports = tqrf::list_ports();
    unsetenv("TQRF_DEVICE_ROOT");
    ASSERT_TRUE(ports);
    ASSERT_EQ(ports->size(), 1u);
    const tqrf::PortInfo& p = ports->front();
    EXPECT_EQ(p.device, tree.dev("ttyUSB0"));
    EXPECT_EQ(p.transport, tqrf::Transport::Usb);
    EXPECT_EQ(p.usb_vendor_id, 0x0403);
    EXPECT_EQ(p.usb_product_id, 0x6001);
    EXPECT_EQ(p.driver, "ftdi_sio");
    EXPECT_EQ(p.mark_space, tqrf::MarkSpace::Yes);
    EXPECT_EQ(p.description, "FT232R USB UART");
    const auto found = tqrf::probe(p.device, 1000ms);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->outcome, tqrf::ProbeOutcome::Reader);
}

}  // namespace
