// scan, read, write, value.
#include <iostream>

#include "access_names.h"
#include "commands.h"
#include "session.h"

namespace tqrf::tool {

namespace {

Block parse_block_hex(const std::string& text) {
    auto b = Block::from_hex(text);
    if (!b) throw usage_error("block data must be 32 hex digits, not \"" + text + "\"");
    return *b;
}

}  // namespace

void warn(const std::string& message) {
    std::cerr << "tqrf: " << message << '\n';
}

void run_scan(const Globals& g, Printer& out, const ScanArgs& a) {
    // Every port is tried: one that does not open, or fails, has its own line.
    auto conn = Connection::open(g, true, true);
    const bool several = conn->links().size() > 1;
    std::vector<ScanLine> lines;
    int found = 0;
    std::optional<CommandError> no_card, link_failure;
    for (const auto& f : conn->failures()) {
        if (!link_failure) link_failure = f.error;
    }
    for (std::size_t i = 0; i < conn->links().size(); ++i) {
        Link& link = conn->links()[i];
        ScanLine line;
        line.port = link.port;
        if (!link.reader.is_open()) {
            for (const auto& f : conn->failures()) {
                if (f.index == i) line.problem = f.error.what();
            }
            lines.push_back(line);
            continue;
        }
        auto card = link.reader.find_card(a.all ? RequestMode::All : RequestMode::Idle);
        if (card) {
            line.card = *card;
            ++found;
        } else if (is_reader_status(card.error())) {
            line.problem = explain("no card answered", card.error()) +
                           (a.all ? "" : "; a halted card answers only with --all");
            if (!no_card) {
                no_card = CommandError("no_card", line.problem, kExitFailed, card.error().value());
            }
        } else {
            if (!several) throw_failure("scanning", card.error(), link.reader);
            const CommandError e = failure("scanning", card.error(), link.reader);
            line.problem = e.what();
            if (!link_failure) link_failure = e;
        }
        lines.push_back(line);
    }
    out.scan(lines, several);
    // The run fails when a reader failed, or when no reader found a card.
    if (link_failure) throw *link_failure;
    if (found == 0 && no_card) throw *no_card;
}

void run_read(const Globals& g, Printer& out, const ReadArgs& a) {
    const auto keys = a.keys.candidates();
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    CardSession s(reader, keys, a.keys.key_b);
    const int block = static_cast<int>(a.block);
    BlockReport r;
    r.block = block;
    const auto login = s.with_block(block, "reading block " + std::to_string(block), [&] {
        auto data = s.read_block(block);
        if (data) r.data = *data;
        return data ? Status{} : Status{data.error()};
    });
    r.key = login.type;
    out.read(r);
}

void run_write(const Globals& g, Printer& out, const WriteArgs& a) {
    const int block = static_cast<int>(a.block);
    Block data;
    if (!a.access.empty()) {
        if (!a.hex.empty()) throw usage_error("give HEX32 or --access, not both");
        if (!mifare::is_trailer(block)) {
            throw usage_error("--access builds a sector trailer: block " + std::to_string(block) +
                              " is a data block (trailers are 3, 7, 11, ... 63)");
        }
        const mifare::AccessConditions ac = parse_access_items(a.access);
        if (const auto problem = access_problem(ac, a.force)) {
            throw CommandError("trailer_refused", "refusing to write trailer block " +
                                                      std::to_string(block) + ": " + *problem);
        }
        const auto ka = Key::from_hex(a.new_key_a), kb = Key::from_hex(a.new_key_b);
        if (!ka || !kb) {
            throw usage_error(
                "--access needs --new-key-a and --new-key-b, 12 hex digits each: "
                "the trailer holds both keys");
        }
        const auto user = Bytes<1, BlockTag>::from_hex(a.user_byte);
        if (!user) throw usage_error("--user-byte takes 2 hex digits, not \"" + a.user_byte + "\"");
        data = mifare::make_trailer(*ka, ac, *kb, (*user)[0]);
    } else {
        if (a.hex.empty()) throw usage_error("write needs HEX32 (or, for a trailer, --access)");
        data = parse_block_hex(a.hex);
    }
    if (block == 0 && !a.force) {
        throw usage_error(
            "block 0 is the manufacturer block, read-only on genuine cards (--force sends the "
            "write anyway)");
    }
    if (mifare::is_trailer(block)) {
        const auto check = check_trailer(data);
        if (check == TrailerCheck::InvalidBits || (check == TrailerCheck::Frozen && !a.force)) {
            throw CommandError("trailer_refused",
                               "refusing to write trailer block " + std::to_string(block) + ": " +
                                   describe(check) +
                                   (check == TrailerCheck::Frozen ? " (use --force)" : ""));
        }
    }
    const auto keys = a.keys.candidates();
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    CardSession s(reader, keys, a.keys.key_b);
    const auto login = s.with_block(block, "writing block " + std::to_string(block),
                                    [&] { return reader.write(block, data); });
    out.write(BlockReport{block, data, login.type});
}

void run_value(const Globals& g, Printer& out, const ValueArgs& a) {
    const int block = static_cast<int>(a.block);
    const int to_block = static_cast<int>(a.to_block);
    const std::string& op = a.operation;
    if (mifare::is_trailer(block) || block == 0 ||
        (to_block >= 0 && (mifare::is_trailer(to_block) || to_block == 0))) {
        throw usage_error("value blocks are data blocks: not block 0, not a sector trailer");
    }
    if (to_block >= 0 && mifare::sector_of(to_block) != mifare::sector_of(block)) {
        throw usage_error("value copy works within one sector: block " + std::to_string(block) +
                          " is in sector " + std::to_string(mifare::sector_of(block)) + ", block " +
                          std::to_string(to_block) + " in sector " +
                          std::to_string(mifare::sector_of(to_block)));
    }
    const auto keys = a.keys.candidates();
    auto conn = Connection::open(g, false);
    Reader& reader = conn->first().reader;
    CardSession s(reader, keys, a.keys.key_b);
    const std::string where = "block " + std::to_string(block);
    const auto amount = static_cast<std::uint32_t>(a.amount);
    int result_block = block;
    if (op == "init") {
        s.with_block(block, "initialising value " + where,
                     [&] { return reader.init_value(block, static_cast<std::int32_t>(a.amount)); });
    } else if (op == "inc" || op == "dec") {
        // The card computes into its transfer buffer; transfer writes it back. Both steps run
        // under the same login.
        // The balance is read first, under the same login, so that a result below zero or
        // past the largest value is refused before the card computes it.
        std::optional<CommandError> refused;
        s.with_block(block, (op == "inc" ? "incrementing " : "decrementing ") + where, [&] {
            auto v = reader.read_value(block);
            if (!v) return Status{v.error()};
            const auto next =
                op == "inc" ? mifare::checked_increment(*v, amount, a.allow_wrap)
                            : mifare::checked_decrement(*v, amount, a.allow_negative, a.allow_wrap);
            if (!next) {
                const long long exact = op == "inc" ? static_cast<long long>(*v) + a.amount
                                                    : static_cast<long long>(*v) - a.amount;
                const bool wraps = exact > 2147483647LL || exact < -2147483648LL;
                refused = CommandError(
                    "value_refused",
                    "refusing to " + std::string(op == "inc" ? "increment " : "decrement ") +
                        where + ", nothing was written: its value is " + std::to_string(*v) +
                        ", and " + std::to_string(*v) + (op == "inc" ? " + " : " - ") +
                        std::to_string(a.amount) + " = " + std::to_string(exact) +
                        (wraps ? " does not fit a value block (-2147483648 to 2147483647; "
                                 "--allow-wrap lets the card wrap it around)"
                               : " is below zero (--allow-negative allows it)"));
                return Status{};
            }
            auto r =
                op == "inc" ? reader.increment(block, amount) : reader.decrement(block, amount);
            if (!r) return r;
            return reader.transfer(block);
        });
        if (refused) throw *refused;
    } else if (op == "copy") {
        result_block = to_block;
        s.with_block(block, "copying value " + where + " to block " + std::to_string(to_block),
                     [&] {
                         auto r = reader.restore(block);
                         if (!r) return r;
                         return reader.transfer(to_block);
                     });
    }
    ValueReport r{op, result_block, 0};
    s.with_block(result_block, "reading value block " + std::to_string(result_block), [&] {
        auto v = reader.read_value(result_block);
        if (v) r.value = *v;
        return v ? Status{} : Status{v.error()};
    });
    out.value(r);
}

}  // namespace tqrf::tool
