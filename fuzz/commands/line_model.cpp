#include "fuzz/commands/line_model.h"

#include "tests/support/recording_serial.h"
#include "tq_RWD_DLL.h"
#include "tqrf_sim/frame.h"

namespace tqrf::fuzz::commands {

int LineModel::exchange(const Bytes* reply, std::uint32_t delay, std::uint32_t wait, Bytes* read) {
    read->clear();
    // The purge drops everything that has arrived by now.
    std::erase_if(in_flight, [&](const Arrival& a) { return a.at <= now; });
    if (!write_whole()) return ERR_SEND_FAILED;
    now += 1;
    if (!write_whole()) return ERR_SEND_FAILED;
    if (reply != nullptr) in_flight.push_back({now + delay, *reply});
    now += wait;
    for (auto it = in_flight.begin(); it != in_flight.end();) {
        if (it->at <= now) {
            read->insert(read->end(), it->bytes.begin(), it->bytes.end());
            it = in_flight.erase(it);
        } else {
            ++it;
        }
    }
    // One read of at most 105 bytes; the rest goes at the next purge.
    if (read->size() > kReplyReadMax) read->resize(kReplyReadMax);
    if (read->size() < 4) return ERR_REPLY_FRAME;
    if (read->size() != (std::size_t{(*read)[0]} << 8 | (*read)[1]) + 3) return ERR_REPLY_FRAME;
    if (tqrf_sim::xor_of(*read) != 0) return ERR_REPLY_CHECKSUM;
    return (*read)[read->size() - 2];
}

Bytes frame_of(const Bytes& payload) {
    return tqrf::testing::reply_frame(payload);
}

PlannedReply plan_reply(Input& in) {
    PlannedReply r;
    const std::uint8_t shape = in.byte();
    const std::uint8_t d = in.byte();
    // Mostly well within the wait; sometimes around it or far beyond.
    r.delay = d < 192 ? d % 48 : std::uint32_t{d - 192u} * 8;
    switch (shape % 5) {
        case 0:
            return r;  // the reader does not answer
        case 1:
            r.bytes = in.bytes(in.byte() % 120);  // noise
            break;
        case 2:
        case 3: {
            r.bytes = frame_of(in.bytes(in.byte() % 104));
            break;
        }
        default: {
            r.bytes = frame_of(in.bytes(in.byte() % 104));
            const std::uint8_t how = in.byte();
            const std::size_t at = in.byte() % r.bytes.size();
            switch (how % 3) {
                case 0:
                    r.bytes[at] ^= static_cast<std::uint8_t>(in.byte() | 1);
                    break;
                case 1:
                    r.bytes.resize(at);
                    break;
                default: {
                    const Bytes tail = in.bytes(in.byte() % 8 + 1);
                    r.bytes.insert(r.bytes.end(), tail.begin(), tail.end());
                    break;
                }
            }
            break;
        }
    }
    return r;
}

void FullLine::deliver() {
    for (auto it = in_flight.begin(); it != in_flight.end();) {
        if (it->at <= now) {
            input.insert(input.end(), it->bytes.begin(), it->bytes.end());
            it = in_flight.erase(it);
        } else {
            ++it;
        }
    }
}

void FullLine::purge() {
    deliver();
    input.clear();
}

bool FullLine::next_arrival(std::uint64_t* at) const {
    bool any = false;
    for (const Arrival& a : in_flight) {
        if (a.bytes.empty()) continue;  // silence wakes nobody
        if (!any || a.at < *at) *at = a.at;
        any = true;
    }
    return any;
}

bool FullLine::wait(std::uint64_t ms) {
    deliver();
    if (!input.empty()) return true;
    std::uint64_t until = now + ms;
    std::uint64_t next = 0;
    if (next_arrival(&next) && next < until) until = next;
    now = until;
    deliver();
    return !input.empty();
}

Bytes FullLine::take(std::size_t max) {
    deliver();
    const std::size_t n = input.size() < max ? input.size() : max;
    Bytes b(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
    return b;
}

void FullLine::settle(std::uint64_t deadline) {
    while (now < deadline) {
        const std::uint64_t w = deadline - now < 20 ? deadline - now : 20;
        if (!wait(w)) break;
        purge();
    }
    purge();
}

int FullLine::verdict(const Bytes& f) {
    if (f.size() < 4) return ERR_REPLY_FRAME;
    if (f.size() != (std::size_t{f[0]} << 8 | f[1]) + 3) return ERR_REPLY_FRAME;
    return tqrf_sim::xor_of(f) != 0 ? ERR_REPLY_CHECKSUM : 0;
}

int FullLine::exchange(const PlannedReply& reply, std::uint32_t wait_ms, bool complete,
                       std::uint32_t slack, Bytes* read, bool* leftover) {
    read->clear();
    *leftover = false;
    purge();
    if (!write_whole()) return ERR_SEND_FAILED;
    now += 1;
    if (!write_whole()) return ERR_SEND_FAILED;
    if (!reply.bytes.empty()) in_flight.push_back({now + reply.delay, reply.bytes});
    if (!complete) {
        now += wait_ms;
        *read = take(kReplyReadMax);
        const int v = verdict(*read);
        return v != 0 ? v : (*read)[read->size() - 2];
    }
    const std::uint64_t deadline = now + wait_ms + slack;
    std::size_t need = 2;
    for (;;) {
        deliver();
        if (!input.empty()) {
            const Bytes got = take(need - read->size());
            read->insert(read->end(), got.begin(), got.end());
            if (need == 2 && read->size() == 2) {
                const std::size_t size = (std::size_t{(*read)[0]} << 8 | (*read)[1]) + 3;
                if (size < 4 || size > kReplyReadMax) return ERR_REPLY_FRAME;
                need = size;
            }
            if (read->size() == need && need > 2) break;
            continue;
        }
        if (now >= deadline) return ERR_REPLY_FRAME;
        (void)wait(deadline - now);
    }
    const int v = verdict(*read);
    if (v != 0) return v;
    deliver();
    *leftover = !input.empty();
    return (*read)[read->size() - 2];
}

}  // namespace tqrf::fuzz::commands
