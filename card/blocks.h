// Block read with the number of bytes the reader sent, for callers inside the library.
#pragma once

#include <cstdint>

namespace tqrf {

// tqrf_read, and also reports in `copied` how many data bytes went into `data` (0 to 16);
// `copied` is left alone when no valid reply arrived.
int read_block(std::int32_t block, std::uint8_t* data, std::uint32_t* copied);

}  // namespace tqrf
