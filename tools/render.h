// Rendering of the command reports: plain text for people, or JSON for scripts. The commands
// never print; they hand their reports to a Printer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "errors.h"
#include "reports.h"

namespace tqrf::tool {

class Printer {
  public:
    virtual ~Printer() = default;

    // `several`: more than one reader was asked (each line names its port).
    virtual void scan(const std::vector<ScanLine>& lines, bool several) = 0;
    virtual void info(const InfoReport& r) = 0;
    virtual void read(const BlockReport& r) = 0;
    virtual void write(const BlockReport& r) = 0;
    virtual void value(const ValueReport& r) = 0;
    virtual void dump(const DumpReport& r) = 0;
    virtual void restore(const RestoreReport& r) = 0;
    virtual void beep(const BeepReport& r) = 0;
    virtual void clock(const ClockReport& r) = 0;
    virtual void clock_set(const ClockSetReport& r) = 0;
    virtual void e2(const E2Report& r) = 0;
    // One line at once, as the event happens.
    virtual void watch(const WatchEvent& e) = 0;
    virtual void reader_event(const ReaderEvent& e) = 0;
    // From here on the output is a stream of one-line records (watch): an error too is one line.
    virtual void stream() {}

    // The end of the run. JSON prints its one document here: the report, or on failure an
    // error object (with the report, if any, under "result").
    virtual void finish() = 0;
    virtual void fail(const CommandError& e) = 0;
};

std::unique_ptr<Printer> make_text_printer();
std::unique_ptr<Printer> make_json_printer();

// An error object as JSON prints it, for errors that come before any printer exists.
std::string json_error_text(const CommandError& e);

// The table `tqrf dump` prints: keys, blocks, access rights and values of each sector.
void print_dump_table(const CardDump& d);

// Bytes as upper-case hex digits with nothing between them ("3A7C91E5"); one byte as two.
std::string hex_byte(unsigned v);
std::string hex_of(const std::uint8_t* bytes, std::size_t n);

// The local time now, ISO 8601 with milliseconds and offset
// ("2026-12-09T10:15:02.317+01:00"): the time of each watch record.
std::string local_time_text();

// Card kind from its size byte ("Mifare Classic 1K").
const char* card_kind(const CardInfo& card);

// Upper-case hex, two digits per byte, no separators: one byte, and a run of bytes.
std::string hex_byte(unsigned v);
std::string hex_of(const std::uint8_t* bytes, std::size_t n);

}  // namespace tqrf::tool
