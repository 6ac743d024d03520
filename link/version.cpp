// The library's own version, fixed when the library is built.
#include "tq_RWD_DLL.h"

TQRF_API(const char*) tqrf_version(void) {
    return TQRF_VERSION_STRING;
}
