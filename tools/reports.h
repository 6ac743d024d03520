// What each command found or did, as data: the commands fill these, the printers (text or
// JSON) render them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "image_file.h"
#include "images.h"
#include "restore_plan.h"
#include "session.h"
#include "support.h"
#include "tq_RWD_DLL.hpp"

namespace tqrf::tool {

struct ScanLine {
    std::string port;
    std::optional<CardInfo> card;
    std::string problem;  // why there is no card: no card answered, or the reader failed
};

struct InfoReport {
    std::string version;
    std::uint32_t id = 0;
    std::optional<std::string> link_error;  // empty: the link test passed
};

struct BlockReport {
    int block = 0;
    Block data;
    KeyType key = KeyType::A;
};

struct ValueReport {
    std::string operation;  // get, init, inc, dec, copy
    int block = 0;
    std::int32_t value = 0;
};

struct DumpReport {
    const CardDump* dump = nullptr;
    std::string file;  // empty: no -o
    ImageFormat format = ImageFormat::Mfd;
    bool written = false;         // the file was written
    std::vector<int> incomplete;  // sectors not read whole
};

struct RestoreReport {
    std::string file;
    const RestorePlan* plan = nullptr;
    bool dry_run = false;
    bool trailers = false;
    bool skip_refused = false;
    bool verify = true;  // each written block is read back
    std::vector<BlockOutcome> outcomes;
};

struct BeepReport {
    unsigned ms = 0;
};

// The clock as the reader sent it, and as a date when its layout is known.
struct ClockReport {
    ReplyData bytes;
    bool layout_known = false;
    std::optional<DateTime> time;  // layout known and the bytes a valid date
};

struct ClockSetReport {
    ClockBytes bytes{};
    std::optional<DateTime> time;  // when set from a date
};

struct E2Report {
    int address = 0;
    std::vector<std::uint8_t> bytes;
    bool written = false;  // e2 write, else e2 read
};

// watch: a reader stopped answering (lost) or answers again (back).
struct ReaderEvent {
    std::string time;
    std::string port;
    bool back = false;
    std::string kind;     // lost: the failure's kind word ("device_lost", "no_reply", ...)
    std::string message;  // lost: what went wrong, in words
};

struct WatchEvent {
    std::string time;  // local time, ISO 8601 with milliseconds and offset
    std::string port;
    bool arrived = true;  // else left
    CardInfo card;
    std::optional<int> block;  // --read
    std::optional<Block> data;
    std::string read_error;  // --read failed
};

}  // namespace tqrf::tool
