// A reader: one open serial port with its own line settings (inside its device), options,
// trace hook and lock. The handle API hands these out; the legacy exports act on one built-in
// default reader.
#pragma once

#include <cstdint>

#include "link/commands.h"
#include "link/wire.h"
#include "os/serial.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

// What a reader checks and when it writes outputs (link/command.h).
enum class Policy : std::uint8_t {
    LEGACY,   // the default reader: the legacy exports' results and outputs
    CHECKED,  // handles: checked arguments, checked replies, device loss until close
};

}  // namespace tqrf

struct tqrf_reader {
    tqrf::serial::Device* device = nullptr;  // null: no port open (default reader only)
    tqrf::serial::Lock* lock = nullptr;      // held for every call on the reader

    // Options.
    std::int32_t reply_mode = TQRF_REPLY_FIXED;
    std::uint32_t slack_ms = 0;

    // Handles use the checked policy; the default reader keeps the legacy one.
    tqrf::Policy policy = tqrf::Policy::LEGACY;
    // After an exchange that may have left a reply on its way, wait for the line to go quiet
    // and purge before the next one (handles always; the default reader in complete mode).
    bool settle_after_failure = false;

    bool lost = false;  // the device is gone: every call gives TQRF_ERR_DEVICE_LOST
    // Attempts in all for a command whose reply was lost, where a repeat is safe
    // (link/retry.cpp). The default reader never repeats.
    std::uint32_t attempts = 1;
    // What a repeated authentication needs: the serial number this reader last selected or
    // found, and its last authentication (for a value change made again).
    bool has_serial = false;
    std::uint8_t serial[tqrf::SERIAL_BYTES] = {};
    bool has_auth = false;
    std::int32_t auth_key_type = 0;
    std::int32_t auth_sector = 0;
    tqrf_reader_stats stats = {sizeof(tqrf_reader_stats), 0, 0, 0, 0, 0};
    bool settle = false;  // the next exchange settles the line first
    bool unsent = false;  // a write did not complete: the next request discards the output queue

    // The last exchange: its request (address byte, frame), the bytes taken as its reply, and
    // what they were (TQRF_ANSWER_*). Fixed fields: no allocation on the command path.
    std::int32_t answer = TQRF_ANSWER_NONE;
    std::uint32_t sent_count = 0;
    std::uint32_t heard_count = 0;
    std::uint8_t sent[1 + tqrf::REQUEST_FRAME_MAX] = {};
    std::uint8_t heard[tqrf::REPLY_FRAME_MAX] = {};

    // The last command that the reader refused with a status byte (tqrf_reader_last_refusal);
    // refused_status 0 when the last command was not refused.
    tqrf::Op refused_op = tqrf::Op::REQUEST;
    std::int32_t refused_status = 0;

    tqrf_trace_fn trace = nullptr;
    void* trace_user = nullptr;
    tqrf::serial::TraceFile* trace_file = nullptr;  // TQRF_TRACE of the default reader
    bool trace_keys = false;  // TQRF_TRACE_KEYS=1: the trace file shows loaded keys
};

namespace tqrf {

// The reader of the legacy exports. Never freed.
tqrf_reader& default_reader();

// Holds a reader's lock for a scope.
class ReaderLock {
  public:
    explicit ReaderLock(const tqrf_reader& reader) : lock_(reader.lock) { serial::acquire(lock_); }
    ~ReaderLock() { serial::release(lock_); }
    ReaderLock(const ReaderLock&) = delete;
    ReaderLock& operator=(const ReaderLock&) = delete;

  private:
    serial::Lock* lock_;
};

// Reports one event to the reader's trace hook and trace file, when it has them.
void trace_event(tqrf_reader& reader, std::int32_t event, std::int32_t result,
                 const std::uint8_t* bytes, std::uint32_t count);

// Sets the reply mode and slack from a TQRF_REPLY text: "fixed", "complete" or
// "complete:SLACK" (SLACK 0 to 1000). Returns false, changing nothing, for any other text.
bool apply_reply_setting(tqrf_reader& reader, const char* text);

}  // namespace tqrf
