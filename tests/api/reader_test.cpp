// tqrf::Reader against the simulated reader: strict replies, several readers on several
// threads, the trace callback, options, ownership; and error codes made in another module.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tq_RWD_DLL.hpp"
#include "tqrf_sim/simulator.h"

extern "C" void other_module_code(int result, std::error_code* out);
extern "C" void other_module_enum(std::error_code* out);

namespace {

using tqrf_sim::FaultKind;
using tqrf_sim::FaultRule;

// A generous reply deadline: on a loaded machine the simulator's thread may answer late. One
// attempt: a fault on a reply is what the test sees (the tests of repeats ask for more).
tqrf::ReaderOptions patient() {
    tqrf::ReaderOptions o;
    o.reply_slack = std::chrono::milliseconds(1000);
    o.attempts = 1;
    return o;
}

FaultRule fault(FaultKind kind, std::uint32_t arg, std::uint8_t command, int count = 1) {
    return FaultRule{tqrf_sim::Fault{kind, arg}, command, count};
}

class ReaderSim : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_.start();
        auto r = tqrf::Reader::open(sim_.slave_path(), patient());
        ASSERT_TRUE(r) << r.error().message();
        reader_ = std::move(*r);
    }
    tqrf_sim::Simulator sim_;  // one factory-fresh card, UID 3A7C91E5
    tqrf::Reader reader_;
};

TEST(ErrorCategory, CodesOfAnotherModuleAreRecognised) {
    // A module with hidden symbols has its own category object: its codes carry the same
    // values, names and texts, and is_library_code() / is_reader_status() know them.
    for (int result : {ERR_REPLY_FRAME, ERR_DEVICE_LOST, ERR_BAD_ARGUMENT, 20}) {
        std::error_code theirs;
        other_module_code(result, &theirs);
        const std::error_code ours = tqrf::result_code(result);
        EXPECT_EQ(theirs.value(), result);
        EXPECT_STREQ(theirs.category().name(), "tqrf");
        EXPECT_EQ(theirs.message(), ours.message());
        EXPECT_TRUE(tqrf::is_library_code(theirs)) << result;
        EXPECT_EQ(tqrf::is_reader_status(theirs), result > 0) << result;
    }
    std::error_code theirs;
    other_module_enum(&theirs);
    EXPECT_EQ(theirs.value(), static_cast<int>(tqrf::errc::reply_length));
    EXPECT_EQ(theirs.message().rfind("TQRF_ERR_REPLY_LENGTH: ", 0), 0u) << theirs.message();
}

TEST_F(ReaderSim, RepliesWithoutTheirDataAreErrorsNeverZeros) {
    // Each fault makes a reply that is a valid frame but not the command's answer.
    struct Case {
        const char* what;
        bool login;
        FaultRule rule;
    };
    const Case cases[] = {
        // Not authenticated, so the reader answers with its status only; forced to 0 it is a
        // status-0 reply without the 16 data bytes.
        {"status-only reply", false, fault(FaultKind::ForceStatus, 0, tqrf_sim::cmd::kRead)},
        {"one data byte too many", true, fault(FaultKind::ExtraData, 1, tqrf_sim::cmd::kRead)},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(reader_.find_card()) << c.what;
        if (c.login) {
            ASSERT_TRUE(reader_.login(1, tqrf::KeyType::A, tqrf::kDefaultKey));
        }
        sim_.add_fault(c.rule);
        auto r = reader_.read(4);
        ASSERT_FALSE(r) << c.what;
        EXPECT_EQ(r.error(), tqrf::errc::reply_length) << c.what;
        EXPECT_FALSE(tqrf::is_reader_status(r.error()));
    }
    // A refusal passes the reader's status byte on.
    ASSERT_TRUE(reader_.find_card());
    auto refused = reader_.read(4);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(tqrf::is_reader_status(refused.error()));
    EXPECT_EQ(refused.error().value(), static_cast<int>(tqrf_sim::Status::NotAuthenticated));
    EXPECT_EQ(refused.error().message(),
              "the block was not read: its sector is not authenticated, or its access conditions "
              "keep this key from reading it (reader status 0x13)");
    // Other commands with a short reply.
    ASSERT_TRUE(reader_.find_card());
    sim_.add_fault(fault(FaultKind::ForceStatus, 0, tqrf_sim::cmd::kReadValue));
    EXPECT_EQ(reader_.read_value(4).error(), tqrf::errc::reply_length);
    sim_.add_fault(fault(FaultKind::ExtraData, 2, tqrf_sim::cmd::kCardFind));
    EXPECT_EQ(reader_.find_card().error(), tqrf::errc::reply_length);
    sim_.add_fault(fault(FaultKind::NoReply, 0, tqrf_sim::cmd::kReadId));
    EXPECT_EQ(reader_.reader_id().error(), tqrf::errc::reply_frame);
    // After the failures the reader still answers.
    ASSERT_TRUE(reader_.find_card());
    ASSERT_TRUE(reader_.login(1, tqrf::KeyType::A, tqrf::kDefaultKey));
    auto ok = reader_.read(4);
    ASSERT_TRUE(ok) << ok.error().message();
}

// How many requests of a command the simulated reader took.
std::size_t requests_of(const tqrf_sim::Simulator& sim, std::uint8_t code) {
    std::size_t n = 0;
    for (const auto& e : sim.journal()) n += e.request.size() > 1 && e.request[1] == code;
    return n;
}

TEST_F(ReaderSim, LostRepliesAreSettledAndNothingIsDoneTwice) {
    EXPECT_EQ(tqrf::Reader::open(sim_.slave_path()).error(), tqrf::errc::port_open_failed);
    ASSERT_TRUE(reader_.set_attempts(3));
    ASSERT_TRUE(reader_.set_reply_slack(std::chrono::milliseconds(200)));  // lost replies wait it
    EXPECT_EQ(*reader_.attempts(), 3);
    std::vector<std::vector<std::uint8_t>> retries;
    ASSERT_TRUE(reader_.set_trace([&](const tqrf::Trace& t) {
        if (t.event == tqrf::TraceEvent::Retry) retries.emplace_back(t.bytes, t.bytes + t.count);
    }));
    ASSERT_TRUE(reader_.find_card());
    ASSERT_TRUE(reader_.login(1, tqrf::KeyType::A, tqrf::kDefaultKey));
    ASSERT_TRUE(reader_.init_value(5, 100));
    sim_.clear_journal();

    // The write's reply is dropped after the card took it: read back, never written twice.
    sim_.add_fault(fault(FaultKind::NoReply, 0, tqrf_sim::cmd::kWrite));
    tqrf::Block data;
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xC0 + i);
    ASSERT_TRUE(reader_.write(4, data));
    EXPECT_EQ(requests_of(sim_, tqrf_sim::cmd::kWrite), 1u);
    EXPECT_EQ((*sim_.card_image(tqrf_sim::kDefaultUid))[4 * 16], 0xC0);

    // The transfer's reply is dropped: the value read back settles it; transferred once.
    sim_.add_fault(fault(FaultKind::NoReply, 0, tqrf_sim::cmd::kTransfer));
    auto debit = reader_.debit(5, 30);
    ASSERT_TRUE(debit) << debit.error().message();
    EXPECT_EQ(*debit, 70);
    EXPECT_EQ(requests_of(sim_, tqrf_sim::cmd::kTransfer), 1u);

    // A decrement's reply lost every time: not applied, the value as it was.
    sim_.add_fault(fault(FaultKind::NoReply, 0, tqrf_sim::cmd::kDecrement, 3));
    EXPECT_EQ(reader_.debit(5, 1).error(), tqrf::errc::not_applied);
    EXPECT_EQ(requests_of(sim_, tqrf_sim::cmd::kTransfer), 1u);
    EXPECT_EQ(*reader_.read_value(5), 70);

    const auto s = reader_.stats();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->retries, 2u);  // the decrement made again twice
    EXPECT_EQ(s->recoveries, 2u);
    EXPECT_EQ(s->failures, 1u);
    const std::vector<std::vector<std::uint8_t>> expected = {
        {0x46, 1, TQRF_RETRY_SETTLED},
        {0x4C, 1, TQRF_RETRY_SETTLED},
        {0x4A, 2, TQRF_RETRY_UNCHANGED},
        {0x4A, 3, TQRF_RETRY_UNCHANGED},
    };
    EXPECT_EQ(retries, expected);
}

TEST_F(ReaderSim, ArgumentsOutOfRangeAreRefusedByTheLibrary) {
    EXPECT_EQ(reader_.read(64).error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader_.read(-1).error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader_.load_key(tqrf::KeyType::A, 16, tqrf::kDefaultKey).error(),
              tqrf::errc::bad_argument);
    EXPECT_EQ(reader_.write_e2(128, tqrf::Block{}).error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader_.beep(241).error(), tqrf::errc::bad_argument);
    EXPECT_EQ(reader_.set_reply_slack(std::chrono::milliseconds(1001)).error(),
              tqrf::errc::bad_argument);
    EXPECT_EQ(sim_.exchanges(), 0u);  // nothing was sent
}

TEST_F(ReaderSim, CardAndReaderCommands) {
    auto card = reader_.select_card(tqrf::RequestMode::All);
    ASSERT_TRUE(card) << card.error().message();
    EXPECT_EQ(card->uid.hex(), "3A7C91E5");
    auto found = reader_.find_card(tqrf::RequestMode::All);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->uid, card->uid);
    EXPECT_EQ(found->type.hex(), "0400");
    EXPECT_EQ(found->size, 0x08);
    ASSERT_TRUE(reader_.login(1, tqrf::KeyType::A, tqrf::kDefaultKey));
    ASSERT_TRUE(reader_.init_value(4, -20));
    ASSERT_TRUE(reader_.increment(4, 50));
    ASSERT_TRUE(reader_.transfer(4));
    EXPECT_EQ(reader_.read_value(4).value_or(0), 30);

    EXPECT_EQ(reader_.hardware_version().value_or(""), tqrf_sim::kHardwareVersionText);
    EXPECT_EQ(reader_.reader_id().value_or(0), tqrf_sim::kDefaultIdentity);
    const tqrf::Block e2 = *tqrf::Block::from_hex("0F0E0D0C0B0A09080706050403020100");
    ASSERT_TRUE(reader_.write_e2(0x40, e2));
    auto back = reader_.read_e2(0x40);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 16u);  // the length that came, not a buffer's size
    EXPECT_EQ(back->hex(), e2.hex());
    const tqrf::ClockBytes clock{0x00, 0x30, 0x12, 0x29, 0x02, 0x04, 0x24};
    ASSERT_TRUE(reader_.set_clock(clock));
    auto now = reader_.read_clock();
    ASSERT_TRUE(now);
    ASSERT_EQ(now->size(), 7u);
    EXPECT_EQ((*now)[3], 0x29);
    EXPECT_TRUE(reader_.link_test());
}

TEST_F(ReaderSim, TraceSeesEveryFrameUntilRemoved) {
    struct Event {
        tqrf::TraceEvent event;
        std::int32_t result;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Event> events;
    ASSERT_TRUE(reader_.set_trace([&](const tqrf::Trace& t) {
        events.push_back(
            {t.event, t.result, std::vector<std::uint8_t>(t.bytes, t.bytes + t.count)});
    }));
    ASSERT_TRUE(reader_.link_test());
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].event, tqrf::TraceEvent::Address);
    EXPECT_EQ(events[0].bytes, std::vector<std::uint8_t>{0x58});
    EXPECT_EQ(events[1].event, tqrf::TraceEvent::Frame);
    // LEN 4, 0xBB 0x77 0x55 0x00, XOR.
    EXPECT_EQ(events[1].bytes,
              (std::vector<std::uint8_t>{0x00, 0x04, 0xBB, 0x77, 0x55, 0x00, 0x9D}));
    EXPECT_EQ(events[2].event, tqrf::TraceEvent::Reply);
    EXPECT_EQ(events[2].bytes, (std::vector<std::uint8_t>{0x00, 0x01, 0x00, 0x01}));
    EXPECT_EQ(events[3].event, tqrf::TraceEvent::Result);
    EXPECT_EQ(events[3].result, 0);

    // A failed call ends with its result; a throwing callback does not break the call.
    events.clear();
    ASSERT_TRUE(reader_.set_trace([&](const tqrf::Trace& t) {
        events.push_back({t.event, t.result, {}});
        throw std::runtime_error("from the callback");
    }));
    EXPECT_EQ(reader_.read(64).error(), tqrf::errc::bad_argument);
    ASSERT_TRUE(reader_.find_card());
    auto refused = reader_.read(4);
    ASSERT_FALSE(refused);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().event, tqrf::TraceEvent::Result);
    EXPECT_EQ(events.back().result, refused.error().value());

    ASSERT_TRUE(reader_.set_trace({}));
    events.clear();
    ASSERT_TRUE(reader_.link_test());
    EXPECT_TRUE(events.empty());
}

TEST_F(ReaderSim, OptionsRoundTrip) {
    EXPECT_EQ(reader_.reply_mode().value_or(tqrf::ReplyMode::Fixed), tqrf::ReplyMode::Complete);
    ASSERT_TRUE(reader_.set_reply_mode(tqrf::ReplyMode::Fixed));
    ASSERT_TRUE(reader_.set_reply_slack(std::chrono::milliseconds(25)));
    EXPECT_EQ(reader_.reply_mode().value_or(tqrf::ReplyMode::Complete), tqrf::ReplyMode::Fixed);
    EXPECT_EQ(reader_.reply_slack().value_or(std::chrono::milliseconds(0)).count(), 25);
    EXPECT_TRUE(reader_.link_test());

    tqrf::ReaderOptions options;
    options.reply_mode = tqrf::ReplyMode::Fixed;
    options.reply_slack = std::chrono::milliseconds(2000);
    reader_ = tqrf::Reader();  // closes the port, so it can be opened again
    auto refused = tqrf::Reader::open(sim_.slave_path(), options);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), tqrf::errc::bad_argument);
    // The refused open left nothing open.
    EXPECT_TRUE(tqrf::Reader::open(sim_.slave_path()));
}

TEST_F(ReaderSim, OwnershipMovesAndTheDestructorCloses) {
    tqrf::Reader moved = std::move(reader_);
    EXPECT_FALSE(reader_.is_open());
    EXPECT_EQ(reader_.link_test().error(), tqrf::errc::bad_argument);
    EXPECT_TRUE(moved.link_test());
    // The port is taken while `moved` holds it.
    auto second = tqrf::Reader::open(sim_.slave_path());
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), tqrf::errc::port_open_failed);
    EXPECT_EQ(tqrf::Reader::last_open_error(), std::errc::device_or_resource_busy);
    { tqrf::Reader gone = std::move(moved); }
    EXPECT_TRUE(tqrf::Reader::open(sim_.slave_path()));
}

TEST(ReaderOpen, FailuresCarryTheOsError) {
    auto missing = tqrf::Reader::open("/dev/tqrf-no-such-device");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), tqrf::errc::port_open_failed);
    EXPECT_EQ(tqrf::Reader::last_open_error(), std::errc::no_such_file_or_directory);
    auto not_serial = tqrf::Reader::open("/dev/null");
    ASSERT_FALSE(not_serial);
    EXPECT_EQ(tqrf::Reader::last_open_error().value(), ENOTTY);
}

TEST(ReaderThreads, TwoReadersInTwoThreads) {
    // Two simulated readers, each with a card of its own UID; each thread writes and reads
    // back its own pattern and must only ever see its own card.
    tqrf_sim::SimulatorOptions opts;
    opts.default_card = false;
    tqrf_sim::Simulator sims[2]{tqrf_sim::Simulator(opts), tqrf_sim::Simulator(opts)};
    const tqrf_sim::Uid uids[2] = {{0x11, 0x11, 0x11, 0x11}, {0x22, 0x22, 0x22, 0x22}};
    tqrf::Reader readers[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(sims[i].place_card(uids[i]));
        sims[i].start();
        auto r = tqrf::Reader::open(sims[i].slave_path(), patient());
        ASSERT_TRUE(r) << r.error().message();
        readers[i] = std::move(*r);
    }
    std::atomic<int> failures{0};
    auto work = [&](int i) {
        tqrf::Reader& r = readers[i];
        for (int round = 0; round < 10; ++round) {
            tqrf::Block data;
            for (std::size_t k = 0; k < data.size(); ++k) {
                data[k] = static_cast<std::uint8_t>(i * 100 + round + static_cast<int>(k));
            }
            auto card = r.find_card(tqrf::RequestMode::All);
            if (!card || card->uid[0] != uids[i][0]) ++failures;
            if (!r.login(1, tqrf::KeyType::A, tqrf::kDefaultKey) || !r.write(5, data)) ++failures;
            auto back = r.read(5);
            if (!back || *back != data) ++failures;
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
}

// One reader (the fixture's) shared by threads.
TEST_F(ReaderSim, OneReaderSharedByThreads) {
    tqrf::Reader& shared = reader_;
    // Whole exchanges never interleave: every trace sequence is address, frame, reply,
    // result, from whichever thread.
    std::vector<tqrf::TraceEvent> events;
    ASSERT_TRUE(shared.set_trace([&](const tqrf::Trace& t) { events.push_back(t.event); }));
    std::atomic<int> failures{0};
    auto work = [&] {
        for (int i = 0; i < 20; ++i) {
            if (!shared.link_test()) ++failures;
            auto id = shared.reader_id();
            if (!id || *id != tqrf_sim::kDefaultIdentity) ++failures;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(events.size(), 4u * 80u);
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(events[i]) - 1, i % 4) << i;
    }
}

// One reader (the fixture's) shared by threads.
TEST_F(ReaderSim, TheTraceCanChangeWhileOtherThreadsCall) {
    tqrf::Reader& shared = reader_;
    std::atomic<int> seen{0}, failures{0};
    std::atomic<bool> done{false};
    ASSERT_TRUE(shared.set_trace([&seen](const tqrf::Trace&) { ++seen; }));
    ASSERT_TRUE(shared.link_test());
    EXPECT_EQ(seen.load(), 4);
    std::thread caller([&] {
        for (int i = 0; i < 30; ++i) {
            if (!shared.link_test()) ++failures;
        }
        done = true;
    });
    // Each callback owns a string that dies when it is replaced: a callback still running
    // after its replacement would touch freed memory (which the sanitizer build catches).
    for (int i = 0; !done; ++i) {
        std::string label = "trace " + std::to_string(i);
        if (i % 3 == 2) {
            ASSERT_TRUE(shared.set_trace({}));
        } else {
            ASSERT_TRUE(shared.set_trace([&seen, label](const tqrf::Trace&) {
                if (!label.empty()) ++seen;
            }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    caller.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace

TEST_F(ReaderSim, RefusalsSayWhatTheyMeanForTheirCommand) {
    // A wrong key, a halted card and a write to block 0: each message is the library's words
    // for its command (tqrf_refusal_text), as the tool and the bindings say them.
    ASSERT_TRUE(reader_.find_card());
    auto wrong =
        reader_.login(1, tqrf::KeyType::A, tqrf::Key{{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}});
    ASSERT_FALSE(wrong);
    char words[TQRF_REFUSAL_TEXT_MAX];
    ASSERT_GT(tqrf_refusal_text(TQRF_COMMAND_AUTHENTICATE, 0x12, words, sizeof words), 0);
    EXPECT_EQ(wrong.error().message(), words);
    EXPECT_TRUE(tqrf::is_reader_status(wrong.error()));
    EXPECT_EQ(wrong.error().value(), 0x12);
    char last[TQRF_REFUSAL_TEXT_MAX];
    EXPECT_EQ(tqrf_reader_last_refusal(reader_.native_handle(), last, sizeof last),
              static_cast<std::int32_t>(std::strlen(words)));
    EXPECT_STREQ(last, words);

    ASSERT_TRUE(reader_.find_card());
    ASSERT_TRUE(reader_.halt());
    auto halted = reader_.find_card();
    ASSERT_FALSE(halted);
    EXPECT_NE(halted.error().message().find("only a request for all cards wakes it"),
              std::string::npos)
        << halted.error().message();
    ASSERT_TRUE(reader_.find_card(tqrf::RequestMode::All));
    EXPECT_EQ(tqrf_reader_last_refusal(reader_.native_handle(), last, sizeof last), 0);

    ASSERT_TRUE(reader_.login(0, tqrf::KeyType::A, tqrf::kDefaultKey));
    auto block0 = reader_.write(0, tqrf::Block{});
    ASSERT_FALSE(block0);
    EXPECT_NE(block0.error().message().find("block 0, which is read-only"), std::string::npos)
        << block0.error().message();
}
