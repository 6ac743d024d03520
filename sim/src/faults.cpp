#include "tqrf_sim/faults.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "tqrf_sim/frame.h"

namespace tqrf_sim {

namespace {

struct KindName {
    FaultKind kind;
    const char* name;
};
constexpr KindName kKinds[] = {
    {FaultKind::NoReply, "noreply"},          {FaultKind::Delay, "delay"},
    {FaultKind::CorruptXor, "corrupt-xor"},   {FaultKind::Truncate, "truncate"},
    {FaultKind::NoiseBefore, "noise-before"}, {FaultKind::NoiseAfter, "noise-after"},
    {FaultKind::Oversize, "oversize"},        {FaultKind::ExtraData, "extra-data"},
    {FaultKind::ForceStatus, "status"},
};

constexpr std::uint8_t kNoise[] = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69, 0x0F, 0xF0};

std::vector<std::uint8_t> noise(std::uint32_t count) {
    std::vector<std::uint8_t> out(count == 0 ? 3 : count);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = kNoise[i % sizeof kNoise];
    return out;
}

std::optional<std::uint64_t> parse_number(std::string_view s) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return v;
}

bool fail(std::string* error, std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
}

}  // namespace

const char* fault_kind_name(FaultKind kind) {
    for (const auto& k : kKinds) {
        if (k.kind == kind) return k.name;
    }
    return "?";
}

WireReply apply_fault(std::span<const std::uint8_t> reply_payload, const std::optional<Fault>& f) {
    // An empty payload still answers with a status byte of 0.
    std::vector<std::uint8_t> payload(reply_payload.empty() ? 1 : reply_payload.size(), 0);
    std::copy(reply_payload.begin(), reply_payload.end(), payload.begin());
    WireReply out;
    if (!f) {
        out.bytes = encode_frame(payload);
        return out;
    }
    switch (f->kind) {
        case FaultKind::NoReply:
            return out;
        case FaultKind::Delay:
            out.extra_delay = std::chrono::milliseconds(f->arg);
            break;
        case FaultKind::ForceStatus:
            payload.back() = static_cast<std::uint8_t>(f->arg);
            break;
        case FaultKind::ExtraData:
            payload.insert(payload.end() - 1, f->arg == 0 ? 1 : f->arg, std::uint8_t{0xEE});
            break;
        case FaultKind::Oversize: {
            const std::size_t frame = f->arg <= kMaxReplyFrame ? 110 : f->arg;
            if (frame > payload.size() + 3) {
                payload.insert(payload.end() - 1, frame - payload.size() - 3, std::uint8_t{0});
            }
            break;
        }
        default:
            break;
    }
    out.bytes = encode_frame(payload);
    switch (f->kind) {
        case FaultKind::CorruptXor:
            out.bytes.back() ^= 0x5A;
            break;
        case FaultKind::Truncate: {
            std::size_t keep = f->arg == 0 ? out.bytes.size() - 1 : f->arg;
            if (keep >= out.bytes.size()) keep = out.bytes.size() - 1;
            out.bytes.resize(keep);
            break;
        }
        case FaultKind::NoiseBefore: {
            const auto n = noise(f->arg);
            out.bytes.insert(out.bytes.begin(), n.begin(), n.end());
            break;
        }
        case FaultKind::NoiseAfter: {
            const auto n = noise(f->arg);
            out.bytes.insert(out.bytes.end(), n.begin(), n.end());
            break;
        }
        default:
            break;
    }
    return out;
}

namespace {

// Takes "SEPARATOR NUMBER" off the end of `rest` (the first separator for '@', the last for the
// others). Gives false, with the message, when it is there but its number is not min..max;
// `out` is left as it was when there is none.
template <class T>
bool take_suffix(std::string_view& rest, char separator, std::uint64_t min, std::uint64_t max,
                 const char* what, std::string_view text, std::string* error, T& out) {
    const auto at = separator == '@' ? rest.find(separator) : rest.rfind(separator);
    if (at == std::string_view::npos) return true;
    const auto n = parse_number(rest.substr(at + 1));
    if (!n || *n < min || *n > max) {
        fail(error, std::string("bad ") + what + " in fault '" + std::string(text) + "'");
        return false;
    }
    out = static_cast<T>(*n);
    rest = rest.substr(0, at);
    return true;
}

// "2", "0.5", "12.25": a percentage above 0 and at most 100, up to four decimals, in parts per
// million.
std::optional<std::uint32_t> parse_percent(std::string_view s) {
    const auto dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : s.substr(dot + 1);
    if (whole.empty() || whole.size() > 3 || fraction.size() > 4 ||
        (dot != std::string_view::npos && fraction.empty())) {
        return std::nullopt;
    }
    std::uint32_t ppm = 0;
    for (char c : whole) {
        if (c < '0' || c > '9') return std::nullopt;
        ppm = ppm * 10 + static_cast<std::uint32_t>(c - '0');
    }
    std::uint32_t scale = 10'000;
    ppm *= scale;
    for (char c : fraction) {
        if (c < '0' || c > '9') return std::nullopt;
        scale /= 10;
        ppm += static_cast<std::uint32_t>(c - '0') * scale;
    }
    if (ppm == 0 || ppm > kShareAll) return std::nullopt;
    return ppm;
}

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

ShareDraws::ShareDraws(std::uint64_t seed, std::uint64_t rule) : state_(0) {
    // Each rule number starts a sequence of its own from the seed.
    std::uint64_t mix = seed ^ (rule * 0xD1B54A32D192ED03ull);
    state_ = splitmix64(mix);
}

std::string format_share(std::uint32_t ppm) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%u.%04u", static_cast<unsigned>(ppm / 10'000),
                  static_cast<unsigned>(ppm % 10'000));
    std::string out = buf;
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
    return out;
}

bool ShareDraws::fires(std::uint32_t ppm) {
    return splitmix64(state_) % kShareAll < ppm;
}

std::optional<FaultRule> parse_fault_rule(std::string_view text, std::string* error) {
    FaultRule rule;
    std::string_view rest = text;
    std::uint8_t code = 0;
    // A share stands in place of the count: the last suffix, after @CODE and +SKIP.
    if (const auto percent = rest.rfind('%'); percent != std::string_view::npos) {
        const auto share = parse_percent(rest.substr(percent + 1));
        if (!share) {
            const bool misplaced = rest.find_first_of("@+/", percent) != std::string_view::npos;
            fail(error, "bad share in fault '" + std::string(text) + "'" +
                            (misplaced ? " (%PERCENT comes last, after @CODE and +SKIP)"
                                       : " (a percentage above 0 and at most 100)"));
            return std::nullopt;
        }
        rule.share_ppm = *share;
        rest = rest.substr(0, percent);
        if (rest.find('/') != std::string_view::npos) {
            fail(error, "fault '" + std::string(text) + "' has both a count and a share");
            return std::nullopt;
        }
    }
    if (!take_suffix(rest, '/', 1, 1000000, "count", text, error, rule.count) ||
        !take_suffix(rest, '+', 0, 1000000, "number of requests to pass", text, error, rule.skip)) {
        return std::nullopt;
    }
    const auto size_before_code = rest.size();
    if (!take_suffix(rest, '@', 0, 0xFF, "command code", text, error, code)) return std::nullopt;
    if (rest.size() != size_before_code) rule.command = code;
    std::string_view name = rest;
    std::optional<std::uint64_t> arg;
    if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        name = rest.substr(0, colon);
        arg = parse_number(rest.substr(colon + 1));
        if (!arg || *arg > 100000) {
            fail(error, "bad argument in fault '" + std::string(text) + "'");
            return std::nullopt;
        }
    }
    bool known = false;
    for (const auto& k : kKinds) {
        if (name == k.name) {
            rule.fault.kind = k.kind;
            known = true;
        }
    }
    if (!known) {
        fail(error, "unknown fault '" + std::string(name) + "'");
        return std::nullopt;
    }
    if (arg) rule.fault.arg = static_cast<std::uint32_t>(*arg);
    if ((rule.fault.kind == FaultKind::Delay || rule.fault.kind == FaultKind::ForceStatus) &&
        !arg) {
        fail(error, "fault '" + std::string(name) + "' needs an argument");
        return std::nullopt;
    }
    if (rule.fault.kind == FaultKind::ForceStatus && rule.fault.arg > 0xFF) {
        fail(error, "status must be 0..255");
        return std::nullopt;
    }
    return rule;
}

std::string describe(const FaultRule& rule) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s:%u", fault_kind_name(rule.fault.kind),
                  static_cast<unsigned>(rule.fault.arg));
    std::string out = buf;
    if (rule.command) {
        std::snprintf(buf, sizeof buf, " on command 0x%02X", static_cast<unsigned>(*rule.command));
        out += buf;
    } else {
        out += " on any command";
    }
    if (rule.skip > 0) out += ", after " + std::to_string(rule.skip) + " request(s) served";
    if (rule.share_ppm > 0) {
        out += ", " + format_share(rule.share_ppm) + "% of them at random";
    }
    if (rule.count >= 0) {
        out += ", next " + std::to_string(rule.count) + " request(s)";
    } else {
        out += ", until cleared";
    }
    return out;
}

}  // namespace tqrf_sim
