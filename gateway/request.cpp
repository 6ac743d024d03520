#include "request.h"

#include <algorithm>

namespace tqrf::gateway {

namespace {

using json = nlohmann::json;

// A topic a reply may be published on: not empty, no wildcard, no NUL.
bool is_topic(const std::string& t) {
    return !t.empty() && t.size() <= 1024 &&
           t.find_first_of(std::string("+#\0", 3)) == std::string::npos;
}

// A whole number from lo to hi, or nothing.
std::optional<long long> whole(const json& v, long long lo, long long hi) {
    long long n = 0;
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(hi)) return std::nullopt;
        n = static_cast<long long>(u);
    } else if (v.is_number_integer()) {
        n = v.get<long long>();
    } else {
        return std::nullopt;
    }
    if (n < lo || n > hi) return std::nullopt;
    return n;
}

// The checks of parse_request, on a JSON object: an error text, or "" with `r` filled in.
std::string check(const json& req, const RequestPolicy& p, Request& r) {
    const auto field = [&](const char* name) -> const json* {
        const auto it = req.find(name);
        return it == req.end() ? nullptr : &*it;
    };
    const json* cmd = field("cmd");
    if (cmd == nullptr || !cmd->is_string()) return "the request names no cmd";
    r.cmd = cmd->get<std::string>();
    if (known_commands().count(r.cmd) == 0) return "no command \"" + r.cmd + "\"";
    if (p.allow.count(r.cmd) == 0) {
        return "the command \"" + r.cmd + "\" is not allowed on reader " + p.reader;
    }
    if (r.cmd == "info") return "";
    if (r.cmd == "beep") {
        if (const json* ms = field("ms")) {
            const auto v = whole(*ms, 10, 2550);
            if (!v) return "ms must be from 10 to 2550";
            r.ms = static_cast<int>(*v);
        }
        return "";
    }
    // The card commands: the key from a key set of the configuration (the factory key A when
    // the request names none), never from the request.
    bool want_b = false;
    if (const json* k = field("key")) {
        if (!k->is_string() || (*k != "a" && *k != "b")) return "key must be \"a\" or \"b\"";
        want_b = *k == "b";
    }
    if (const json* ks = field("keys")) {
        if (!ks->is_string()) return "keys must name a key set";
        const std::string set = ks->get<std::string>();
        const KeySet* found = nullptr;
        if (std::find(p.key_sets.begin(), p.key_sets.end(), set) != p.key_sets.end() &&
            p.keys != nullptr) {
            if (const auto it = p.keys->find(set); it != p.keys->end()) found = &it->second;
        }
        if (found == nullptr)
            return "the key set \"" + set + "\" is not open to reader " + p.reader;
        const auto& k = want_b ? found->b : found->a;
        if (!k) return "the key set \"" + set + "\" has no key " + (want_b ? "b" : "a");
        r.key = *k;
        r.key_type = want_b ? KeyType::B : KeyType::A;
    }
    const auto block_of = [](const json& v) -> int {
        const auto b = whole(v, 0, mifare::kBlocks - 1);
        return b ? static_cast<int>(*b) : -1;
    };
    if (r.cmd == "read") {
        if (const json* bs = field("blocks")) {
            if (!bs->is_array() || bs->empty()) return "blocks are numbered 0 to 63";
            if (bs->size() > kMaxBlocksPerRequest) {
                return "at most " + std::to_string(kMaxBlocksPerRequest) + " blocks in one request";
            }
            for (const auto& v : *bs) r.blocks.push_back(block_of(v));
        } else {
            const json* b = field("block");
            r.blocks.push_back(b != nullptr ? block_of(*b) : -1);
        }
        if (std::count(r.blocks.begin(), r.blocks.end(), -1) > 0) {
            return "blocks are numbered 0 to 63";
        }
        return "";
    }
    if (r.cmd == "dump") {
        if (const json* ss = field("sectors")) {
            if (!ss->is_array() || ss->empty()) return "sectors are numbered 0 to 15";
            if (ss->size() > kMaxSectorsPerRequest) {
                return "at most " + std::to_string(kMaxSectorsPerRequest) +
                       " sectors in one request";
            }
            for (const auto& v : *ss) {
                const auto s = whole(v, 0, mifare::kSectors - 1);
                if (!s) return "sectors are numbered 0 to 15";
                r.sectors.push_back(static_cast<int>(*s));
            }
        } else {
            for (int s = 0; s < mifare::kSectors; ++s) r.sectors.push_back(s);
        }
        return "";
    }
    // read_value, write, credit, debit: one data block.
    const json* bj = field("block");
    const int b = bj != nullptr ? block_of(*bj) : -1;
    if (b < 0) return "blocks are numbered 0 to 63";
    if (b == 0 || mifare::is_trailer(b)) {
        return "block " + std::to_string(b) +
               " is the manufacturer block or a sector trailer, which the gateway does not write";
    }
    r.blocks.push_back(b);
    if (r.cmd == "write") {
        const json* d = field("data");
        const auto data =
            d != nullptr && d->is_string() ? Block::from_hex(d->get<std::string>()) : std::nullopt;
        if (!data) return "data must be 32 hex digits";
        r.data = *data;
    } else if (r.cmd == "credit" || r.cmd == "debit") {
        const json* a = field("amount");
        const auto amount = a != nullptr ? whole(*a, 0, 2147483647) : std::nullopt;
        if (!amount) return "amount must be 0 to 2147483647";
        r.amount = static_cast<std::uint32_t>(*amount);
    }
    return "";
}

}  // namespace

ParsedRequest parse_request(std::string_view payload, const RequestPolicy& policy) {
    ParsedRequest out;
    if (payload.size() > kMaxRequestBytes) {
        out.error = "the request is larger than " + std::to_string(kMaxRequestBytes) + " bytes";
        return out;
    }
    const json req = json::parse(payload, nullptr, false);
    if (!req.is_object()) {
        out.error = "the request is no JSON object";
        return out;
    }
    if (const auto it = req.find("id"); it != req.end()) out.id = *it;
    if (const auto it = req.find("reply_to"); it != req.end() && it->is_string()) {
        if (is_topic(it->get<std::string>())) out.reply_to = it->get<std::string>();
    }
    Request r;
    out.error = check(req, policy, r);
    if (out.error.empty()) out.request = std::move(r);
    return out;
}

json answer_request(std::string_view payload, const RequestPolicy& policy,
                    const std::function<json(const Request&)>& run, std::string* reply_to) {
    ParsedRequest p = parse_request(payload, policy);
    json reply = p.request ? run(*p.request) : json{{"ok", false}, {"error", p.error}};
    if (p.id) reply["id"] = *p.id;
    reply["reader"] = policy.reader;
    if (reply_to != nullptr && reply_to->empty()) *reply_to = p.reply_to;
    return reply;
}

bool RequestRate::take(double now) {
    if (last_ >= 0 && now > last_) tokens_ = std::min(burst_, tokens_ + (now - last_) * rate_);
    if (now > last_) last_ = now;
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
}

}  // namespace tqrf::gateway
