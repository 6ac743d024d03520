// Repeats after a lost reply, on handles (link/retry.cpp); run_checked() is declared with the
// command path in link/command.h.
#pragma once

#include <cstdint>

#include "link/reader.h"

namespace tqrf {

// tqrf_reader_value_apply(): a value change made exactly once, a lost reply settled by reading
// the value back. Takes the reader's lock; traces its result.
int apply_value(tqrf_reader* reader, std::int32_t block, std::int32_t delta, std::uint32_t* before,
                std::uint32_t* after);

}  // namespace tqrf
