// What an exchange heard back: a reply frame, silence, an echo of the request, or bytes that
// are no frame. Kept per reader, in fixed fields (no allocation), for tqrf_reader_last_answer()
// and probes.
#pragma once

#include <cstdint>

#include "link/reader.h"

namespace tqrf {

// Classifies `heard` (n bytes) against the request `sent` (the address byte, then the frame):
// TQRF_ANSWER_SILENCE when nothing came; TQRF_ANSWER_ECHO when the bytes are the start of, or
// all of, what was sent (the address byte and the frame, or at least three bytes of the frame
// alone, as a loopback gives them back); else TQRF_ANSWER_FRAME when `valid_frame`, else
// TQRF_ANSWER_NOISE. An echo of the frame alone passes the frame checks, so it is looked for
// first.
std::int32_t classify_answer(const std::uint8_t* sent, std::uint32_t sent_count,
                             const std::uint8_t* heard, std::uint32_t heard_count,
                             bool valid_frame);

// Starts an exchange's record: the request about to go out (address byte, frame). The answer
// is TQRF_ANSWER_NONE until note_reply().
void note_request(tqrf_reader& reader, std::uint8_t address, const std::uint8_t* frame,
                  std::uint32_t count);

// Ends it: the bytes taken as the reply and whether they form a valid frame.
void note_reply(tqrf_reader& reader, const std::uint8_t* heard, std::uint32_t count,
                bool valid_frame);

}  // namespace tqrf
