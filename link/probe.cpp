// Probing a port: open it as a reader handle, send one link test, say what came back.
#include <cstring>

#include "link/answer.h"
#include "link/reader.h"
#include "link/wire.h"
#include "os/ports.h"
#include "os/serial.h"
#include "os/sized.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

constexpr std::uint32_t PROBE_DEFAULT_DEADLINE_MS = 100;
constexpr std::uint32_t PROBE_MAX_DEADLINE_MS = REPLY_WAIT_MS + REPLY_SLACK_MAX_MS;
constexpr std::uint32_t VERSION_MAX = REPLY_DATA_MAX;

// After a reply that is no frame, the rest of what the line sends back is collected until it
// has been quiet this long (bounded by the probe's deadline), so that the result shows it all.
constexpr std::uint32_t COLLECT_QUIET_US = SETTLE_QUIET_MS * 1000;

std::uint32_t reply_deadline_ms(std::uint32_t asked) {
    if (asked == 0) return PROBE_DEFAULT_DEADLINE_MS;
    if (asked < REPLY_WAIT_MS) return REPLY_WAIT_MS;
    return asked > PROBE_MAX_DEADLINE_MS ? PROBE_MAX_DEADLINE_MS : asked;
}

// Takes what the line still sends, into the free part of out->bytes, until it is quiet or the
// deadline passes.
void collect_rest(tqrf_reader& reader, tqrf_probe_result* out, std::uint64_t deadline_us) {
    while (out->received < sizeof out->bytes) {
        const std::uint64_t now = serial::now_us();
        if (now >= deadline_us) break;
        const std::uint64_t left = deadline_us - now;
        const auto wait_us =
            static_cast<std::uint32_t>(left < COLLECT_QUIET_US ? left : COLLECT_QUIET_US);
        const std::uint32_t room = static_cast<std::uint32_t>(sizeof out->bytes) - out->received;
        const std::uint32_t taken =
            serial::read_bytes(reader.device, out->bytes + out->received, 1, room, now + wait_us);
        if (taken == 0) break;
        out->received += taken;
    }
}

}  // namespace

TQRF_API(int32_t) tqrf_probe(const char* port, uint32_t deadline_ms, tqrf_probe_result* out) {
    if (port == nullptr || *port == '\0' || out == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    std::memset(out, 0, sizeof *out);

    // A program that has the port open without locking it would still let it open here: it
    // is looked for first, and its port is left alone.
    if (ports::held_by_another_process(port)) {
        out->outcome = TQRF_PROBE_BUSY;
        return 0;
    }
    tqrf_reader* reader = nullptr;
    const int opened = tqrf_reader_open(port, &reader);
    if (opened != 0) {
        out->os_error = tqrf_reader_os_error(nullptr);
        if (opened == TQRF_ERR_PORT_OPEN_FAILED) {
            out->outcome = ports::open_failure_outcome(out->os_error);
        } else if (opened == TQRF_ERR_PARITY_UNSUPPORTED) {
            out->outcome = TQRF_PROBE_NO_MARK_SPACE;
        } else {
            out->outcome = TQRF_PROBE_OPEN_FAILED;
        }
        return 0;
    }

    const std::uint32_t deadline = reply_deadline_ms(deadline_ms);
    (void)tqrf_reader_set_option(reader, TQRF_OPTION_REPLY_SLACK_MS,
                                 static_cast<std::int32_t>(deadline - REPLY_WAIT_MS));
    const std::uint64_t started = serial::now_us();
    (void)tqrf_reader_link_test(reader);
    const std::uint64_t answered = serial::now_us();

    std::int32_t answer;
    {
        ReaderLock lock(*reader);
        out->received = reader->heard_count;
        std::memcpy(out->bytes, reader->heard, reader->heard_count);
        answer = reader->answer;
        if (answer == TQRF_ANSWER_ECHO || answer == TQRF_ANSWER_NOISE) {
            collect_rest(*reader, out, started + std::uint64_t{deadline} * 1000);
            answer =
                classify_answer(reader->sent, reader->sent_count, out->bytes, out->received, false);
        }
    }

    switch (answer) {
        case TQRF_ANSWER_FRAME: {
            out->outcome = TQRF_PROBE_READER;
            const std::uint64_t took = answered - started;
            out->round_trip_us = took > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(took);
            // It answered as this reader: now its version and identity may be asked.
            std::uint32_t length = 0;
            if (tqrf_reader_hardware_version(reader, out->version, VERSION_MAX, &length) == 0) {
                out->version_length = length;
            }
            std::uint32_t id = 0;
            if (tqrf_reader_id(reader, &id) == 0) out->reader_id = id;
            break;
        }
        case TQRF_ANSWER_ECHO:
            out->outcome = TQRF_PROBE_ECHO;
            break;
        case TQRF_ANSWER_NOISE:
            out->outcome = TQRF_PROBE_NOISE;
            break;
        case TQRF_ANSWER_SILENCE:
            out->outcome = TQRF_PROBE_SILENT;
            break;
        default:
            // Nothing went out: the request could not be written, or the device went away.
            out->outcome = TQRF_PROBE_OPEN_FAILED;
            out->os_error = tqrf_reader_os_error(reader);
            break;
    }
    (void)tqrf_reader_close(reader);
    return 0;
}

namespace {

#define TQRF_PROBE_END(field) TQRF_SIZE_THROUGH(tqrf_probe_result2, field)
constexpr std::size_t PROBE_RESULT2_ENDS[] = {
    TQRF_PROBE_END(outcome),  TQRF_PROBE_END(os_error),  TQRF_PROBE_END(round_trip_us),
    TQRF_PROBE_END(received), TQRF_PROBE_END(bytes),     TQRF_PROBE_END(version_length),
    TQRF_PROBE_END(version),  TQRF_PROBE_END(reader_id),
};
#undef TQRF_PROBE_END

}  // namespace

TQRF_API(int32_t) tqrf_probe2(const char* port, uint32_t deadline_ms, tqrf_probe_result2* out) {
    if (port == nullptr || *port == '\0' || out == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    const std::uint32_t size = out->size;
    if (size < TQRF_PROBE_RESULT2_MIN_SIZE) return TQRF_ERR_BAD_ARGUMENT;
    tqrf_probe_result found;
    if (const std::int32_t r = tqrf_probe(port, deadline_ms, &found); r != 0) return r;
    tqrf_probe_result2 full{};
    full.size = size;
    full.outcome = found.outcome;
    full.os_error = found.os_error;
    full.round_trip_us = found.round_trip_us;
    full.received = found.received;
    static_assert(sizeof full.bytes == sizeof found.bytes);
    std::memcpy(full.bytes, found.bytes, sizeof full.bytes);
    full.version_length = found.version_length;
    static_assert(sizeof full.version == sizeof found.version);
    std::memcpy(full.version, found.version, sizeof full.version);
    full.reader_id = found.reader_id;
    sized::copy_fitting(out, size, full, PROBE_RESULT2_ENDS);
    return 0;
}

TQRF_API(int32_t) tqrf_reader_last_answer(tqrf_reader* r) {
    if (r == nullptr) return TQRF_ERR_BAD_ARGUMENT;
    ReaderLock lock(*r);
    return r->answer;
}
