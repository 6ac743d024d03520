// A second module of the test program, built as a shared library with hidden symbols, like a
// plug-in or another DLL: it has its own copy of the header's error category.
#include <system_error>

#include "tq_RWD_DLL.hpp"

extern "C" __attribute__((visibility("default"))) void other_module_code(int result,
                                                                         std::error_code* out) {
    *out = tqrf::result_code(result);
}

extern "C" __attribute__((visibility("default"))) void other_module_enum(std::error_code* out) {
    *out = tqrf::errc::reply_length;
}
