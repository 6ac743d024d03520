// Heap calls of the calling thread, counted while counting is on (see alloc_count.cpp). In a
// build without the counter (sanitizers own malloc there) allocations_counted() is false.
#pragma once

#include <cstdint>

namespace bench {

void count_allocations(bool on);
std::uint64_t allocations();
bool allocations_counted();

}  // namespace bench
