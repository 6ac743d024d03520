// tqrf-gateway's requests (gateway/request.cpp) from any bytes: the first byte picks the reader's
// configuration and the time between the requests of a flood, the rest is the payload on its
// cmd topic. Nothing may crash; a request that is refused gets {"ok": false, "error": TEXT}
// with a text, and nothing is run for it; a request that is run has every field in range and
// only what its reader allows; the reply always prints as JSON. The request rate limit never
// takes more than its burst and its rate allow.
#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "request.h"

namespace {

using json = nlohmann::json;
using namespace tqrf::gateway;

const std::map<std::string, KeySet>& key_sets() {
    static const std::map<std::string, KeySet> k{
        {"office", {tqrf::Key::from_hex("A0A1A2A3A4A5"), tqrf::Key::from_hex("B0B1B2B3B4B5")}},
        {"half", {tqrf::Key::from_hex("C0C1C2C3C4C5"), std::nullopt}},
        {"closed", {tqrf::Key::from_hex("D0D1D2D3D4D5"), std::nullopt}}};
    return k;
}

// 0: the quick start's reader (default commands, no key set); 1: every command, two key sets.
RequestPolicy policy(int which) {
    RequestPolicy p;
    p.reader = "r" + std::to_string(which);
    p.keys = &key_sets();
    if (which == 0) {
        p.allow = default_commands();
    } else {
        p.allow = known_commands();
        p.key_sets = {"office", "half"};
    }
    return p;
}

void check_run(const Request& r, const RequestPolicy& p) {
    FUZZ_CHECK(p.allow.count(r.cmd) == 1);
    FUZZ_CHECK(r.ms >= 10 && r.ms <= 2550);
    FUZZ_CHECK(r.amount <= 2147483647u);
    if (r.cmd == "read") {
        FUZZ_CHECK(!r.blocks.empty() && r.blocks.size() <= kMaxBlocksPerRequest);
        for (int b : r.blocks) FUZZ_CHECK(b >= 0 && b < 64);
    } else if (r.cmd == "dump") {
        FUZZ_CHECK(!r.sectors.empty() && r.sectors.size() <= kMaxSectorsPerRequest);
        for (int s : r.sectors) FUZZ_CHECK(s >= 0 && s < 16);
    } else if (r.cmd != "info" && r.cmd != "beep") {
        FUZZ_CHECK(r.blocks.size() == 1);
        const int b = r.blocks[0];
        FUZZ_CHECK(b > 0 && b < 64 && !tqrf::mifare::is_trailer(b));
    }
    // The key is the factory key or one of a key set open to the reader.
    if (r.key != tqrf::kDefaultKey || r.key_type != tqrf::KeyType::A) {
        bool found = false;
        for (const auto& name : p.key_sets) {
            const KeySet& ks = key_sets().at(name);
            const auto& k = r.key_type == tqrf::KeyType::B ? ks.b : ks.a;
            found = found || (k && *k == r.key);
        }
        FUZZ_CHECK(found);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 2 * kMaxRequestBytes) return 0;
    const int which = data[0] & 1;
    const RequestPolicy p = policy(which);
    const std::string_view payload(reinterpret_cast<const char*>(data + 1), size - 1);

    int runs = 0;
    std::string reply_to;
    const json reply = answer_request(
        payload, p,
        [&](const Request& r) {
            ++runs;
            check_run(r, p);
            return json{{"ok", true}};
        },
        &reply_to);
    const ParsedRequest parsed = parse_request(payload, p);
    FUZZ_CHECK(reply.is_object() && reply.contains("ok") && reply["ok"].is_boolean());
    FUZZ_CHECK(reply["reader"] == p.reader);
    if (reply["ok"] == false) {
        FUZZ_CHECK(runs == 0);
        FUZZ_CHECK(!parsed.request);
        FUZZ_CHECK(reply.contains("error") && reply["error"].is_string());
        FUZZ_CHECK(!reply["error"].get<std::string>().empty());
        FUZZ_CHECK(reply["error"] == parsed.error);
    } else {
        FUZZ_CHECK(runs == 1 && parsed.request && parsed.error.empty());
    }
    if (payload.size() > kMaxRequestBytes) FUZZ_CHECK(!parsed.request && !parsed.id);
    FUZZ_CHECK(reply_to == parsed.reply_to);
    FUZZ_CHECK(reply_to.find_first_of("+#") == std::string::npos);
    (void)reply.dump();  // throws on text that is not UTF-8

    // A flood: one request per byte, the byte's value in milliseconds after the one before.
    RequestRate rate(10, 20);
    double now = 1000, start = now;
    int taken = 0;
    for (std::size_t i = 1; i < size && i < 512; ++i) {
        now += data[i] / 1000.0;
        if (rate.take(now)) ++taken;
        FUZZ_CHECK(taken <= 20 + static_cast<int>((now - start) * 10) + 1);
    }
    return 0;
}
