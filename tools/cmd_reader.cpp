// info, beep, clock, e2: the reader itself.
#include "commands.h"

namespace tqrf::tool {

namespace {

// The simulator's clock layout is the one this tool knows; a real reader's is its own.
bool clock_layout_known(const Globals& g, const ClockArgs& a) {
    if (a.layout == "sim") return true;
    if (a.layout == "raw") return false;
    return g.simulate;
}

}  // namespace

void run_info(const Globals& g, Printer& out) {
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    InfoReport r;
    auto version = reader.hardware_version();
    if (!version) throw_failure("reading the hardware version", version.error(), reader);
    r.version = *version;
    auto id = reader.reader_id();
    if (!id) throw_failure("reading the identity number", id.error(), reader);
    r.id = *id;
    auto link = reader.link_test();
    if (!link) r.link_error = describe(link.error(), reader);
    out.info(r);
    if (!link) throw_failure("link test", link.error(), reader);
}

void run_beep(const Globals& g, Printer& out, const BeepArgs& a) {
    const int units = static_cast<int>((a.ms + 5) / 10);
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    auto r = reader.beep(units);
    if (!r) throw_failure("beep", r.error(), reader);
    out.beep(BeepReport{static_cast<unsigned>(units * 10)});
}

void run_clock(const Globals& g, Printer& out, const ClockArgs& a) {
    if (!a.layout.empty() && a.layout != "raw" && a.layout != "sim") {
        throw usage_error("--layout takes raw or sim, not \"" + a.layout + "\"");
    }
    const bool known = clock_layout_known(g, a);
    if (!a.set) {
        auto conn = Connection::open(g, false);
        Reader& reader = conn->first().reader;
        auto bytes = reader.read_clock();
        if (!bytes) throw_failure("reading the clock", bytes.error(), reader);
        ClockReport r;
        r.bytes = *bytes;
        r.layout_known = known;
        if (known && bytes->size() == 7) {
            std::array<std::uint8_t, 7> b{};
            std::copy(bytes->begin(), bytes->end(), b.begin());
            r.time = decode_clock(b);
        }
        out.clock(r);
        return;
    }

    ClockSetReport r;
    if (auto raw = Bytes<7, void>::from_hex(a.value)) {
        std::copy(raw->begin(), raw->end(), r.bytes.begin());
    } else if (!known) {
        throw usage_error(
            "clock set takes the reader's 7 clock bytes as 14 hex digits: their layout is the "
            "reader's own (--layout sim takes a date in the simulator's layout)");
    } else {
        std::optional<DateTime> t = a.value == "now" ? local_now() : parse_datetime(a.value);
        if (!t) {
            throw usage_error(
                "clock set takes YYYY-MM-DDTHH:MM:SS (years 2000 to 2099), now, or 14 hex "
                "digits, not \"" +
                a.value + "\"");
        }
        r.time = t;
        r.bytes = encode_clock(*t);
    }
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    auto s = reader.set_clock(r.bytes);
    if (!s) throw_failure("setting the clock", s.error(), reader);
    out.clock_set(r);
}

void run_e2(const Globals& g, Printer& out, const E2Args& a) {
    const int address = static_cast<int>(a.address);
    E2Report r;
    r.address = address;
    r.written = a.write;
    Block data;
    if (a.write) {
        auto parsed = Block::from_hex(a.hex);
        if (!parsed) throw usage_error("E2PROM data must be 32 hex digits, not \"" + a.hex + "\"");
        data = *parsed;
        if (!a.force) {
            throw usage_error(
                "e2 write changes the RC500 chip's configuration memory, and a wrong write can "
                "make the reader unusable: add --force to write it");
        }
    }
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    if (a.write) {
        auto s = reader.write_e2(address, data);
        if (!s) {
            throw_failure("writing the E2PROM at " + std::to_string(address), s.error(), reader);
        }
        r.bytes.assign(data.begin(), data.end());
    } else {
        auto bytes = reader.read_e2(address);
        if (!bytes) {
            throw_failure("reading the E2PROM at " + std::to_string(address), bytes.error(),
                          reader);
        }
        r.bytes.assign(bytes->begin(), bytes->end());
    }
    out.e2(r);
}

}  // namespace tqrf::tool
