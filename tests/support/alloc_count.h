// Heap calls of the calling thread, counted while counting is on (see alloc_count.cpp), for the
// benchmarks and the test that no command allocates. In a build without the counter (sanitizers
// own malloc there: link alloc_none.cpp instead) allocations_counted() is false.
#pragma once

#include <cstdint>

namespace tqrf::testing {

void count_allocations(bool on);
std::uint64_t allocations();
bool allocations_counted();

}  // namespace tqrf::testing
