// The card functions in hexadecimal text form.
#include <cstdint>

#include "link/command.h"
#include "link/port.h"
#include "link/wire.h"
#include "text/hex.h"
#include "tq_RWD_DLL.h"

using namespace tqrf;

namespace {

// Marks a failed text field: one '*' per byte of the field, from its first character. The rest
// of the field keeps what it held.
void star_fill(char* text, std::uint32_t field_bytes) {
    for (std::uint32_t i = 0; i < field_bytes; ++i) text[i] = '*';
}

// Encodes `count` data bytes starting at data byte `first` into `text`. Bytes the reply does
// not carry are marked with one '*' each, right after the hex of those it does carry, so
// nothing is ever read from outside the reply.
void encode_reply_field(const Reply& reply, std::uint32_t first, char* text, std::uint32_t count) {
    const std::uint32_t available = reply.data_count() > first ? reply.data_count() - first : 0;
    const std::uint32_t present = available < count ? available : count;
    hex_encode(reply.data() + first, text, present);
    star_fill(text + 2 * present, count - present);
}

// A null output text: the port check still comes first, then the argument is refused.
int null_text_result() {
    return port_is_open() != 0 ? TQRF_ERR_PORT_NOT_OPEN : TQRF_ERR_FAILED;
}

}  // namespace

TQRF_API(int32_t) tqrf_loadkey_asc(int32_t key_type, int32_t sector, const char* key_text) {
    if (key_text == nullptr) return TQRF_ERR_FAILED;
    std::uint8_t key[KEY_BYTES];
    hex_decode(key_text, key, 2 * KEY_BYTES);
    return tqrf_loadkey(low_byte(key_type), low_byte(sector), key);
}

TQRF_API(int32_t) tqrf_wr_asc(int32_t block, const char* block_text) {
    if (block_text == nullptr) return TQRF_ERR_FAILED;
    std::uint8_t data[BLOCK_BYTES];
    hex_decode(block_text, data, 2 * BLOCK_BYTES);
    return tqrf_write(low_byte(block), data);
}

TQRF_API(int32_t) tqrf_rd_asc(int32_t block, char* block_text) {
    if (block_text == nullptr) return null_text_result();
    std::uint8_t data[BLOCK_BYTES];
    std::uint32_t copied = 0;
    const int result = run(legacy(), Op::READ_BLOCK,
                           {.args = {low_byte(block)}, .out = {data}, .length = &copied});
    if (result == 0) {
        // A reply with fewer than 16 data bytes: the bytes it does not carry are marked with
        // one '*' each after the hex of those it does, never taken from stale memory.
        hex_encode(data, block_text, copied);
        star_fill(block_text + 2 * copied, BLOCK_BYTES - copied);
    } else {
        star_fill(block_text, BLOCK_BYTES);
    }
    return result;
}

TQRF_API(int32_t)
tqrf_card_asc_1(int32_t mode, int32_t arg, char* type_text, char* serial_text, char* size_text) {
    if (type_text == nullptr || serial_text == nullptr || size_text == nullptr) {
        return null_text_result();
    }
    // Zeroed: a short anticollision reply leaves serial number bytes unwritten, and those must
    // neither show stale memory in the text nor go to the reader with the select.
    std::uint8_t card_type[CARD_TYPE_BYTES] = {};
    std::uint8_t serial[SERIAL_BYTES] = {};
    std::uint8_t size[SIZE_BYTES] = {};

    int result = tqrf_request(low_byte(mode), card_type);
    if (result != 0) {
        star_fill(type_text, CARD_TYPE_BYTES);
        star_fill(serial_text, SERIAL_BYTES);
        star_fill(size_text, SIZE_BYTES);
        return result;
    }
    hex_encode(card_type, type_text, CARD_TYPE_BYTES);

    result = tqrf_anticoll(low_byte(arg), serial);
    if (result != 0) {
        star_fill(serial_text, SERIAL_BYTES);
        star_fill(size_text, SIZE_BYTES);
        return result;
    }
    hex_encode(serial, serial_text, SERIAL_BYTES);

    result = tqrf_select(serial, size);
    if (result != 0) {
        star_fill(size_text, SIZE_BYTES);
        return result;
    }
    hex_encode(size, size_text, SIZE_BYTES);
    return 0;
}

TQRF_API(int32_t)
tqrf_card_asc(int32_t mode, int32_t reserved, char* type_text, char* serial_text, char* size_text) {
    (void)reserved;  // no byte of the command depends on it
    // The text fields stand where the binary outputs of the find command would.
    std::uint8_t* fields[3] = {reinterpret_cast<std::uint8_t*>(type_text),
                               reinterpret_cast<std::uint8_t*>(serial_text),
                               reinterpret_cast<std::uint8_t*>(size_text)};
    const int result = run(
        legacy(), Op::CARD_FIND_SELECT, {.args = {mode}, .out = {fields[0], fields[1], fields[2]}},
        [](const CommandRow& row, const Call& call, Policy, const Reply& r) {
            // Written for every valid reply, whatever the status byte says.
            for (std::uint32_t i = 0; i < row.fields.size(); ++i) {
                encode_reply_field(r, row.fields[i].at, reinterpret_cast<char*>(call.out[i]),
                                   row.fields[i].bytes);
            }
            return 0;
        });
    if (result == TQRF_ERR_REPLY_FRAME || result == TQRF_ERR_REPLY_CHECKSUM) {
        star_fill(type_text, CARD_TYPE_BYTES);
        star_fill(serial_text, SERIAL_BYTES);
        star_fill(size_text, SIZE_BYTES);
    }
    return result;
}
