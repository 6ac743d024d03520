/* Opens the device given as its argument with the library, as a second program would, and
 * prints the result of tqrf_init_device(). */
#include <stdio.h>

#include "tq_RWD_DLL.h"

int main(int argc, char** argv) {
    int32_t result;
    if (argc != 2) return 2;
    result = tqrf_init_device(argv[1]);
    printf("%d\n", (int)result);
    if (result == 0) tqrf_exit();
    return 0;
}
