// Runs over several readers: scan tries every port and reports each on its own line; watch
// reports a reader that is lost and comes back while the others go on; JSON output stays one
// compact object per line. The readers are tqrf-sim processes on pseudo-terminals.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli_run.h"

namespace {

using namespace tqrf_cli_test;
using nlohmann::json;

std::string tqrf() {
    return std::string(TQRF_EXE) + " --slack 500";
}

TEST(Readers, AnEmptyPortIsAUsageError) {
    TempDir dir;
    const std::string cases[] = {
        "--port '' scan",
        "--port '' info",
        "--port /dev/null --port '' scan",
        "--json --port '' watch",
    };
    for (const auto& args : cases) {
        const Outcome r = run(tqrf() + " " + args, dir);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.err;
        EXPECT_TRUE(has(r.err, "--port needs a port name")) << args << "\n" << r.err;
    }
}

TEST(Readers, TheNewCommandsHaveHelp) {
    TempDir dir;
    for (const char* args : {"ports --help", "doctor --help", "--help"}) {
        const Outcome r = run(tqrf() + " " + args, dir);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_TRUE(has(r.out, "Usage:")) << args << r.out;
    }
    const Outcome r = run(tqrf() + " --help", dir);
    EXPECT_TRUE(has(r.out, "ports") && has(r.out, "doctor") && has(r.out, "auto")) << r.out;
}

TEST(Readers, ScanTriesEveryPortAndFailsWhenOneFails) {
    TempDir dir;
    SimProcess a(TQRF_SIM_EXE, "", dir, "a");
    SimProcess b(TQRF_SIM_EXE, "--uid 11223344", dir, "b");
    ASSERT_FALSE(a.device().empty());
    ASSERT_FALSE(b.device().empty());
    const std::string missing = dir / "missing";
    const std::string ports =
        " --port " + a.device() + " --port " + missing + " --port " + b.device() + " scan";

    Outcome r = run(tqrf() + ports, dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_TRUE(has(lines[0], a.device() + "  ") && has(lines[0], "UID 3A7C91E5")) << lines[0];
    EXPECT_TRUE(has(lines[1], missing + "  cannot open") && has(lines[1], "missing")) << lines[1];
    EXPECT_TRUE(has(lines[2], b.device() + "  ") && has(lines[2], "UID 11223344")) << lines[2];
    EXPECT_TRUE(has(r.err, "cannot open " + missing)) << r.err;

    r = run(tqrf() + " --json" + ports, dir);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"], "device_missing");
    ASSERT_EQ(j["result"].size(), 3u) << r.out;
    EXPECT_EQ(j["result"][0]["uid"], "3A7C91E5");
    EXPECT_EQ(j["result"][1]["port"], missing);
    EXPECT_TRUE(j["result"][1].contains("error"));
    EXPECT_EQ(j["result"][2]["uid"], "11223344");

    // Every port works: exit 0.
    r = run(tqrf() + " --port " + a.device() + " --port " + b.device() + " scan --all", dir);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// One reader killed and started again on the same --link path: reader-lost, then reader-back,
// and card events from both readers before and after.
TEST(Readers, WatchReportsALostReaderAndItsReturn) {
    TempDir dir;
    const std::string link_a = dir / "reader-a", link_b = dir / "reader-b";
    auto a = std::make_unique<SimProcess>(TQRF_SIM_EXE, "--link " + link_a, dir, "a");
    SimProcess b(TQRF_SIM_EXE, "--link " + link_b + " --no-card", dir, "b");
    ASSERT_FALSE(a->device().empty());
    ASSERT_FALSE(b.device().empty());
    Background w(tqrf() + " --json --port " + link_a + " --port " + link_b + " watch --interval 20",
                 dir / "watch.out", dir / "watch.err");
    ASSERT_TRUE(w.wait_for({"\"arrived\"", link_a})) << w.out() << w.err();

    a->kill_now();
    ASSERT_TRUE(w.wait_for({"\"reader-lost\"", link_a})) << w.out() << w.err();
    a = std::make_unique<SimProcess>(TQRF_SIM_EXE, "--link " + link_a + " --uid 0A0B0C0D", dir,
                                     "a2");
    ASSERT_TRUE(w.wait_for({"\"reader-back\"", link_a})) << w.out() << w.err();
    ASSERT_TRUE(w.wait_for({"\"arrived\"", "0A0B0C0D"})) << w.out() << w.err();
    EXPECT_EQ(w.end(SIGTERM), 0) << w.err();

    // Every line is one compact JSON object, in this order for reader a.
    std::vector<std::string> events_a;
    for (const auto& line : lines_of(w.out())) {
        json j;
        ASSERT_NO_THROW(j = json::parse(line)) << line;
        ASSERT_TRUE(j.is_object()) << line;
        if (j["port"] == link_a) {
            events_a.push_back(j["event"].get<std::string>() +
                               (j.contains("uid") ? " " + j["uid"].get<std::string>() : ""));
        }
        if (j["event"] == "reader-lost") {
            EXPECT_EQ(j["error"], "device_lost") << line;
            EXPECT_TRUE(has(j["message"], "gone")) << line;
        }
    }
    const std::vector<std::string> expected = {"arrived 3A7C91E5", "reader-lost", "reader-back",
                                               "arrived 0A0B0C0D"};
    EXPECT_EQ(events_a, expected) << w.out();
}

// Reader b goes on while reader a is away: a card placed on b meanwhile is seen.
TEST(Readers, WatchGoesOnWithTheOtherReaders) {
    TempDir dir;
    const std::string link_a = dir / "reader-a";
    SimProcess a(TQRF_SIM_EXE, "--link " + link_a, dir, "a");
    ASSERT_FALSE(a.device().empty());
    // Reader b does not exist yet: it is reported lost at the start, and found when it comes.
    const std::string link_b = dir / "reader-b";
    Background w(tqrf() + " --port " + link_a + " --port " + link_b + " watch --interval 20",
                 dir / "watch.out", dir / "watch.err");
    ASSERT_TRUE(w.wait_for({link_b, "reader-lost", "missing"})) << w.out() << w.err();
    ASSERT_TRUE(w.wait_for({link_a, "arrived", "3A7C91E5"})) << w.out() << w.err();
    SimProcess b(TQRF_SIM_EXE, "--link " + link_b + " --uid 11223344", dir, "b");
    ASSERT_TRUE(w.wait_for({link_b, "reader-back"})) << w.out() << w.err();
    ASSERT_TRUE(w.wait_for({link_b, "arrived", "11223344"})) << w.out() << w.err();
    a.kill_now();
    ASSERT_TRUE(w.wait_for({link_a, "reader-lost"})) << w.out() << w.err();
    // Ended while a reader is lost: exit 1, and the message names it.
    EXPECT_EQ(w.end(SIGINT), 1) << w.err();
    EXPECT_TRUE(has(w.err(), "reader lost: " + link_a)) << w.err();
}

TEST(Readers, WatchWithNoReaderThatOpensFailsAtOnce) {
    TempDir dir;
    const Outcome r = run(
        tqrf() + " --json --port " + (dir / "none") + " --port " + (dir / "none2") + " watch", dir);
    EXPECT_EQ(r.status, 1) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(json::parse(lines[0])["error"], "device_missing");
}

}  // namespace
