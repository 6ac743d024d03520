// The parts of the command path that read the command table: payload, argument checks, wait
// and outputs.
#include "link/command.h"

namespace tqrf {

namespace {

// The range the checked policy allows for a numeric field; the legacy policy cuts without it.
struct Range {
    std::int32_t low;
    std::int32_t high;
};

constexpr Range range_of(Param p) {
    switch (p) {
        case Param::BYTE:
            return {0, 0xFF};
        case Param::BLOCK:
        case Param::VALUE_BLOCK:
            return {0, 63};
        case Param::SECTOR:
            return {0, 15};
        case Param::KEY_TYPE:
        case Param::REQUEST_MODE:
            return {0, 1};
        case Param::E2_ADDRESS:
            return {0, E2_WRITE_ADDRESS_MASK};
        case Param::DURATION:
            return {0, BEEP_DURATION_MAX};
        default:
            return {INT32_MIN, INT32_MAX};
    }
}

constexpr bool takes_number(Param p) {
    return p != Param::NONE && p != Param::ZERO && p != Param::FIXED && p != Param::INPUT;
}

constexpr bool sized(const CommandRow& row) {
    return row.copy == Copy::DATA && row.fields[0].bytes == REPLY_DATA_MAX;
}

std::uint8_t field_byte(Param p, std::int32_t number) {
    const std::uint8_t b = low_byte(number);
    switch (p) {
        case Param::FIXED:
            return FIXED_PARAMETER;
        case Param::BLOCK:
            return b & BLOCK_MASK;
        case Param::SECTOR:
            return b & SECTOR_MASK;
        case Param::KEY_TYPE:
            return b == 0 ? KEY_TYPE_A : KEY_TYPE_B;
        case Param::REQUEST_MODE:
            return request_code(number);
        case Param::E2_ADDRESS:
            return b & E2_WRITE_ADDRESS_MASK;
        case Param::DURATION:
            return b > BEEP_DURATION_MAX ? BEEP_DURATION_MAX : b;
        case Param::BYTE:
        case Param::VALUE_BLOCK:
            return b;
        default:
            return 0x00;
    }
}

// Least significant byte first; a fifth and later byte is added in again at the position of
// byte k mod 4, with carry, modulo 2^32.
std::uint32_t assemble_id(const Reply& r) {
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k < r.data_count(); ++k) {
        value += std::uint32_t{r.data()[k]} << (8 * (k % 4));
    }
    return value;
}

}  // namespace

bool outputs_present(const CommandRow& row, const Call& call, Policy policy) {
    for (Param p : row.params) {
        if (p == Param::INPUT && call.in == nullptr) return false;
    }
    switch (row.copy) {
        case Copy::NONE:
            return true;
        case Copy::POSITIONS:
            return call.out[0] != nullptr;
        case Copy::DATA:
            if (policy == Policy::CHECKED && sized(row)) {
                return call.length != nullptr && (call.out[0] != nullptr || call.capacity == 0);
            }
            return call.out[0] != nullptr;
        case Copy::VALUE:
        case Copy::ID:
            return call.word != nullptr;
        case Copy::FIELDS:
            return call.out[0] != nullptr && call.out[1] != nullptr && call.out[2] != nullptr;
    }
    return false;
}

bool numbers_in_range(const CommandRow& row, const Call& call) {
    std::uint32_t next = 0;
    for (Param p : row.params) {
        if (!takes_number(p)) continue;
        const Range r = range_of(p);
        if (!in_range(call.args[next++], r.low, r.high)) return false;
    }
    return true;
}

std::uint32_t build_payload(const CommandRow& row, const Call& call, std::uint8_t* payload) {
    payload[0] = COMMAND_LEAD;
    payload[1] = row.code;
    std::uint32_t at = 2;
    std::uint32_t next = 0;
    for (Param p : row.params) {
        if (p == Param::NONE) continue;
        const std::int32_t number = takes_number(p) ? call.args[next++] : 0;
        if (p == Param::INPUT) {
            for (std::uint32_t i = 0; i < row.input_bytes; ++i) payload[at++] = call.in[i];
        } else if (p == Param::VALUE) {
            put_value(payload + at, static_cast<std::uint32_t>(number));
            at += VALUE_BYTES;
        } else {
            payload[at++] = field_byte(p, number);
        }
    }
    if (row.wait == Wait::BEEPER && payload[2] == 0) {
        return payload[3] * BEEP_UNIT_MS + REPLY_WAIT_MS;
    }
    return REPLY_WAIT_MS;
}

int copy_outputs(const CommandRow& row, const Call& call, Policy policy, const Reply& reply) {
    const Field& first = row.fields[0];
    switch (row.copy) {
        case Copy::NONE:
            break;
        case Copy::POSITIONS:
            reply.copy_positions(REPLY_DATA_OFFSET + first.at, call.out[0], first.bytes);
            break;
        case Copy::DATA:
            if (policy == Policy::CHECKED && sized(row)) {
                *call.length = reply.data_count();
                if (reply.data_count() > call.capacity) return TQRF_ERR_BUFFER_TOO_SMALL;
                reply.copy_data(call.out[0], call.capacity);
            } else {
                const std::uint32_t n = reply.copy_data(call.out[0], first.bytes);
                if (call.length != nullptr) *call.length = n;
            }
            break;
        case Copy::VALUE:
            if (reply.data_count() >= VALUE_BYTES) *call.word = get_value(reply.data());
            break;
        case Copy::ID:
            *call.word = assemble_id(reply);
            break;
        case Copy::FIELDS:
            for (std::uint32_t i = 0; i < row.fields.size(); ++i) {
                const Field& f = row.fields[i];
                reply.copy_positions(REPLY_DATA_OFFSET + f.at, call.out[i], f.bytes);
            }
            break;
    }
    return 0;
}

int exchange_once(tqrf_reader& reader, Op op, const Call& call) {
    return detail::exchange(reader, row(op), call, detail::RowCopy{});
}

}  // namespace tqrf
