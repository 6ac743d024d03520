// Counts the heap calls of the threads that ask for it: malloc and its relatives are replaced
// for the whole program (the shared library's calls resolve to these too) and forward to the C
// library's own allocator.
#include "tests/support/alloc_count.h"

#include <cerrno>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* __libc_memalign(std::size_t, std::size_t);
extern "C" void __libc_free(void*);

namespace {
thread_local bool t_counting = false;
thread_local std::uint64_t t_allocations = 0;

void count() {
    if (t_counting) ++t_allocations;
}
}  // namespace

namespace tqrf::testing {

void count_allocations(bool on) {
    t_counting = on;
}

std::uint64_t allocations() {
    return t_allocations;
}

bool allocations_counted() {
    return true;
}

}  // namespace tqrf::testing

extern "C" void* malloc(std::size_t n) {
    count();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t m) {
    count();
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, std::size_t n) {
    count();
    return __libc_realloc(p, n);
}
extern "C" void* memalign(std::size_t alignment, std::size_t n) {
    count();
    return __libc_memalign(alignment, n);
}
extern "C" void* aligned_alloc(std::size_t alignment, std::size_t n) {
    count();
    return __libc_memalign(alignment, n);
}
extern "C" int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    count();
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
extern "C" void free(void* p) {
    __libc_free(p);
}
