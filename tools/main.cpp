// tqrf: the command-line tool for the MF RC500 contactless reader/writer.
//
// Exit status: 0 success; 1 the reader or the card refused or failed (or the port did not
// open); 2 usage error.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "session.h"
#include "support.h"
#include "tq_RWD_DLL.hpp"
#include "tqrf_sim/simulator.h"

namespace {

using nlohmann::json;
using tqrf::Block;
using tqrf::Key;
using tqrf::KeyType;
using tqrf::Port;
using tqrf::tool::CommandError;
namespace mifare = tqrf::mifare;
namespace tool = tqrf::tool;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// ---- options ------------------------------------------------------------------------------------

struct Globals {
    std::string port;
    bool simulate = false;
    bool json = false;
};

struct KeyOptions {
    std::string key = "FFFFFFFFFFFF";
    bool key_b = false;
    std::string keys_file;
    CLI::Option* key_opt = nullptr;

    void add_to(CLI::App* cmd) {
        key_opt = cmd->add_option("--key", key, "Key as 12 hex digits (default FFFFFFFFFFFF)");
        cmd->add_flag("--key-b", key_b, "Authenticate with key B instead of key A");
        cmd->add_option("--keys", keys_file,
                        "Key dictionary: one 12-hex-digit key per line, # comments; tried in "
                        "order per sector, as key A, then as key B");
    }

    std::vector<Key> candidates() const {
        std::vector<Key> out;
        const bool key_given = key_opt != nullptr && key_opt->count() > 0;
        if (key_given || keys_file.empty()) {
            auto k = Key::from_hex(key);
            if (!k)
                throw CommandError("--key must be 12 hex digits, not \"" + key + "\"", kExitUsage);
            out.push_back(*k);
        }
        if (!keys_file.empty()) {
            std::ifstream in(keys_file);
            if (!in) {
                throw CommandError(
                    "cannot read key file " + keys_file + ": " + std::strerror(errno), kExitUsage);
            }
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            std::string error;
            auto keys = tool::parse_key_list(text, error);
            if (!keys) throw CommandError("key file " + keys_file + ", " + error, kExitUsage);
            for (const auto& k : *keys) {
                if (std::find(out.begin(), out.end(), k) == out.end()) out.push_back(k);
            }
            if (out.empty())
                throw CommandError("key file " + keys_file + " holds no key", kExitUsage);
        }
        return out;
    }
};

Block parse_block_hex(const std::string& text) {
    auto b = Block::from_hex(text);
    if (!b)
        throw CommandError("block data must be 32 hex digits, not \"" + text + "\"", kExitUsage);
    return *b;
}

// ---- output -------------------------------------------------------------------------------------

std::string hex_byte(unsigned v) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

std::string printable(const Block& b) {
    std::string s;
    for (auto c : b) s += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    return s;
}

void print_json(const json& j) {
    std::cout << j.dump(2) << '\n';
}

json card_json(const tqrf::CardInfo& c) {
    return {{"card_type", c.type.hex()}, {"uid", c.uid.hex()}, {"size_byte", hex_byte(c.size)}};
}

std::string card_kind(const tqrf::CardInfo& c) {
    if (c.size == 0x08) return "Mifare Classic 1K";
    if (c.size == 0x18) return "Mifare Classic 4K";
    if (c.size == 0x09) return "Mifare Mini";
    return "unknown kind";
}

json rights_json(int block_in_sector, mifare::Condition cond) {
    if (block_in_sector == 3) {
        const auto a = mifare::trailer_access(cond);
        return {{"key_a_read", mifare::to_string(a.key_a_read)},
                {"key_a_write", mifare::to_string(a.key_a_write)},
                {"access_bits_read", mifare::to_string(a.access_read)},
                {"access_bits_write", mifare::to_string(a.access_write)},
                {"key_b_read", mifare::to_string(a.key_b_read)},
                {"key_b_write", mifare::to_string(a.key_b_write)}};
    }
    const auto a = mifare::data_access(cond);
    return {{"read", mifare::to_string(a.read)},
            {"write", mifare::to_string(a.write)},
            {"increment", mifare::to_string(a.increment)},
            {"decrement_transfer_restore", mifare::to_string(a.decrement)}};
}

// Progress on stderr, only when it is a terminal.
class Progress {
  public:
    explicit Progress(const char* what) : what_(what), on_(isatty(STDERR_FILENO) == 1) {}
    ~Progress() {
        if (on_ && shown_) std::cerr << "\r\033[K" << std::flush;
    }
    void operator()(int sector) {
        if (!on_) return;
        shown_ = true;
        const int width = 32;
        const int done = sector * width / mifare::kSectors;
        std::cerr << '\r' << what_ << " [" << std::string(static_cast<std::size_t>(done), '#')
                  << std::string(static_cast<std::size_t>(width - done), '.') << "] sector "
                  << sector << '/' << mifare::kSectors << std::flush;
    }

  private:
    const char* what_;
    bool on_;
    bool shown_ = false;
};

// ---- the port
// -------------------------------------------------------------------------------------

// Why a device did not open, in words, with the usual remedy.
std::string open_failure(const std::string& port, const std::string& device) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::string where = device == port ? device : port + " (" + device + ")";
    if (!fs::exists(device, ec)) {
        return "cannot open " + where +
               ": the device is missing. Is the reader plugged in and powered? List the serial "
               "ports with: ls /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*";
    }
    if (access(device.c_str(), R_OK | W_OK) != 0) {
        return "cannot open " + where +
               ": not permitted. Add yourself to the group that owns it (usually dialout): "
               "sudo usermod -aG dialout $USER, then log in again";
    }
    return "cannot open " + where +
           ": the device is busy (another program holds it open; find it with: fuser " + device +
           ")";
}

struct Connection {
    std::unique_ptr<tqrf_sim::Simulator> sim;  // declared first: outlives the port
    Port port;
};

std::unique_ptr<Connection> connect(const Globals& g) {
    auto c = std::make_unique<Connection>();
    std::string target = g.port;
    if (g.simulate) {
        tool::set_status_namer([](int status) -> const char* {
            if (status < 0x11 || status > 0x1B) return nullptr;
            return tqrf_sim::status_name(static_cast<tqrf_sim::Status>(status));
        });
        tqrf_sim::SimulatorOptions opts;
        opts.default_card = false;
        c->sim = std::make_unique<tqrf_sim::Simulator>(opts);
        const auto image = tool::demo_card_image();
        c->sim->place_card(std::span<const std::uint8_t>(image.data(), image.size()));
        try {
            c->sim->start();
        } catch (const std::exception& e) {
            throw CommandError(std::string("cannot start the simulated reader: ") + e.what());
        }
        target = c->sim->slave_path();
    }
    auto port = Port::open(target);
    if (!port) {
        if (port.error() == tqrf::errc::port_open_failed) {
            throw CommandError(open_failure(target, tool::device_for_port(target)));
        }
        throw CommandError(tool::explain("cannot open " + target, port.error()));
    }
    c->port = std::move(*port);
    return c;
}

// ---- commands
// ---------------------------------------------------------------------------------------

void fail(const std::string& what, const std::error_code& ec) {
    throw CommandError(tool::explain(what, ec));
}

void cmd_scan(Port& port, const Globals& g, bool all) {
    auto card = port.select_card(all ? tqrf::RequestMode::All : tqrf::RequestMode::Idle);
    if (!card) {
        if (tqrf::is_reader_status(card.error())) {
            throw CommandError(tool::explain("no card answered", card.error()) +
                               (all ? "" : "; a halted card answers only with --all"));
        }
        fail("scanning", card.error());
    }
    if (g.json) {
        print_json(card_json(*card));
        return;
    }
    std::cout << "Card type  " << card->type.hex() << '\n'
              << "UID        " << card->uid.hex() << '\n'
              << "Size byte  " << hex_byte(card->size) << " (" << card_kind(*card) << ")\n";
}

void cmd_info(Port& port, const Globals& g) {
    auto version = port.hardware_version();
    if (!version) fail("reading the hardware version", version.error());
    auto id = port.reader_id();
    if (!id) fail("reading the reader's identity number", id.error());
    auto link = port.link_test();
    if (g.json) {
        print_json({{"hardware_version", *version},
                    {"reader_id", *id},
                    {"link_test", link ? "ok" : link.error().message()}});
    } else {
        char idhex[16];
        std::snprintf(idhex, sizeof idhex, "%08X", *id);
        std::cout << "Hardware version  " << *version << '\n'
                  << "Identity number   " << *id << " (0x" << idhex << ")\n"
                  << "Link test         " << (link ? "ok" : link.error().message()) << '\n';
    }
    if (!link) fail("link test", link.error());
}

void cmd_read(Port& port, const Globals& g, const KeyOptions& ko, int block) {
    tool::CardSession s(port, ko.candidates(), ko.key_b);
    Block data;
    const auto login = s.with_block(block, "reading block " + std::to_string(block), [&] {
        auto r = port.read(block);
        if (r) data = *r;
        return r ? tqrf::Status{} : tqrf::Status{r.error()};
    });
    const auto value = mifare::ValueBlock::decode(data);
    if (g.json) {
        json j = {{"block", block},
                  {"data", data.hex()},
                  {"key_type", login.type == KeyType::A ? "A" : "B"}};
        if (value && !mifare::is_trailer(block)) {
            j["value"] = value->value;
            j["value_address"] = value->address;
        }
        print_json(j);
        return;
    }
    std::cout << "Block " << block << "  " << data.hex() << "  " << printable(data) << '\n';
    if (value && !mifare::is_trailer(block)) {
        std::cout << "Value block: " << value->value << " (address " << int(value->address)
                  << ")\n";
    }
}

void cmd_write(Port& port, const Globals& g, const KeyOptions& ko, int block,
               const std::string& hex, bool force) {
    const Block data = parse_block_hex(hex);
    if (block == 0 && !force) {
        throw CommandError(
            "block 0 is the manufacturer block, read-only on genuine cards (--force sends the "
            "write anyway)",
            kExitUsage);
    }
    if (mifare::is_trailer(block)) {
        const auto check = tool::check_trailer(data);
        if (check == tool::TrailerCheck::InvalidBits ||
            (check == tool::TrailerCheck::Frozen && !force)) {
            throw CommandError(std::string("refusing to write trailer block ") +
                                   std::to_string(block) + ": " + tool::describe(check) +
                                   (check == tool::TrailerCheck::Frozen ? " (use --force)" : ""),
                               kExitFailed);
        }
    }
    const auto keys = ko.candidates();
    tool::CardSession s(port, keys, ko.key_b);
    const auto login = s.with_block(block, "writing block " + std::to_string(block),
                                    [&] { return port.write(block, data); });
    if (g.json) {
        print_json({{"block", block},
                    {"written", data.hex()},
                    {"key_type", login.type == KeyType::A ? "A" : "B"}});
    } else {
        std::cout << "Block " << block << " written: " << data.hex() << '\n';
    }
}

json dump_json(const tool::CardDump& d) {
    json sectors = json::array();
    for (const auto& s : d.sectors) {
        json js = {{"sector", s.sector},
                   {"key_a", s.key_a ? json(s.key_a->hex()) : json(nullptr)},
                   {"key_b", s.key_b ? json(s.key_b->hex()) : json(nullptr)},
                   {"opened", s.opened()}};
        std::optional<mifare::AccessConditions> ac;
        if (s.blocks[3]) {
            ac = mifare::AccessConditions::from_trailer(*s.blocks[3]);
            js["access_bytes"] = s.blocks[3]->hex().substr(12, 6);
            js["user_byte"] = s.blocks[3]->hex().substr(18, 2);
            js["access_valid"] = ac.has_value();
        }
        json blocks = json::array();
        for (int i = 0; i < 4; ++i) {
            const auto& b = s.blocks[static_cast<std::size_t>(i)];
            json jb = {{"block", mifare::first_block(s.sector) + i}};
            jb["data"] = b ? json(b->hex()) : json(nullptr);
            if (!b) jb["error"] = s.errors[static_cast<std::size_t>(i)];
            if (ac) {
                const auto cond = ac->block[static_cast<std::size_t>(i)];
                jb["access"] = mifare::condition_bits(cond);
                jb["rights"] = rights_json(i, cond);
            }
            if (b && i < 3 && !(s.sector == 0 && i == 0)) {
                if (auto v = mifare::ValueBlock::decode(*b)) {
                    jb["value"] = v->value;
                    jb["value_address"] = v->address;
                }
            }
            blocks.push_back(jb);
        }
        js["blocks"] = blocks;
        sectors.push_back(js);
    }
    json j = card_json(d.card);
    j["sectors"] = sectors;
    return j;
}

// Compact rights for the table; "-" is nobody.
std::string data_rights(mifare::Condition cond) {
    const auto a = mifare::data_access(cond);
    char buf[96];
    std::snprintf(buf, sizeof buf, "read %-2s write %-2s inc %-2s dec %s",
                  mifare::to_string(a.read), mifare::to_string(a.write),
                  mifare::to_string(a.increment), mifare::to_string(a.decrement));
    return buf;
}

std::string trailer_rights(mifare::Condition cond) {
    const auto a = mifare::trailer_access(cond);
    char buf[96];
    std::snprintf(buf, sizeof buf, "key A write %s; bits read %s write %s; key B read %s write %s",
                  mifare::to_string(a.key_a_write), mifare::to_string(a.access_read),
                  mifare::to_string(a.access_write), mifare::to_string(a.key_b_read),
                  mifare::to_string(a.key_b_write));
    return buf;
}

void print_dump(const tool::CardDump& d) {
    std::cout << "Access rights per block: A = key A, B = key B, AB = either, - = none; "
                 "dec = decrement, transfer, restore\n";
    std::cout << "UID " << d.card.uid.hex() << "  card type " << d.card.type.hex() << "  size byte "
              << hex_byte(d.card.size) << " (" << card_kind(d.card) << ")\n";
    for (const auto& s : d.sectors) {
        std::cout << "\nSector " << s.sector;
        if (!s.opened()) {
            std::cout << ": no key opens it, skipped\n";
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

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw CommandError("cannot write " + path + ": " + std::strerror(errno));
}

void cmd_dump(Port& port, const Globals& g, const KeyOptions& ko, const std::string& out_file,
              const std::string& format) {
    tool::CardSession s(port, ko.candidates(), ko.key_b);
    tool::CardDump d;
    {
        Progress progress("dump");
        d = s.dump([&](int sector) { progress(sector); });
    }
    const json j = dump_json(d);
    if (!out_file.empty()) {
        const bool as_json = format == "json" || (format.empty() && g.json);
        if (as_json) {
            write_file(out_file, j.dump(2) + "\n");
        } else {
            const auto image = d.image();
            write_file(out_file,
                       std::string(reinterpret_cast<const char*>(image.data()), image.size()));
        }
    }
    int skipped = 0;
    for (const auto& sd : d.sectors) skipped += sd.opened() ? 0 : 1;
    if (g.json) {
        print_json(j);
    } else {
        print_dump(d);
        if (!out_file.empty()) std::cout << "\nWritten to " << out_file << '\n';
    }
    if (skipped == mifare::kSectors) {
        throw CommandError(
            "no key opens any sector of this card; give its keys with --key or --keys");
    }
    for (const auto& sd : d.sectors) {
        if (!sd.opened()) {
            std::cerr << "tqrf: sector " << sd.sector
                      << ": no key opens it; skipped (add its keys with --keys)\n";
        }
    }
}

tool::Image read_image(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CommandError("cannot read " + path + ": " + std::strerror(errno), kExitUsage);
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() != mifare::kImageSize) {
        throw CommandError(path + " is " + std::to_string(bytes.size()) +
                               " bytes; a 1K card image (.mfd) is exactly 1024",
                           kExitUsage);
    }
    tool::Image image{};
    std::memcpy(image.data(), bytes.data(), image.size());
    return image;
}

void cmd_restore(Port& port, const Globals& g, const KeyOptions& ko, const std::string& file,
                 bool trailers, bool force) {
    const auto image = read_image(file);
    const auto keys = ko.candidates();
    if (trailers) {
        std::string refused;
        for (int s = 0; s < mifare::kSectors; ++s) {
            const auto check = tool::check_trailer(tool::image_block(image, mifare::trailer_of(s)));
            if (check == tool::TrailerCheck::InvalidBits ||
                (check == tool::TrailerCheck::Frozen && !force)) {
                refused += "\n  sector " + std::to_string(s) + " (block " +
                           std::to_string(mifare::trailer_of(s)) + "): " + tool::describe(check);
            }
        }
        if (!refused.empty()) {
            throw CommandError(
                "refusing to restore, nothing was written; these trailers are "
                "refused (--force accepts the permanent ones, never invalid "
                "ones):" +
                refused);
        }
    }
    tool::CardSession s(port, keys, ko.key_b);
    std::vector<tool::BlockOutcome> outcomes;
    {
        Progress progress("restore");
        outcomes = s.restore(image, trailers, [&](int sector) { progress(sector); });
    }
    int written = 0;
    json failed = json::array();
    for (const auto& o : outcomes) {
        if (o.written) {
            ++written;
        } else {
            failed.push_back({{"block", o.block}, {"error", o.error}});
        }
    }
    if (g.json) {
        print_json({{"written", written}, {"failed", failed}, {"trailers", trailers}});
    } else {
        std::cout << "Restored " << written << " of " << outcomes.size() << " blocks from " << file
                  << (trailers ? " (trailers included)" : " (data blocks only)") << '\n';
    }
    for (const auto& f : failed) {
        std::cerr << "tqrf: block " << f["block"].get<int>() << ": "
                  << f["error"].get<std::string>() << '\n';
    }
    if (!failed.empty()) {
        throw CommandError(std::to_string(failed.size()) + " block(s) could not be written");
    }
}

void cmd_value(Port& port, const Globals& g, const KeyOptions& ko, const std::string& op, int block,
               long long amount, int to_block) {
    if (mifare::is_trailer(block) || block == 0 ||
        (to_block >= 0 && mifare::is_trailer(to_block))) {
        throw CommandError("value blocks are data blocks: not block 0, not a sector trailer",
                           kExitUsage);
    }
    if (to_block >= 0 && mifare::sector_of(to_block) != mifare::sector_of(block)) {
        throw CommandError("value copy works within one sector: block " + std::to_string(block) +
                               " is in sector " + std::to_string(mifare::sector_of(block)) +
                               ", block " + std::to_string(to_block) + " in sector " +
                               std::to_string(mifare::sector_of(to_block)),
                           kExitUsage);
    }
    tool::CardSession s(port, ko.candidates(), ko.key_b);
    const std::string where = "block " + std::to_string(block);
    const auto amt = static_cast<std::uint32_t>(amount);
    int result_block = block;
    if (op == "init") {
        s.with_block(block, "initialising value " + where,
                     [&] { return port.init_value(block, static_cast<std::int32_t>(amount)); });
    } else if (op == "inc" || op == "dec") {
        // The card computes into its transfer buffer; transfer writes it back. Both steps run
        // under the same login.
        s.with_block(block, (op == "inc" ? "incrementing " : "decrementing ") + where, [&] {
            auto r = op == "inc" ? port.increment(block, amt) : port.decrement(block, amt);
            if (!r) return r;
            return port.transfer(block);
        });
    } else if (op == "copy") {
        result_block = to_block;
        s.with_block(block, "copying value " + where + " to block " + std::to_string(to_block),
                     [&] {
                         auto r = port.restore(block);
                         if (!r) return r;
                         return port.transfer(to_block);
                     });
    }
    std::int32_t value = 0;
    s.with_block(result_block, "reading value block " + std::to_string(result_block), [&] {
        auto r = port.read_value(result_block);
        if (r) value = *r;
        return r ? tqrf::Status{} : tqrf::Status{r.error()};
    });
    if (g.json) {
        print_json({{"operation", op}, {"block", result_block}, {"value", value}});
    } else {
        std::cout << "Block " << result_block << " value " << value << '\n';
    }
}

void cmd_beep(Port& port, const Globals& g, unsigned ms) {
    const auto units = static_cast<std::uint8_t>((ms + 5) / 10);
    auto r = port.beep(units);
    if (!r) fail("beep", r.error());
    if (g.json) {
        print_json({{"beep_ms", units * 10}});
    } else {
        std::cout << "Beeped for " << units * 10 << " ms\n";
    }
}

void cmd_clock_get(Port& port, const Globals& g) {
    auto bytes = port.read_clock();
    if (!bytes) fail("reading the clock", bytes.error());
    std::string raw;
    for (auto b : *bytes) raw += hex_byte(b);
    auto t = tool::decode_clock(*bytes);
    if (g.json) {
        print_json({{"clock", t ? json(tool::format_datetime(*t)) : json(nullptr)}, {"raw", raw}});
    } else if (t) {
        static const char* const days[] = {"", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
        std::cout << tool::format_datetime(*t) << " (" << days[t->weekday] << ")\n";
    } else {
        std::cout << "Clock bytes " << raw << " (not a date in this reader's layout)\n";
    }
}

void cmd_clock_set(Port& port, const Globals& g, const std::string& when) {
    std::optional<tool::DateTime> t;
    if (when == "now") {
        t = tool::local_now();
    } else {
        t = tool::parse_datetime(when);
    }
    if (!t) {
        throw CommandError(
            "clock set takes YYYY-MM-DDTHH:MM:SS (years 2000 to 2099) or now, not \"" + when + "\"",
            kExitUsage);
    }
    auto r = port.set_clock(tool::encode_clock(*t));
    if (!r) fail("setting the clock", r.error());
    if (g.json) {
        print_json({{"clock", tool::format_datetime(*t)}});
    } else {
        std::cout << "Clock set to " << tool::format_datetime(*t) << '\n';
    }
}

void cmd_e2_read(Port& port, const Globals& g, unsigned addr) {
    auto data = port.read_e2(static_cast<std::uint8_t>(addr));
    if (!data) fail("reading the E2PROM", data.error());
    if (g.json) {
        print_json({{"address", addr}, {"data", data->hex()}});
    } else {
        std::cout << "E2PROM " << hex_byte(addr) << "  " << data->hex() << "  " << printable(*data)
                  << '\n';
    }
}

void cmd_e2_write(Port& port, const Globals& g, unsigned addr, const std::string& hex) {
    const Block data = parse_block_hex(hex);
    auto r = port.write_e2(static_cast<std::uint8_t>(addr), data);
    if (!r) fail("writing the E2PROM at " + std::to_string(addr), r.error());
    if (g.json) {
        print_json({{"address", addr}, {"written", data.hex()}});
    } else {
        std::cout << "E2PROM " << hex_byte(addr) << " written: " << data.hex() << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "tqrf: read, write, dump and restore Mifare Classic 1K cards with the MF RC500 serial "
        "reader, and manage the reader."};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_all_flag("--help-all", "Help for every command");

    Globals g;
    auto* port_opt = app.add_option("--port", g.port,
                                    "The reader's port: COM3 (COMn opens /dev/ttyS(n-1)) or a "
                                    "device path such as /dev/ttyUSB0")
                         ->envname("TQRF_PORT");
    auto* sim_flag = app.add_flag("--simulate", g.simulate,
                                  "Use a simulated reader (in this process, on a pseudo-terminal) "
                                  "with a demo card in its field");
    port_opt->excludes(sim_flag);
    app.add_flag("--json", g.json, "Machine-readable output (JSON) on stdout");

    // scan
    bool scan_all = false;
    auto* scan =
        app.add_subcommand("scan", "Card type, UID and size byte of the card in the field");
    scan->add_flag("--all", scan_all, "Wake halted cards too (WUPA instead of REQA)");

    auto* info = app.add_subcommand("info", "Reader hardware version, identity number, link test");

    // read / write
    int block = 0;
    KeyOptions read_keys, write_keys, dump_keys, restore_keys, value_keys;
    auto* read = app.add_subcommand("read", "Read one block");
    read->add_option("BLOCK", block, "Block number, 0 to 63")->required()->check(CLI::Range(0, 63));
    read_keys.add_to(read);

    std::string hex;
    bool force = false;
    auto* write = app.add_subcommand("write", "Write one block");
    write->add_option("BLOCK", block, "Block number, 1 to 63")
        ->required()
        ->check(CLI::Range(0, 63));
    write->add_option("HEX32", hex, "16 bytes as 32 hex digits")->required();
    write->add_flag("--force", force,
                    "Write block 0, or a trailer whose access bits could never be changed again");
    write_keys.add_to(write);

    // dump / restore
    std::string out_file, format;
    auto* dump =
        app.add_subcommand("dump", "Read the whole card; table with decoded access rights");
    dump->add_option("-o,--output", out_file,
                     "Write a 1024-byte .mfd image (with --json or --format json: the JSON dump)");
    dump->add_option("--format", format, "Format of the -o file: mfd or json")
        ->check(CLI::IsMember({"mfd", "json"}));
    dump_keys.add_to(dump);

    std::string in_file;
    bool trailers = false;
    auto* restore = app.add_subcommand(
        "restore", "Write a .mfd image back: data blocks, never block 0; trailers with --trailers");
    restore->add_option("FILE", in_file, "A 1024-byte card image")->required();
    restore->add_flag("--trailers", trailers, "Also write sector trailers (keys and access bits)");
    restore->add_flag("--force", force,
                      "Accept trailers whose access bits could never be changed again");
    restore_keys.add_to(restore);

    // value
    auto* value = app.add_subcommand("value", "Value blocks: get, init, inc, dec, copy");
    value->require_subcommand(1);
    value_keys.add_to(value);
    std::string value_op;
    long long amount = 0;
    int to_block = -1;
    auto* v_get = value->add_subcommand("get", "Read the value of a value block");
    v_get->add_option("BLOCK", block, "Block number")->required()->check(CLI::Range(1, 62));
    auto* v_init = value->add_subcommand("init", "Make a block a value block holding AMOUNT");
    v_init->add_option("BLOCK", block, "Block number")->required()->check(CLI::Range(1, 62));
    v_init->add_option("AMOUNT", amount, "Signed 32-bit value")
        ->required()
        ->check(CLI::Range(-2147483648LL, 2147483647LL));
    auto* v_inc = value->add_subcommand("inc", "Add AMOUNT to a value block (then transfer)");
    v_inc->add_option("BLOCK", block, "Block number")->required()->check(CLI::Range(1, 62));
    v_inc->add_option("AMOUNT", amount, "0 to 2147483647")
        ->required()
        ->check(CLI::Range(0LL, 2147483647LL));
    auto* v_dec =
        value->add_subcommand("dec", "Subtract AMOUNT from a value block (then transfer)");
    v_dec->add_option("BLOCK", block, "Block number")->required()->check(CLI::Range(1, 62));
    v_dec->add_option("AMOUNT", amount, "0 to 2147483647")
        ->required()
        ->check(CLI::Range(0LL, 2147483647LL));
    auto* v_copy = value->add_subcommand("copy", "Copy a value block to TO_BLOCK in its sector");
    v_copy->add_option("BLOCK", block, "Source block")->required()->check(CLI::Range(1, 62));
    v_copy->add_option("TO_BLOCK", to_block, "Target block, same sector")
        ->required()
        ->check(CLI::Range(1, 62));

    // beep, clock, e2
    unsigned beep_ms = 100;
    auto* beep = app.add_subcommand("beep", "Sound the reader's beeper");
    beep->add_option("DURATION", beep_ms, "Milliseconds, 0 to 2400, in steps of 10 (default 100)")
        ->check(CLI::Range(0u, 2400u));

    auto* clock = app.add_subcommand("clock", "Read or set the reader's real-time clock");
    auto* clock_get = clock->add_subcommand("get", "Read the clock (the default)");
    std::string when = "now";
    auto* clock_set = clock->add_subcommand("set", "Set the clock");
    clock_set->add_option("TIME", when, "YYYY-MM-DDTHH:MM:SS or now (the default)");

    unsigned addr = 0;
    auto* e2 = app.add_subcommand("e2", "The RC500 chip's E2PROM");
    e2->require_subcommand(1);
    auto* e2_read = e2->add_subcommand("read", "Read 16 bytes from ADDR on");
    e2_read->add_option("ADDR", addr, "Byte address, 0 to 255")
        ->required()
        ->check(CLI::Range(0u, 255u));
    auto* e2_write = e2->add_subcommand("write", "Write 16 bytes at ADDR");
    e2_write->add_option("ADDR", addr, "Byte address, 0 to 127")
        ->required()
        ->check(CLI::Range(0u, 127u));
    e2_write->add_option("HEX32", hex, "16 bytes as 32 hex digits")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    try {
        if (g.port.empty() && !g.simulate) {
            throw CommandError(
                "no reader given: use --port PORT (COM3, /dev/ttyUSB0) or --simulate", kExitUsage);
        }
        auto conn = connect(g);
        Port& port = conn->port;
        if (*scan) cmd_scan(port, g, scan_all);
        if (*info) cmd_info(port, g);
        if (*read) cmd_read(port, g, read_keys, block);
        if (*write) cmd_write(port, g, write_keys, block, hex, force);
        if (*dump) cmd_dump(port, g, dump_keys, out_file, format);
        if (*restore) cmd_restore(port, g, restore_keys, in_file, trailers, force);
        if (*value) {
            if (*v_get) value_op = "get";
            if (*v_init) value_op = "init";
            if (*v_inc) value_op = "inc";
            if (*v_dec) value_op = "dec";
            if (*v_copy) value_op = "copy";
            cmd_value(port, g, value_keys, value_op, block, amount,
                      value_op == "copy" ? to_block : -1);
        }
        if (*beep) cmd_beep(port, g, beep_ms);
        if (*clock) {
            if (*clock_set) {
                cmd_clock_set(port, g, when);
            } else {
                (void)clock_get;
                cmd_clock_get(port, g);
            }
        }
        if (*e2_read) cmd_e2_read(port, g, addr);
        if (*e2_write) cmd_e2_write(port, g, addr, hex);
    } catch (const CommandError& e) {
        std::cerr << "tqrf: " << e.what() << '\n';
        return e.status;
    } catch (const std::exception& e) {
        std::cerr << "tqrf: " << e.what() << '\n';
        return kExitFailed;
    }
    return 0;
}
