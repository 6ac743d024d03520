// A program built against the 1.2.0 header (a copy in v1.2/), run against this library: it
// lists the ports and probes the simulated reader through the 1.2 calls and layouts, and gets
// what the 1.2 library gave it. The probe result is followed by a guard that no write may reach.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tqrf_sim/simulator.h"
#include "v1.2/tq_RWD_DLL.h"

// After the C header it checks against.
#include "tests/support/fake_device_tree.h"

static_assert(TQRF_VERSION_MAJOR == 1 && TQRF_VERSION_MINOR == 2 && TQRF_VERSION_PATCH == 0,
              "built against the 1.2.0 header");

namespace {

TEST(Version1_2Program, RunsWithThisLibrary) {
    EXPECT_STREQ(TQRF_VERSION_STRING, "1.2.0");
    EXPECT_STRNE(tqrf_version(), "1.2.0");
    EXPECT_EQ(std::strncmp(tqrf_version(), "1.", 2), 0) << tqrf_version();
}

TEST(Version1_2Program, ListsThePortsThroughTheOldLayout) {
    tqrf_sim::Simulator sim;
    sim.start();
    tqrf_test::FakeDeviceTree tree(sim.slave_path());
    ASSERT_TRUE(tree.made());
    tqrf_port_info* ports = nullptr;
    std::uint32_t count = 0;
    ASSERT_EQ(tqrf_list_ports(&ports, &count), 0);
    ASSERT_EQ(count, 1u);
    tqrf_test::expect_ftdi_adapter(
        ports[0], tree.dev("ttyUSB0"),
        tree.dev("serial/by-id/" + tqrf_test::FakeDeviceTree::ftdi_by_id_name()));
    tqrf_free_ports(ports);
    EXPECT_EQ(tqrf_list_ports(nullptr, &count), ERR_BAD_ARGUMENT);
}

TEST(Version1_2Program, ProbesTheSimulatedReaderThroughTheOldLayout) {
    tqrf_sim::Simulator sim;
    sim.start();
    sim.set_identity(0x00C0FFEE);
    struct Guarded {
        tqrf_probe_result result;
        unsigned char guard[64];
    } g;
    std::memset(&g, 0xA5, sizeof g);
    ASSERT_EQ(tqrf_probe(sim.slave_path().c_str(), 1000, &g.result), 0);
    EXPECT_EQ(g.result.outcome, TQRF_PROBE_READER);
    EXPECT_EQ(g.result.os_error, 0);
    EXPECT_EQ(g.result.reader_id, 0x00C0FFEEu);
    EXPECT_GT(g.result.version_length, 0u);
    EXPECT_LE(g.result.version_length, static_cast<std::uint32_t>(TQRF_REPLY_DATA_MAX));
    EXPECT_GT(g.result.round_trip_us, 0u);
    EXPECT_GE(g.result.received, 4u);  // the link test's whole reply frame
    for (unsigned char byte : g.guard) ASSERT_EQ(byte, 0xA5);

    // A port that is not there, and the 1.2 refusals.
    std::memset(&g, 0xA5, sizeof g);
    ASSERT_EQ(tqrf_probe("/dev/tqrf-no-such-port", 0, &g.result), 0);
    EXPECT_EQ(g.result.outcome, TQRF_PROBE_MISSING);
    EXPECT_NE(g.result.os_error, 0);
    for (unsigned char byte : g.guard) ASSERT_EQ(byte, 0xA5);
    EXPECT_EQ(tqrf_probe("", 0, &g.result), ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_probe("/dev/null", 0, nullptr), ERR_BAD_ARGUMENT);
}

}  // namespace
