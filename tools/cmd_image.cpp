// dump and restore: whole-card images.
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

    int opened = 0;
    for (const auto& sd : d.sectors) opened += sd.opened() ? 1 : 0;
    if (opened == 0) {
        out.dump(report);
        throw CommandError("no_key",
                           "no key opens any sector of this card; give its keys with --key or "
                           "--keys");
    }
    for (const auto& sd : d.sectors) {
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
        const bool marks = report.format == ImageFormat::Json;
        if (!marks && !report.incomplete.empty() && !a.partial) {
            out.dump(report);
            throw CommandError(
                "partial_dump",
                "sector(s) " + list(report.incomplete) + " could not be read whole, so " +
                    report.file + " was not written: a ." + format_name(report.format) +
                    " image cannot mark what the dump did not read. Give their keys with "
                    "--keys, or use --partial to write the image with those sectors as zeros "
                    "(restore leaves them alone), or write a .json dump, which marks each block");
        }
        write_file_atomically(report.file, image_file_bytes(d, report.format));
        report.written = true;
        if (!marks && !report.incomplete.empty()) {
            warn(report.file + ": sector(s) " + list(report.incomplete) +
                 " are zeros in the image (not read); restore leaves them alone");
        }
    }
    out.dump(report);
}

void run_restore(const Globals& g, Printer& out, const RestoreArgs& a) {
    const ImageFormat format = choose_format(a.file, a.format);
    const std::string bytes = read_input_file(a.file, "image", kImageFileMax);
    std::string error;
    const auto image = parse_image_file(bytes, format, error);
    if (!image) throw usage_error(a.file + " " + error);
    const auto keys = a.keys.candidates();

    auto conn = Connection::open(g, false);
    CardSession s(conn->first().reader, keys, a.keys.key_b);
    const CardInfo card = s.card();
    const RestorePlan plan = plan_restore(*image, card.uid, {a.trailers, a.force});
    for (int sector : plan.absent_sectors) {
        warn("sector " + std::to_string(sector) + " is not in " + a.file +
             " (the dump did not read it); left as it is");
    }

    RestoreReport report;
    report.file = a.file;
    report.plan = &plan;
    report.dry_run = a.dry_run;
    report.trailers = a.trailers;
    if (a.dry_run) {
        out.restore(report);
        return;
    }
    {
        Progress progress("restore");
        report.outcomes = s.restore(image->image, plan, [&](int sector) { progress(sector); });
    }
    out.restore(report);
    std::size_t failed = 0;
    for (const auto& o : report.outcomes) {
        if (o.written) continue;
        ++failed;
        warn("block " + std::to_string(o.block) + ": " + o.error);
    }
    if (failed != 0) {
        throw CommandError("write_refused",
                           std::to_string(failed) + " block(s) could not be written");
    }
}

}  // namespace tqrf::tool
