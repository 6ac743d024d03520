// dump and restore: whole-card images.
#include <cstdio>
#include <iomanip>
#include <iostream>

#include "commands.h"
#include "files.h"
#include "image_file.h"
#include "platform.h"
#include "restore_plan.h"
#include "session.h"

namespace tqrf::tool {

namespace {

// An image file larger than this is not a card image.
constexpr std::size_t kImageFileMax = 1 << 20;

std::string list(const std::vector<int>& numbers) {
    std::string out;
    for (int n : numbers) out += (out.empty() ? "" : ", ") + std::to_string(n);
    return out;
}

// Progress on stderr, only when it is a terminal.
class Progress {
  public:
    explicit Progress(const char* what) : what_(what), on_(platform::stderr_is_terminal()) {}
    ~Progress() {
        if (on_ && shown_) std::cerr << "\r\033[K" << std::flush;
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
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

}  // namespace

void run_dump(const Globals& g, Printer& out, const DumpArgs& a) {
    DumpReport report;
    if (a.output.empty()) {
        if (!a.format.empty()) throw usage_error("--format names the format of -o FILE");
        if (a.partial) throw usage_error("--partial is about the image of -o FILE");
    } else {
        report.file = a.output;
        report.format = choose_format(a.output, a.format);
        check_output_path(a.output);
    }
    const auto keys = a.keys.candidates();
    auto conn = Connection::open(g, false);
    CardSession s(conn->first().reader, keys, a.keys.key_b);
    CardDump d;
    {
        Progress progress("dump");
        d = s.dump([&](int sector) { progress(sector); });
    }
    report.dump = &d;
    report.incomplete = incomplete_sectors(d);

    // Sectors the reader failed on (after the retries): left unread, each with why.
    std::vector<int> failed;
    std::string failures;
    for (const auto& sd : d.sectors) {
        if (sd.failure.empty()) continue;
        failed.push_back(sd.sector);
        failures += "\n  sector " + std::to_string(sd.sector) + ": " + sd.failure;
    }
    const std::string attempts =
        g.retries == 1 ? "1 attempt" : std::to_string(g.retries) + " attempts";

    int opened = 0, read = 0;
    for (const auto& sd : d.sectors) {
        opened += sd.opened() ? 1 : 0;
        for (const auto& b : sd.blocks) read += b ? 1 : 0;
    }
    if (read == 0 && !failed.empty()) {
        // Nothing to keep: an older file stays as it is.
        out.dump(report);
        throw CommandError(
            "unread_sectors",
            "the reader failed on every sector (after " + attempts + "), nothing was read" +
                (report.file.empty() ? "" : " and " + report.file + " was not written") + ":" +
                failures);
    }
    if (opened == 0 && failed.empty()) {
        out.dump(report);
        throw CommandError("no_key",
                           "no key opens any sector of this card; give its keys with --key or "
                           "--keys");
    }
    for (const auto& sd : d.sectors) {
        if (!sd.failure.empty()) continue;  // named in the failure below
        if (!sd.opened()) {
            warn("sector " + std::to_string(sd.sector) +
                 ": no key opens it; skipped (add its keys with --keys)");
        } else if (!sd.complete()) {
            std::vector<int> missing;
            for (int i = 0; i < 4; ++i) {
                if (!sd.blocks[static_cast<std::size_t>(i)]) {
                    missing.push_back(mifare::first_block(sd.sector) + i);
                }
            }
            warn("sector " + std::to_string(sd.sector) + ": block(s) " + list(missing) +
                 " could not be read");
        }
    }

    if (!report.file.empty()) {
        const bool marks = format_marks_unknown(report.format);
        if (!marks && !report.incomplete.empty() && !a.partial) {
            out.dump(report);
            throw CommandError(
                "partial_dump",
                "sector(s) " + list(report.incomplete) + " could not be read whole, so " +
                    report.file + " was not written: the " + format_name(report.format) +
                    " format cannot mark what the dump did not read. Give their keys with "
                    "--keys, or use --partial to write the image with those sectors as zeros "
                    "(restore leaves them alone), or write a .json, .nfc or .mct image, which "
                    "marks each block" +
                    (failed.empty()
                         ? ""
                         : ". The reader failed on some (after " + attempts + "):" + failures));
        }
        write_file_atomically(report.file, image_file_bytes(d, report.format));
        report.written = true;
        if (!marks && !report.incomplete.empty()) {
            warn(report.file + ": sector(s) " + list(report.incomplete) +
                 " are zeros in the image (not read); restore leaves them alone");
        }
    }
    out.dump(report);
    if (!failed.empty()) {
        throw CommandError(
            "unread_sectors",
            std::string(failed.size() == 1 ? "sector " : "sectors ") + list(failed) +
                " could not be read: the reader failed on " + (failed.size() == 1 ? "it" : "each") +
                " (after " + attempts + ")" +
                (report.written
                     ? "; " + report.file + " was written with " +
                           (failed.size() == 1 ? "it" : "them") +
                           (format_marks_unknown(report.format) ? " marked unread" : " as zeros")
                     : std::string()) +
                ":" + failures);
    }
}

void run_restore(const Globals& g, Printer& out, const RestoreArgs& a) {
    const auto hint = input_format_hint(a.file, a.format);
    const std::string bytes = read_input_file(a.file, "image", kImageFileMax);
    std::string error;
    const auto image = parse_image_file(bytes, hint, error);
    if (!image) throw usage_error(a.file + " " + error);
    const auto keys = a.keys.candidates();

    auto conn = Connection::open(g, false);
    CardSession s(conn->first().reader, keys, a.keys.key_b);
    const CardInfo card = s.card();
    RestorePlan plan = plan_restore(*image, card.uid, {a.trailers, a.force});
    for (int sector : plan.absent_sectors) {
        warn("sector " + std::to_string(sector) + " is not in " + a.file +
             " (the dump did not read it); left as it is");
    }
    // Every block to write is read first: those the card already holds as in the image are
    // left alone, and the others are checked against the access conditions the card holds
    // now, before the first write.
    s.prefer_keys(plan.image_keys);
    std::array<CardSectorAccess, mifare::kSectors> access{};
    for (int sector : planned_sectors(plan)) {
        access[static_cast<std::size_t>(sector)] = s.sector_access(sector);
    }
    skip_unchanged(plan, image->image, access);
    check_card_access(plan, access);

    RestoreReport report;
    report.file = a.file;
    report.plan = &plan;
    report.dry_run = a.dry_run;
    report.trailers = a.trailers;
    report.skip_refused = a.skip_refused;
    report.verify = !a.no_verify;
    if (!plan.refused.empty() && !a.skip_refused) {
        // The report lists each refusal with its reason; the message only counts them.
        out.restore(report);
        std::vector<int> blocks;
        for (const auto& [b, why] : plan.refused) blocks.push_back(b);
        throw CommandError("write_refused",
                           std::string(a.dry_run ? "the restore would be refused"
                                                 : "refusing to restore, nothing was written") +
                               ": the card would refuse " + std::to_string(blocks.size()) +
                               (blocks.size() == 1 ? " block (" : " blocks (") + list(blocks) +
                               "; --skip-refused writes the others)");
    }
    if (a.dry_run) {
        out.restore(report);
        return;
    }
    {
        Progress progress("restore");
        report.outcomes =
            s.restore(image->image, plan, report.verify, [&](int sector) { progress(sector); });
    }
    out.restore(report);
    for (const auto& o : report.outcomes) {
        if (o.written || !o.attempted) continue;
        std::vector<int> written, not_written;
        for (const auto& x : report.outcomes)
            (x.written ? written : not_written).push_back(x.block);
        throw CommandError(
            "restore_stopped",
            "the restore stopped at block " + std::to_string(o.block) + ": " + o.error +
                "; written: " + (written.empty() ? std::string("none") : list(written)) +
                "; not written: " + list(not_written));
    }
}

}  // namespace tqrf::tool

namespace tqrf::tool {

namespace {

struct LoadedImage {
    CardImage card;
    ImageFormat format;
};

LoadedImage load_image(const std::string& path, const std::string& format_option) {
    const auto hint = input_format_hint(path, format_option);
    const std::string bytes = read_input_file(path, "image", kImageFileMax);
    std::string error;
    auto file = read_image(bytes, hint, error);
    if (!file) throw usage_error(path + " " + error);
    return {file->card, file->format};
}

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
    return buf;
}

std::string hex2(unsigned v) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
    return buf;
}

nlohmann::json mad_json(const Mad& m) {
    nlohmann::json sectors = nlohmann::json::array();
    for (std::size_t i = 0; i < m.aid.size(); ++i) {
        sectors.push_back(
            {{"sector", i + 1}, {"aid", hex4(m.aid[i])}, {"name", mad_aid_name(m.aid[i])}});
    }
    return {{"version", m.version}, {"crc", hex2(m.crc)},   {"crc_computed", hex2(m.crc_computed)},
            {"crc_ok", m.crc_ok},   {"info", hex2(m.info)}, {"sectors", sectors}};
}

}  // namespace

void run_image_show(const Globals& g, const ImageShowArgs& a) {
    const LoadedImage img = load_image(a.file, a.format);
    const CardDump d = card_dump_of(img.card);
    const auto mad = find_mad(img.card);
    if (mad && !mad->crc_ok) {
        warn(a.file + ": the MIFARE Application Directory's CRC is " + hex2(mad->crc) +
             ", its content gives " + hex2(mad->crc_computed) + "; the directory may be damaged");
    }
    if (g.json) {
        nlohmann::json j = dump_document(d);
        j["file"] = a.file;
        j["file_format"] = format_name(img.format);
        j["uid_known"] = img.card.uid.has_value();
        j["mad"] = mad ? mad_json(*mad) : nlohmann::json(nullptr);
        std::cout << j.dump(2) << '\n';
        return;
    }
    std::cout << a.file << ": " << format_name(img.format) << " image";
    const auto missing = incomplete_sectors(img.card);
    if (missing.empty()) {
        std::cout << ", every block read\n";
    } else {
        std::cout << ", sectors not read whole: " << list(missing) << '\n';
    }
    if (!img.card.uid) std::cout << "The image does not say which card it came from.\n";
    print_dump_table(d);
    if (mad) {
        std::cout << "\nMIFARE Application Directory, version " << mad->version << ", CRC "
                  << hex2(mad->crc)
                  << (mad->crc_ok ? " (correct)"
                                  : " (wrong: " + hex2(mad->crc_computed) + " expected)")
                  << '\n';
        if (mad->info != 0) std::cout << "  card publisher sector " << int(mad->info) << '\n';
        for (std::size_t i = 0; i < mad->aid.size(); ++i) {
            const char* name = mad_aid_name(mad->aid[i]);
            std::cout << "  sector " << (i + 1 < 10 ? " " : "") << i + 1 << "  "
                      << hex4(mad->aid[i]) << (*name ? std::string("  ") + name : "") << '\n';
        }
    }
}

void run_image_convert(const Globals& g, const ImageConvertArgs& a) {
    const ImageFormat out_format = choose_format(a.output, a.format);
    check_output_path(a.output);
    const LoadedImage img = load_image(a.input, a.input_format);
    const auto missing = incomplete_sectors(img.card);
    if (!format_marks_unknown(out_format) && !missing.empty() && !a.partial) {
        throw CommandError(
            "partial_image",
            "sector(s) " + list(missing) + " of " + a.input + " were not read whole, so " +
                a.output + " was not written: the " + format_name(out_format) +
                " format cannot mark what was not read. Use --partial to write those sectors "
                "as zeros (restore leaves them alone), or convert to json, nfc or mct, which "
                "mark each block",
            kExitFailed);
    }
    write_file_atomically(a.output, write_image(img.card, out_format));
    if (g.json) {
        std::cout << nlohmann::json{{"input", a.input},
                                    {"input_format", format_name(img.format)},
                                    {"output", a.output},
                                    {"output_format", format_name(out_format)},
                                    {"zeroed_sectors", format_marks_unknown(out_format)
                                                           ? std::vector<int>{}
                                                           : missing}}
                         .dump(2)
                  << '\n';
        return;
    }
    std::cout << "Wrote " << a.output << " (" << format_name(out_format) << ") from " << a.input
              << " (" << format_name(img.format) << ")";
    if (!format_marks_unknown(out_format) && !missing.empty()) {
        std::cout << "; sectors " << list(missing) << " are zeros there (not read)";
    }
    std::cout << '\n';
}

bool run_image_diff(const Globals& g, const ImageDiffArgs& a) {
    const LoadedImage x = load_image(a.first, "");
    const LoadedImage y = load_image(a.second, "");
    nlohmann::json blocks = nlohmann::json::array();
    std::vector<std::pair<int, std::pair<std::string, std::string>>> rows;
    for (int b = 0; b < mifare::kBlocks; ++b) {
        const std::string l = block_text(x.card, b), r = block_text(y.card, b);
        if (l == r) continue;
        rows.push_back({b, {l, r}});
        blocks.push_back({{"block", b}, {"sector", mifare::sector_of(b)}, {"a", l}, {"b", r}});
    }
    const bool same_uid = x.card.uid == y.card.uid;
    if (g.json) {
        std::cout << nlohmann::json{{"a", a.first},         {"a_format", format_name(x.format)},
                                    {"b", a.second},        {"b_format", format_name(y.format)},
                                    {"same", rows.empty()}, {"differing_blocks", blocks}}
                         .dump(2)
                  << '\n';
        return rows.empty();
    }
    if (!same_uid) {
        std::cout << "UIDs differ: " << (x.card.uid ? x.card.uid->hex() : "unknown") << " and "
                  << (y.card.uid ? y.card.uid->hex() : "unknown") << '\n';
    }
    if (rows.empty()) {
        std::cout << a.first << " and " << a.second << " hold the same blocks\n";
        return true;
    }
    std::cout << rows.size() << (rows.size() == 1 ? " block differs" : " blocks differ")
              << " ('-': a digit the image does not know)\n";
    std::cout << "  A  " << a.first << " (" << format_name(x.format) << ")\n"
              << "  B  " << a.second << " (" << format_name(y.format) << ")\n"
              << "block  A" << std::string(33, ' ') << "B\n";
    for (const auto& [b, lr] : rows) {
        std::cout << std::right << std::setw(5) << b << "  " << lr.first << "  " << lr.second
                  << '\n';
    }
    return false;
}

}  // namespace tqrf::tool
