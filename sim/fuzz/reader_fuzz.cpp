// Any byte stream into the request parser and the reader: nothing may crash, and every reply
// must be a frame the reader can send.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tqrf_sim/frame.h"
#include "tqrf_sim/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tqrf_sim;
    RequestParser parser;
    Reader reader(Clock::time_point{}, 1796746712);
    reader.place(MifareClassic(Uid{1, 2, 3, 4}));
    reader.place(MifareClassic(Uid{5, 6, 7, 8}));
    auto now = Clock::time_point{};
    for (std::size_t i = 0; i < size; ++i) {
        // 0xFF followed by 0xFE stands for a pause on the line.
        if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
            parser.line_idle();
            ++i;
            continue;
        }
        if (parser.feed(data[i])) {
            now += std::chrono::milliseconds(41);
            const Reply r = reader.handle(parser.payload(), now);
            if (r.payload.empty() || encode_frame(r.payload).size() > kMaxReplyFrame) std::abort();
        }
    }
    return 0;
}
