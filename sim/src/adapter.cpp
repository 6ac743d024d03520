#include "tqrf_sim/adapter.h"

#include <charconv>

namespace tqrf_sim {

namespace {

// A length of 0xF00F announced, then bytes no frame would hold: the pattern a line at a wrong
// rate often gives.
constexpr std::uint8_t kNoise[] = {0xF0, 0x0F, 0xE0, 0x80, 0xFE, 0x1E, 0x78, 0x00};

bool fail(std::string* error, std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
}

}  // namespace

std::optional<Adapter> parse_adapter(std::string_view text, std::string* error) {
    Adapter a;
    if (text == "direct") return a;
    if (text == "echo") {
        a.kind = AdapterKind::Echo;
        return a;
    }
    if (text == "noise") {
        a.kind = AdapterKind::Noise;
        return a;
    }
    if (text == "ftdi") {
        a.kind = AdapterKind::Ftdi;
        return a;
    }
    if (text.starts_with("ftdi:")) {
        const std::string_view ms = text.substr(5);
        unsigned v = 0;
        const auto [end, ec] = std::from_chars(ms.data(), ms.data() + ms.size(), v);
        if (ms.empty() || ec != std::errc{} || end != ms.data() + ms.size() || v < 1 || v > 255) {
            fail(error, "the FTDI latency timer is 1 to 255 ms, not '" + std::string(ms) + "'");
            return std::nullopt;
        }
        a.kind = AdapterKind::Ftdi;
        a.latency_timer = std::chrono::milliseconds(v);
        return a;
    }
    fail(error, "unknown adapter '" + std::string(text) + "' (direct, ftdi[:MS], echo or noise)");
    return std::nullopt;
}

std::string adapter_name(const Adapter& adapter) {
    switch (adapter.kind) {
        case AdapterKind::Direct:
            return "direct";
        case AdapterKind::Ftdi:
            return "ftdi:" + std::to_string(adapter.latency_timer.count());
        case AdapterKind::Echo:
            return "echo";
        case AdapterKind::Noise:
            return "noise";
    }
    return "?";
}

std::span<const std::uint8_t> noise_reply() {
    return kNoise;
}

std::vector<Delivery> ftdi_deliveries(std::span<const Clock::time_point> arrived,
                                      Clock::time_point epoch, std::chrono::milliseconds timer) {
    std::vector<Delivery> out;
    const Clock::duration period = timer;
    std::size_t held = 0;
    Clock::time_point tick{};  // the firing that sends what is held now
    for (const auto at : arrived) {
        if (held > 0 && at > tick) {
            // The timer fired before this byte came: what was held went out then.
            out.push_back({tick, held});
            held = 0;
        }
        if (held == 0) {
            // The first firing at or after the byte's arrival.
            const auto since = at > epoch ? at - epoch : Clock::duration::zero();
            const auto periods = (since + period - Clock::duration(1)) / period;
            tick = epoch + period * periods;
        }
        ++held;
        if (held == kFtdiPacketData) {
            out.push_back({at, held});
            held = 0;
        }
    }
    if (held > 0) out.push_back({tick, held});
    return out;
}

}  // namespace tqrf_sim
