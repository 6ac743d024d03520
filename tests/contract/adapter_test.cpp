// An adapter whose driver drops mark and space parity: the reader never sees its address byte.
// The handle API refuses such a port at open; the legacy open keeps its result and notes it in
// the trace. Either way nothing changes on the wire of a line that carries the parity.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/fixture.h"

namespace tqrf::testing {
namespace {

std::string read_file(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "r")) {
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

class Adapter : public PortClosed {
  protected:
    void TearDown() override {
        unsetenv("TQRF_TRACE");
        std::remove(trace_.c_str());
        PortClosed::TearDown();
    }
    std::string trace_ = "/tmp/tqrf-adapter-trace-" + std::to_string(getpid());
};

TEST_F(Adapter, MarkAndSpaceDroppedByTheDriver) {
    struct Case {
        const char* what;
        bool drops;
        bool handle;  // the handle API, else the legacy open
        int result;
    };
    const Case cases[] = {
        {"handle, adapter that carries mark and space", false, true, 0},
        {"handle, adapter that drops them", true, true, TQRF_ERR_PARITY_UNSUPPORTED},
        {"legacy, adapter that carries mark and space", false, false, 0},
        {"legacy, adapter that drops them", true, false, 0},
    };
    for (const Case& c : cases) {
        rec().reset();
        rec().drops_mark_space = c.drops;
        std::remove(trace_.c_str());
        setenv("TQRF_TRACE", trace_.c_str(), 1);
        tqrf_reader* reader = nullptr;
        const int result =
            c.handle ? tqrf_reader_open("/dev/adapter", &reader) : tqrf_init_device("/dev/adapter");
        EXPECT_EQ(result, c.result) << c.what;
        // The open sets the line as always; a refused handle leaves nothing open.
        const std::vector<std::string> opening = {"open /dev/adapter", "mode 19200,S,8,1",
                                                  "queues 400 400", "timeouts"};
        ASSERT_GE(rec().events.size(), opening.size()) << c.what;
        EXPECT_EQ(std::vector<std::string>(rec().events.begin(), rec().events.begin() + 4), opening)
            << c.what;
        if (c.handle && c.result != 0) {
            EXPECT_EQ(reader, nullptr) << c.what;
            EXPECT_EQ(rec().events.back(), "close") << c.what;
            EXPECT_FALSE(rec().open_device) << c.what;
            EXPECT_EQ(tqrf_reader_os_error(nullptr), 0) << c.what << ": no OS error behind it";
        }
        // A legacy request still goes out exactly as before.
        if (!c.handle) {
            rec().clear_log();
            rec().script_reply(reply_frame({0x00}));
            EXPECT_EQ(tqrf_halt(), 0) << c.what;
            EXPECT_EQ(rec().wire, request_on_wire({0x00, 0x04, 0xBB, 0x71, 0x00, 0x00, 0xCE}))
                << c.what;
            EXPECT_EQ(tqrf_exit(), 0);
        }
        if (reader != nullptr) {
            EXPECT_EQ(tqrf_reader_close(reader), 0);
        }
        const bool noted =
            read_file(trace_).find("the serial adapter cannot send mark or space parity") !=
            std::string::npos;
        EXPECT_EQ(noted, c.drops && !c.handle) << c.what << ": the legacy trace notes it";
        unsetenv("TQRF_TRACE");
    }
}

}  // namespace
}  // namespace tqrf::testing
