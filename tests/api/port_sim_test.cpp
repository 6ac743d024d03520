// The C++ API against the simulated reader: the port's ownership rules and a card session.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "tq_RWD_DLL.hpp"
#include "tqrf_sim/simulator.h"

namespace {

class PortSim : public ::testing::Test {
  protected:
    void SetUp() override {
        // A generous reply deadline for the default reader: on a loaded machine the
        // simulator's thread may answer after the fixed 40 ms.
        setenv("TQRF_REPLY", "complete:1000", 1);
        sim_.start();
    }
    void TearDown() override { unsetenv("TQRF_REPLY"); }
    tqrf_sim::Simulator sim_;  // one factory-fresh card, UID 3A7C91E5
};

TEST_F(PortSim, OnePortPerProcessClosedByTheDestructor) {
    {
        auto port = tqrf::Port::open(sim_.slave_path());
        ASSERT_TRUE(port) << port.error().message();
        EXPECT_TRUE(port->is_open());
        auto second = tqrf::Port::open(sim_.slave_path());
        ASSERT_FALSE(second);
        EXPECT_EQ(second.error(), tqrf::errc::port_in_use);
        EXPECT_TRUE(port->link_test());  // the failed open left the first port alone
    }
    // The destructor closed it: the library has no port any more.
    EXPECT_EQ(tqrf::Port().link_test().error(), tqrf::errc::port_not_open);
}

TEST_F(PortSim, MovingHandsOverTheOnePort) {
    auto opened = tqrf::Port::open(sim_.slave_path());
    ASSERT_TRUE(opened);
    tqrf::Port a = std::move(*opened);
    EXPECT_FALSE(opened->is_open());
    tqrf::Port b;
    b = std::move(a);
    EXPECT_FALSE(a.is_open());
    EXPECT_TRUE(b.is_open());
    EXPECT_TRUE(b.link_test());
    EXPECT_TRUE(a.close());  // the moved-from port does not close b's
    EXPECT_TRUE(b.link_test());
    EXPECT_TRUE(b.close());
    EXPECT_FALSE(b.is_open());
    EXPECT_EQ(b.link_test().error(), tqrf::errc::port_not_open);
}

TEST_F(PortSim, CardSession) {
    auto port = tqrf::Port::open(sim_.slave_path());
    ASSERT_TRUE(port);
    auto card = port->select_card();
    ASSERT_TRUE(card) << card.error().message();
    EXPECT_EQ(card->uid.hex(), "3A7C91E5");
    EXPECT_EQ(card->type.hex(), "0400");
    EXPECT_EQ(card->size, 0x08);

    // Without authentication the reader refuses with a status byte of its own.
    auto refused = port->read(4);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(tqrf::is_reader_status(refused.error()));
    EXPECT_EQ(refused.error().message().rfind("reader status ", 0), 0u);

    ASSERT_TRUE(port->select_card());
    ASSERT_TRUE(port->login(1, tqrf::KeyType::A, tqrf::kDefaultKey));
    const tqrf::Block data = *tqrf::Block::from_hex("00112233445566778899AABBCCDDEEFF");
    ASSERT_TRUE(port->write(5, data));
    auto back = port->read(5);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, data);

    ASSERT_TRUE(port->init_value(4, -20));
    ASSERT_TRUE(port->increment(4, 50));
    ASSERT_TRUE(port->transfer(4));
    auto value = port->read_value(4);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, 30);
    auto raw = port->read(4);
    ASSERT_TRUE(raw);
    auto decoded = tqrf::mifare::ValueBlock::decode(*raw);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->value, 30);

    auto found = port->find_card(tqrf::RequestMode::All);
    ASSERT_TRUE(found) << found.error().message();
    EXPECT_EQ(found->uid, card->uid);
    EXPECT_EQ(found->size, 0x08);
}

TEST_F(PortSim, ReaderDevice) {
    auto port = tqrf::Port::open(sim_.slave_path());
    ASSERT_TRUE(port);
    auto version = port->hardware_version();
    ASSERT_TRUE(version);
    EXPECT_EQ(*version, tqrf_sim::kHardwareVersionText);
    auto id = port->reader_id();
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, tqrf_sim::kDefaultIdentity);
    const tqrf::Block e2 = *tqrf::Block::from_hex("0F0E0D0C0B0A09080706050403020100");
    ASSERT_TRUE(port->write_e2(0x40, e2));
    auto e2_back = port->read_e2(0x40);
    ASSERT_TRUE(e2_back);
    EXPECT_EQ(*e2_back, e2);
    const tqrf::ClockBytes clock{0x00, 0x30, 0x12, 0x29, 0x02, 0x04, 0x24};
    ASSERT_TRUE(port->set_clock(clock));
    auto now = port->read_clock();
    ASSERT_TRUE(now);
    EXPECT_EQ((*now)[1], 0x30);
    EXPECT_EQ((*now)[3], 0x29);
    EXPECT_TRUE(port->beep(1));
    EXPECT_TRUE(port->reset());
}

TEST_F(PortSim, NoReplyIsAFrameError) {
    auto port = tqrf::Port::open(sim_.slave_path());
    ASSERT_TRUE(port);
    sim_.add_fault(
        tqrf_sim::FaultRule{tqrf_sim::Fault{tqrf_sim::FaultKind::NoReply, 0}, std::nullopt, 1});
    auto r = port->reader_id();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), tqrf::errc::reply_frame);
    EXPECT_EQ(r.error().message().rfind("ERR_REPLY_FRAME", 0), 0u);
}

}  // namespace
