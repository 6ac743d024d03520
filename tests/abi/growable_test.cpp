// The growable calls serve callers of every size: a result or entry of an older, smaller
// layout gets the fields that fit in it and nothing past it (a guard follows the caller's
// struct), a newer, larger one gets 0 in the fields this library does not know. And the one
// mapping of COM names.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tq_RWD_DLL.h"
#include "tqrf_sim/simulator.h"

// After the C header it checks against.
#include "tests/support/fake_device_tree.h"

namespace {

constexpr unsigned char GUARD = 0xA5;
constexpr std::size_t ROOM = sizeof(tqrf_probe_result2) + 64;

// A caller's buffer: `size` bytes of its struct, then guard bytes up to ROOM.
struct ProbeBuffer {
    alignas(tqrf_probe_result2) unsigned char bytes[ROOM];
    explicit ProbeBuffer(std::uint32_t size) {
        std::memset(bytes, GUARD, sizeof bytes);
        std::memcpy(bytes, &size, sizeof size);
    }
    const tqrf_probe_result2& result() const {
        return *reinterpret_cast<const tqrf_probe_result2*>(bytes);
    }
    bool guarded(std::size_t from, std::size_t to) const {
        for (std::size_t i = from; i < to; ++i) {
            if (bytes[i] != GUARD) return false;
        }
        return true;
    }
    bool zero(std::size_t from, std::size_t to) const {
        for (std::size_t i = from; i < to; ++i) {
            if (bytes[i] != 0) return false;
        }
        return true;
    }
};

TEST(ProbeResult2, EachCallerSizeGetsTheFieldsThatFitAndNothingPast) {
    tqrf_sim::Simulator sim;
    sim.start();
    sim.set_identity(0x00C0FFEE);
    const std::uint32_t full = sizeof(tqrf_probe_result2);
    struct Case {
        const char* name;
        std::uint32_t size;
        std::size_t written;  // the bytes after which nothing is written
    };
    const Case cases[] = {
        {"this layout", full, full},
        {"only the outcome", TQRF_PROBE_RESULT2_MIN_SIZE, TQRF_PROBE_RESULT2_MIN_SIZE},
        {"an older layout up to received", TQRF_SIZE_THROUGH(tqrf_probe_result2, received),
         TQRF_SIZE_THROUGH(tqrf_probe_result2, received)},
        {"a size that cuts the bytes field", TQRF_SIZE_THROUGH(tqrf_probe_result2, received) + 3,
         TQRF_SIZE_THROUGH(tqrf_probe_result2, received)},
        {"an older layout up to version", TQRF_SIZE_THROUGH(tqrf_probe_result2, version),
         TQRF_SIZE_THROUGH(tqrf_probe_result2, version)},
        {"a newer, larger layout", full + 24, full + 24},
    };
    for (const Case& c : cases) {
        ProbeBuffer buffer(c.size);
        auto* out = reinterpret_cast<tqrf_probe_result2*>(buffer.bytes);
        ASSERT_EQ(tqrf_probe2(sim.slave_path().c_str(), 1000, out), 0) << c.name;
        const tqrf_probe_result2& r = buffer.result();
        EXPECT_EQ(r.size, c.size) << c.name;
        EXPECT_EQ(r.outcome, TQRF_PROBE_READER) << c.name;
        if (c.written >= TQRF_SIZE_THROUGH(tqrf_probe_result2, received)) {
            EXPECT_EQ(r.os_error, 0) << c.name;
            EXPECT_GT(r.round_trip_us, 0u) << c.name;
            EXPECT_GE(r.received, 4u) << c.name;
        }
        if (c.written >= TQRF_SIZE_THROUGH(tqrf_probe_result2, version)) {
            EXPECT_GT(r.version_length, 0u) << c.name;
        }
        if (c.written >= full) {
            EXPECT_EQ(r.reader_id, 0x00C0FFEEu) << c.name;
        }
        // Past the fields this library knows, up to the caller's size: 0.
        if (c.size > full) {
            EXPECT_TRUE(buffer.zero(full, c.size)) << c.name;
        }
        // A cut field and everything past the caller's size: untouched.
        EXPECT_TRUE(buffer.guarded(c.written < full ? c.written : c.size, ROOM)) << c.name;
    }
}

TEST(ProbeResult2, ASizeBelowTheOutcomeIsRefusedAndNothingWritten) {
    const std::uint32_t sizes[] = {0, 4, TQRF_PROBE_RESULT2_MIN_SIZE - 1};
    for (std::uint32_t size : sizes) {
        ProbeBuffer buffer(size);
        auto* out = reinterpret_cast<tqrf_probe_result2*>(buffer.bytes);
        EXPECT_EQ(tqrf_probe2("/dev/tqrf-no-such-port", 0, out), TQRF_ERR_BAD_ARGUMENT) << size;
        EXPECT_TRUE(buffer.guarded(sizeof size, ROOM)) << size;
    }
    ProbeBuffer buffer(sizeof(tqrf_probe_result2));
    auto* out = reinterpret_cast<tqrf_probe_result2*>(buffer.bytes);
    EXPECT_EQ(tqrf_probe2(nullptr, 0, out), TQRF_ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_probe2("", 0, out), TQRF_ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_probe2("/dev/null", 0, nullptr), TQRF_ERR_BAD_ARGUMENT);
    EXPECT_TRUE(buffer.guarded(sizeof(std::uint32_t), ROOM));
}

TEST(ProbeResult2, SameFindingsAsTheFirstLayout) {
    // A port that is not there: the same outcome and error through both calls.
    tqrf_probe_result first;
    ASSERT_EQ(tqrf_probe("/dev/tqrf-no-such-port", 0, &first), 0);
    tqrf_probe_result2 second;
    second.size = sizeof second;
    ASSERT_EQ(tqrf_probe2("/dev/tqrf-no-such-port", 0, &second), 0);
    EXPECT_EQ(second.outcome, first.outcome);
    EXPECT_EQ(second.outcome, TQRF_PROBE_MISSING);
    EXPECT_EQ(second.os_error, first.os_error);
    EXPECT_EQ(second.received, 0u);
}

// An entry of an older, smaller layout: size, transport, device, stable path, description.
struct OlderPortInfo {
    std::uint32_t size;
    std::int32_t transport;
    const char* device;
    const char* stable_path;
    const char* description;
};
static_assert(offsetof(OlderPortInfo, description) == offsetof(tqrf_port_info2, description));

// A newer, larger layout: this one with two more fields.
struct NewerPortInfo {
    tqrf_port_info2 known;
    const char* later_text;
    std::int32_t later_number;
};

// The ports listed at one entry size, freed at the end of the scope.
struct ListedPorts {
    tqrf_port_info2* ports = nullptr;
    std::uint32_t count = 0;
    int32_t result;
    explicit ListedPorts(std::uint32_t entry_size)
        : result(tqrf_list_ports2(entry_size, &ports, &count)) {}
    ListedPorts(const ListedPorts&) = delete;
    ListedPorts& operator=(const ListedPorts&) = delete;
    ~ListedPorts() { tqrf_free_ports2(ports); }
    template <typename Entry>
    const Entry* first() const {
        return reinterpret_cast<const Entry*>(ports);
    }
};

TEST(PortInfo2, EntriesLaidOutAtTheCallersSize) {
    tqrf_sim::Simulator sim;
    sim.start();
    tqrf_test::FakeDeviceTree tree(sim.slave_path());
    ASSERT_TRUE(tree.made());
    const std::string device = tree.dev("ttyUSB0");
    const std::string stable =
        tree.dev("serial/by-id/" + tqrf_test::FakeDeviceTree::ftdi_by_id_name());

    {
        const ListedPorts listed(sizeof(tqrf_port_info2));
        ASSERT_EQ(listed.result, 0);
        ASSERT_EQ(listed.count, 1u);
        EXPECT_EQ(listed.ports[0].size, sizeof(tqrf_port_info2));
        tqrf_test::expect_ftdi_adapter(listed.ports[0], device, stable);
    }
    {
        const ListedPorts listed(sizeof(OlderPortInfo));
        ASSERT_EQ(listed.result, 0);
        ASSERT_EQ(listed.count, 1u);
        const auto* p = listed.first<OlderPortInfo>();
        EXPECT_EQ(p->size, sizeof(OlderPortInfo));
        EXPECT_EQ(p->transport, TQRF_TRANSPORT_USB);
        EXPECT_EQ(p->device, device);
        EXPECT_EQ(p->stable_path, stable);
        EXPECT_STREQ(p->description, "FT232R USB UART (FTDI)");
    }
    {
        const ListedPorts listed(sizeof(NewerPortInfo));
        ASSERT_EQ(listed.result, 0);
        ASSERT_EQ(listed.count, 1u);
        const auto* p = listed.first<NewerPortInfo>();
        EXPECT_EQ(p->known.size, sizeof(NewerPortInfo));
        EXPECT_EQ(p->known.device, device);
        EXPECT_STREQ(p->known.driver, "ftdi_sio");
        EXPECT_EQ(p->known.mark_space, TQRF_MARK_SPACE_YES);
        EXPECT_EQ(p->later_text, nullptr);
        EXPECT_EQ(p->later_number, 0);
    }
}

TEST(PortInfo2, EntrySizesThatCannotBeLaidOutAreRefused) {
    const std::uint32_t refused[] = {0, 4, TQRF_PORT_INFO2_MIN_SIZE - 1,
                                     TQRF_PORT_INFO2_MIN_SIZE + 1,
                                     65536 + alignof(tqrf_port_info2)};
    for (std::uint32_t size : refused) {
        auto* ports = reinterpret_cast<tqrf_port_info2*>(0x1);
        std::uint32_t count = 7;
        EXPECT_EQ(tqrf_list_ports2(size, &ports, &count), TQRF_ERR_BAD_ARGUMENT) << size;
        EXPECT_EQ(ports, nullptr) << size;
        EXPECT_EQ(count, 0u) << size;
    }
    std::uint32_t count = 0;
    tqrf_port_info2* ports = nullptr;
    EXPECT_EQ(tqrf_list_ports2(sizeof(tqrf_port_info2), nullptr, &count), TQRF_ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_list_ports2(sizeof(tqrf_port_info2), &ports, nullptr), TQRF_ERR_BAD_ARGUMENT);
    tqrf_free_ports2(nullptr);
}

TEST(ComPortPath, OneMappingOneLimit) {
    struct Case {
        const char* name;
        int32_t result;
        const char* path;
    };
    const Case cases[] = {
        {"COM1", 0, "/dev/ttyS0"},
        {"com12", 0, "/dev/ttyS11"},
        {"Com007", 0, "/dev/ttyS6"},
        {"COM999", 0, "/dev/ttyS998"},
        {"COM1000", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"COM99999999999", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"COM0", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"COM", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"COM3x", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"COM 3", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"COM+3", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"/dev/ttyUSB0", TQRF_ERR_BAD_ARGUMENT, nullptr},
        {"", TQRF_ERR_BAD_ARGUMENT, nullptr},
    };
    for (const Case& c : cases) {
        char path[32];
        std::memset(path, '#', sizeof path);
        EXPECT_EQ(tqrf_com_port_path(c.name, path, sizeof path), c.result) << c.name;
        if (c.path != nullptr) {
            EXPECT_STREQ(path, c.path) << c.name;
        } else {
            EXPECT_EQ(path[0], '#') << c.name;
        }
    }
    // The path and its terminator must fit; nothing is written when they do not.
    char small[11];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(tqrf_com_port_path("COM3", small, 10), TQRF_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small[0], '#');
    EXPECT_EQ(tqrf_com_port_path("COM3", small, 11), 0);
    EXPECT_STREQ(small, "/dev/ttyS2");
    EXPECT_EQ(tqrf_com_port_path(nullptr, small, sizeof small), TQRF_ERR_BAD_ARGUMENT);
    EXPECT_EQ(tqrf_com_port_path("COM3", nullptr, 16), TQRF_ERR_BAD_ARGUMENT);
}

TEST(ComPortPath, OpeningUsesTheSameMapping) {
    // A number past the limit names no device: the open is refused as missing, not tried.
    tqrf_reader* r = reinterpret_cast<tqrf_reader*>(0x1);
    EXPECT_EQ(tqrf_reader_open("COM1000", &r), TQRF_ERR_PORT_OPEN_FAILED);
    EXPECT_EQ(r, nullptr);
    char name[] = "COM1000";
    EXPECT_EQ(tqrf_init(name), TQRF_ERR_PORT_OPEN_FAILED);
    EXPECT_STREQ(name, "1000");
}

}  // namespace
