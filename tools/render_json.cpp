// The JSON printer: one document on stdout per run (watch: one object per line). Byte strings
// are upper-case hex text; numbers are JSON numbers.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "render.h"

namespace tqrf::tool {

using nlohmann::json;

namespace {

json card_json(const CardInfo& c) {
    return {{"card_type", c.type.hex()},
            {"uid", c.uid.hex()},
            {"size_byte", hex_byte(c.size)},
            {"kind", card_kind(c)}};
}

json error_json(const CommandError& e) {
    return {{"error", e.kind()},
            {"code", e.code() ? json(*e.code()) : json(nullptr)},
            {"message", e.what()}};
}

class JsonPrinter final : public Printer {
  public:
    void scan(const std::vector<ScanLine>& lines, bool several) override {
        json all = json::array();
        for (const auto& l : lines) {
            json j = l.card ? card_json(*l.card) : json{{"error", l.problem}};
            j["port"] = l.port;
            all.push_back(j);
        }
        doc_ = several ? all : all.at(0);
    }

    void info(const InfoReport& r) override {
        doc_ = {{"hardware_version", r.version},
                {"reader_id", r.id},
                {"link_test", r.link_error ? *r.link_error : "ok"}};
    }

    void read(const BlockReport& r) override {
        json j = {{"block", r.block},
                  {"data", r.data.hex()},
                  {"key_type", r.key == KeyType::A ? "A" : "B"}};
        if (const auto v = mifare::ValueBlock::decode(r.data); v && !mifare::is_trailer(r.block)) {
            j["value"] = v->value;
            j["value_address"] = v->address;
        }
        doc_ = j;
    }

    void write(const BlockReport& r) override {
        doc_ = {{"block", r.block},
                {"written", r.data.hex()},
                {"key_type", r.key == KeyType::A ? "A" : "B"}};
    }

    void value(const ValueReport& r) override {
        doc_ = {{"operation", r.operation}, {"block", r.block}, {"value", r.value}};
    }

    void dump(const DumpReport& r) override {
        json j = dump_document(*r.dump);
        // The sectors the reader failed on, and why (a key or access bits that refuse a
        // sector are told by the sectors themselves).
        json unread = json::array();
        for (const auto& s : r.dump->sectors) {
            if (!s.failure.empty()) unread.push_back({{"sector", s.sector}, {"reason", s.failure}});
        }
        j["failed_sectors"] = unread;
        if (!r.file.empty()) {
            j["file"] = r.file;
            j["file_format"] = format_name(r.format);
            j["file_written"] = r.written;
        }
        doc_ = j;
    }

    void restore(const RestoreReport& r) override {
        const RestorePlan& p = *r.plan;
        json failed = json::array();
        json written = json::array();
        json not_written = json::array();
        for (const auto& o : r.outcomes) {
            if (o.written) {
                written.push_back(o.block);
            } else {
                not_written.push_back(o.block);
                if (o.attempted) failed.push_back({{"block", o.block}, {"error", o.error}});
            }
        }
        json refused = json::array();
        for (const auto& [block, why] : p.refused) {
            refused.push_back({{"block", block}, {"reason", why}});
        }
        json kept = json::array();
        for (const auto& [block, why] : p.kept_trailers) {
            kept.push_back({{"block", block}, {"reason", why}});
        }
        json j = {{"file", r.file},
                  {"dry_run", r.dry_run},
                  {"trailers", r.trailers},
                  {"planned", p.writes},
                  {"absent_sectors", p.absent_sectors},
                  {"unread_blocks", p.unread_blocks},
                  {"kept_trailers", kept},
                  {"refused", refused},
                  {"skip_refused", r.skip_refused},
                  {"unchanged", p.unchanged},
                  {"verify", r.verify}};
        if (!r.dry_run && (p.refused.empty() || r.skip_refused)) {
            j["written"] = written;
            j["failed"] = failed;
            j["not_written"] = not_written;
            json verified = json::array();
            for (const auto& o : r.outcomes) {
                if (o.verified) verified.push_back(o.block);
            }
            j["verified"] = verified;
        }
        doc_ = j;
    }

    void beep(const BeepReport& r) override { doc_ = {{"beep_ms", r.ms}}; }

    void clock(const ClockReport& r) override {
        doc_ = {{"raw", r.bytes.hex()},
                {"layout", r.layout_known ? "simulator" : "unknown"},
                {"clock", r.time ? json(format_datetime(*r.time)) : json(nullptr)}};
    }

    void clock_set(const ClockSetReport& r) override {
        doc_ = {{"raw", hex_of(r.bytes.data(), r.bytes.size())},
                {"clock", r.time ? json(format_datetime(*r.time)) : json(nullptr)}};
    }

    void e2(const E2Report& r) override {
        doc_ = {{"address", r.address},
                {r.written ? "written" : "data", hex_of(r.bytes.data(), r.bytes.size())}};
    }

    void watch(const WatchEvent& e) override {
        json j = card_json(e.card);
        j["event"] = e.arrived ? "arrived" : "left";
        j["time"] = e.time;
        j["port"] = e.port;
        if (e.block) {
            j["block"] = *e.block;
            j["data"] = e.data ? json(e.data->hex()) : json(nullptr);
            if (!e.data) j["read_error"] = e.read_error;
        }
        std::cout << j.dump() << std::endl;
    }

    void reader_event(const ReaderEvent& e) override {
        json j = {
            {"event", e.back ? "reader-back" : "reader-lost"}, {"time", e.time}, {"port", e.port}};
        if (!e.back) {
            j["error"] = e.kind;
            j["message"] = e.message;
        }
        std::cout << j.dump() << std::endl;
    }

    void stream() override { stream_ = true; }

    void finish() override {
        if (!doc_.is_null()) std::cout << doc_.dump(2) << '\n';
        std::cout << std::flush;
    }

    void fail(const CommandError& e) override {
        json j = error_json(e);
        if (!doc_.is_null()) j["result"] = doc_;
        if (stream_) {
            // A record of the stream like the others: what happened, and when.
            j["event"] = "error";
            j["time"] = local_time_text();
        }
        std::cout << (stream_ ? j.dump() : j.dump(2)) << '\n' << std::flush;
    }

  private:
    json doc_;
    bool stream_ = false;
};

}  // namespace

std::string json_error_text(const CommandError& e) {
    // One line: a run that streams records (watch) may fail before it starts.
    return error_json(e).dump() + "\n";
}

std::unique_ptr<Printer> make_json_printer() {
    return std::make_unique<JsonPrinter>();
}

}  // namespace tqrf::tool
