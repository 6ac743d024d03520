#include "link/answer.h"

#include <cstring>

#include "link/wire.h"
#include "tq_RWD_DLL.h"

namespace tqrf {

namespace {

// Echoes of the frame alone need this many bytes: LEN and the command lead, never a lone 0x00.
constexpr std::uint32_t FRAME_ECHO_MIN = 3;

bool starts_with(const std::uint8_t* whole, std::uint32_t whole_count, const std::uint8_t* part,
                 std::uint32_t part_count) {
    return part_count <= whole_count && std::memcmp(whole, part, part_count) == 0;
}

}  // namespace

std::int32_t classify_answer(const std::uint8_t* sent, std::uint32_t sent_count,
                             const std::uint8_t* heard, std::uint32_t heard_count,
                             bool valid_frame) {
    if (heard_count == 0) return TQRF_ANSWER_SILENCE;
    if (sent_count > 0) {
        if (starts_with(sent, sent_count, heard, heard_count)) return TQRF_ANSWER_ECHO;
        if (heard_count >= FRAME_ECHO_MIN &&
            starts_with(sent + 1, sent_count - 1, heard, heard_count)) {
            return TQRF_ANSWER_ECHO;
        }
    }
    return valid_frame ? TQRF_ANSWER_FRAME : TQRF_ANSWER_NOISE;
}

void note_request(tqrf_reader& reader, std::uint8_t address, const std::uint8_t* frame,
                  std::uint32_t count) {
    reader.answer = TQRF_ANSWER_NONE;
    reader.heard_count = 0;
    if (count > sizeof reader.sent - 1) count = sizeof reader.sent - 1;
    reader.sent[0] = address;
    if (count > 0) std::memcpy(reader.sent + 1, frame, count);
    reader.sent_count = count + 1;
}

void note_reply(tqrf_reader& reader, const std::uint8_t* heard, std::uint32_t count,
                bool valid_frame) {
    if (count > sizeof reader.heard) count = sizeof reader.heard;
    if (count > 0) std::memcpy(reader.heard, heard, count);
    reader.heard_count = count;
    reader.answer = classify_answer(reader.sent, reader.sent_count, heard, count, valid_frame);
}

}  // namespace tqrf
