// The text printer: what a person reads on a terminal.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "platform.h"
#include "render.h"

namespace tqrf::tool {

std::string hex_byte(unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

std::string hex_of(const std::uint8_t* bytes, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += hex_byte(bytes[i]);
    return s;
}

std::string local_time_text() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    int offset = 0;  // minutes east of UTC
    const std::tm tm = platform::local_time(secs, offset);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    const int zone = offset < 0 ? -offset : offset;
    char out[80];
    std::snprintf(out, sizeof out, "%s.%03d%c%02d:%02d", date, static_cast<int>(ms),
                  offset < 0 ? '-' : '+', zone / 60, zone % 60);
    return out;
}

namespace {

std::string printable(const std::uint8_t* bytes, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = bytes[i];
        s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    return s;
}

std::string list(const std::vector<int>& numbers) {
    std::string out;
    for (int n : numbers) out += (out.empty() ? "" : ", ") + std::to_string(n);
    return out;
}

// Compact rights for the table; "-" is nobody. Data blocks' columns are two characters wide.
std::string data_rights(mifare::Condition cond) {
    const auto a = mifare::data_access(cond);
    const auto column = [](mifare::Keys keys) {
        std::string text = mifare::to_string(keys);
        if (text.size() < 2) text.resize(2, ' ');
        return text;
    };
    return "read " + column(a.read) + " write " + column(a.write) + " inc " + column(a.increment) +
           " dec " + mifare::to_string(a.decrement);
}

std::string trailer_rights(mifare::Condition cond) {
    const auto a = mifare::trailer_access(cond);
    using mifare::to_string;
    return std::string("key A write ") + to_string(a.key_a_write) + "; bits read " +
           to_string(a.access_read) + " write " + to_string(a.access_write) + "; key B read " +
           to_string(a.key_b_read) + " write " + to_string(a.key_b_write);
}

std::string card_line(const CardInfo& c) {
    return "card type " + c.type.hex() + "  UID " + c.uid.hex() + "  size byte " +
           hex_byte(c.size) + " (" + card_kind(c) + ")";
}

}  // namespace

void print_dump_table(const CardDump& d);

namespace {

class TextPrinter final : public Printer {
  public:
    void scan(const std::vector<ScanLine>& lines, bool several) override {
        for (const auto& l : lines) {
            if (several) {
                std::cout << l.port << "  " << (l.card ? card_line(*l.card) : l.problem) << '\n';
            } else if (l.card) {
                std::cout << "Card type  " << l.card->type.hex() << '\n'
                          << "UID        " << l.card->uid.hex() << '\n'
                          << "Size byte  " << hex_byte(l.card->size) << " (" << card_kind(*l.card)
                          << ")\n";
            }
        }
    }

    void info(const InfoReport& r) override {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(r.id));
        std::cout << "Hardware version  " << r.version << '\n'
                  << "Identity number   " << id << '\n'
                  << "Link test         " << (r.link_error ? *r.link_error : "ok") << '\n';
    }

    void read(const BlockReport& r) override {
        std::cout << "Block " << r.block << "  " << r.data.hex() << "  "
                  << printable(r.data.data(), r.data.size()) << '\n';
        if (const auto v = mifare::ValueBlock::decode(r.data); v && !mifare::is_trailer(r.block)) {
            std::cout << "Value block: " << v->value << " (address " << int(v->address) << ")\n";
        }
    }

    void write(const BlockReport& r) override {
        std::cout << "Block " << r.block << " written: " << r.data.hex() << '\n';
    }

    void value(const ValueReport& r) override {
        std::cout << "Block " << r.block << " value " << r.value << '\n';
    }

    void dump(const DumpReport& r) override {
        print_dump_table(*r.dump);
        if (r.written) {
            std::cout << "\nWritten to " << r.file << " (" << format_name(r.format) << ")";
            if (!r.incomplete.empty() && !format_marks_unknown(r.format)) {
                std::cout << "; sectors " << list(r.incomplete)
                          << " are zeros there (not read), and restore leaves them alone";
            }
            std::cout << '\n';
        }
    }

    void restore(const RestoreReport& r) override {
        const RestorePlan& p = *r.plan;
        const std::string same = std::to_string(p.unchanged.size()) +
                                 (p.unchanged.size() == 1 ? " block already as in the image"
                                                          : " blocks already as in the image");
        if (r.dry_run) {
            std::cout << "Dry run: nothing was written. " << r.file << " would write "
                      << p.writes.size() << (p.writes.size() == 1 ? " block" : " blocks")
                      << (p.writes.empty() ? "" : ": " + list(p.writes)) << '\n';
            if (!p.unchanged.empty()) std::cout << "Left as they are: " << same << '\n';
        } else if (r.outcomes.empty() && (p.refused.empty() || r.skip_refused)) {
            std::cout << "Nothing to write" << (p.unchanged.empty() ? "" : ": " + same) << '\n';
        } else if (!r.outcomes.empty()) {
            std::vector<int> written, failed, not_written;
            for (const auto& o : r.outcomes) {
                (o.written ? written : o.attempted ? failed : not_written).push_back(o.block);
            }
            std::cout << "Restored " << written.size() << " of " << r.outcomes.size()
                      << " blocks from " << r.file
                      << (r.trailers ? " (trailers included)" : " (data blocks only)") << '\n';
            if (r.verify && !written.empty()) {
                std::cout << "Each written block was read back and holds what was written\n";
            }
            if (!p.unchanged.empty()) std::cout << "Left as they are: " << same << '\n';
            if (!failed.empty()) {
                std::cout << "Stopped at block " << failed.front()
                          << "; written: " << (written.empty() ? "none" : list(written)) << '\n';
                not_written.insert(not_written.begin(), failed.begin(), failed.end());
                std::cout << "Not written: " << list(not_written) << '\n';
            }
        } else if (!p.unchanged.empty()) {
            std::cout << "Left as they are: " << same << '\n';  // refused: nothing written
        }
        for (const auto& [block, why] : p.refused) {
            std::cout << (r.skip_refused ? "Left out, the card would refuse it: block "
                                         : "The card would refuse block ")
                      << block << ": " << why << '\n';
        }
        if (!p.absent_sectors.empty()) {
            std::cout << "Not in the image, left as they are: sectors " << list(p.absent_sectors)
                      << '\n';
        }
        if (!p.unread_blocks.empty()) {
            std::cout << "Not read by the dump, left as they are: blocks " << list(p.unread_blocks)
                      << '\n';
        }
        for (const auto& [block, why] : p.kept_trailers) {
            std::cout << "Trailer " << block << " left as it is: " << why << '\n';
        }
    }

    void beep(const BeepReport& r) override { std::cout << "Beeped for " << r.ms << " ms\n"; }

    void clock(const ClockReport& r) override {
        static const char* const days[] = {"", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
        if (r.time) {
            std::cout << format_datetime(*r.time) << " (" << days[r.time->weekday]
                      << ")  clock bytes " << r.bytes.hex() << '\n';
        } else if (r.layout_known) {
            std::cout << "Clock bytes " << r.bytes.hex()
                      << " (not a date in the simulator's layout)\n";
        } else {
            std::cout << "Clock bytes " << r.bytes.hex() << '\n';
        }
    }

    void clock_set(const ClockSetReport& r) override {
        std::cout << "Clock set to ";
        if (r.time) std::cout << format_datetime(*r.time) << "  clock bytes ";
        std::cout << hex_of(r.bytes.data(), r.bytes.size()) << '\n';
    }

    void e2(const E2Report& r) override {
        std::cout << "E2PROM " << r.address << (r.written ? " written: " : "  ")
                  << hex_of(r.bytes.data(), r.bytes.size());
        if (!r.written) std::cout << "  " << printable(r.bytes.data(), r.bytes.size());
        std::cout << '\n';
    }

    void watch(const WatchEvent& e) override {
        std::string line = e.time + "  " + e.port + "  " + (e.arrived ? "arrived" : "left   ") +
                           "  " + card_line(e.card);
        if (e.block) {
            line += "  block " + std::to_string(*e.block) + " " +
                    (e.data ? e.data->hex() : "unreadable: " + e.read_error);
        }
        std::cout << line << std::endl;  // one line as it happens
    }

    void reader_event(const ReaderEvent& e) override {
        std::cout << e.time << "  " << e.port << "  "
                  << (e.back ? "reader-back" : "reader-lost  " + e.message) << std::endl;
    }

    void finish() override { std::cout << std::flush; }
    void fail(const CommandError&) override { std::cout << std::flush; }
};

}  // namespace

void print_dump_table(const CardDump& d) {
    std::cout << "Access rights per block: A = key A, B = key B, AB = either, - = none; "
                 "dec = decrement, transfer, restore\n";
    std::cout << "UID " << d.card.uid.hex() << "  card type " << d.card.type.hex() << "  size byte "
              << hex_byte(d.card.size) << " (" << card_kind(d.card) << ")\n";
    for (const auto& s : d.sectors) {
        std::cout << "\nSector " << s.sector;
        if (!s.opened() && !s.failure.empty()) {
            std::cout << ": not read: " << s.failure << '\n';
            continue;
        }
        if (!s.opened()) {
            std::cout << (s.errors[0] == "not in the image" ? ": not in the image\n"
                                                            : ": no key opens it, skipped\n");
            continue;
        }
        std::optional<mifare::AccessConditions> ac;
        if (s.blocks[3]) ac = mifare::AccessConditions::from_trailer(*s.blocks[3]);
        std::string key_b = "?";
        if (s.key_b) {
            key_b = s.key_b->hex();
        } else if (ac && mifare::key_b_readable(ac->block[3])) {
            key_b = s.blocks[3]->hex().substr(20) + " (readable: data, not a key)";
        }
        std::cout << "  key A " << (s.key_a ? s.key_a->hex() : std::string("?")) << "  key B "
                  << key_b << '\n';
        for (int i = 0; i < 4; ++i) {
            const int b = mifare::first_block(s.sector) + i;
            const auto& data = s.blocks[static_cast<std::size_t>(i)];
            char num[8];
            std::snprintf(num, sizeof num, "%3d", b);
            std::cout << "  " << num << "  "
                      << (data ? data->hex() : std::string("--------------------------------"));
            if (!data) {
                std::cout << "  unreadable: " << s.errors[static_cast<std::size_t>(i)] << '\n';
                continue;
            }
            if (ac) {
                const auto cond = ac->block[static_cast<std::size_t>(i)];
                std::cout << "  " << mifare::condition_bits(cond) << "  "
                          << (i == 3 ? trailer_rights(cond) : data_rights(cond));
            } else if (s.blocks[3]) {
                std::cout << "  access bits invalid";
            }
            if (s.sector == 0 && i == 0) {
                std::cout << "  (manufacturer block)";
            } else if (i < 3) {
                if (auto v = mifare::ValueBlock::decode(*data)) {
                    std::cout << "  value " << v->value << " (address " << int(v->address) << ")";
                }
            }
            std::cout << '\n';
        }
    }
}

const char* card_kind(const CardInfo& c) {
    if (c.size == 0x08) return "Mifare Classic 1K";
    if (c.size == 0x18) return "Mifare Classic 4K";
    if (c.size == 0x09) return "Mifare Mini";
    return "unknown kind";
}

std::unique_ptr<Printer> make_text_printer() {
    return std::make_unique<TextPrinter>();
}

}  // namespace tqrf::tool
