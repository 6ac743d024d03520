/* A program of a library user, in C: opens the reader given on the command line, selects the
 * card in its field and reads block 4 with the factory key. */
#include <stdio.h>
#include <string.h>
#include <tq_RWD_DLL.h>

int main(int argc, char** argv) {
    uint8_t type[2], serial[4], size = 0, block[16];
    const uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    int r, i;
    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    if (strcmp(tqrf_version(), TQRF_VERSION_STRING) != 0) {
        fprintf(stderr, "library %s, headers %s\n", tqrf_version(), TQRF_VERSION_STRING);
        return 1;
    }
    if ((r = tqrf_init_device(argv[1])) != 0) {
        fprintf(stderr, "open %s: %d\n", argv[1], r);
        return 1;
    }
    r = tqrf_request(0, type);
    if (r == 0) r = tqrf_anticoll(0, serial);
    if (r == 0) r = tqrf_select(serial, &size);
    if (r == 0) r = tqrf_loadkey(0, 1, key);
    if (r == 0) r = tqrf_authentication(0, 1);
    if (r == 0) r = tqrf_read(4, block);
    tqrf_exit();
    if (r != 0) {
        fprintf(stderr, "card session: %d\n", r);
        return 1;
    }
    printf("C: library %s, card %02X%02X%02X%02X, block 4 ", tqrf_version(), serial[0], serial[1],
           serial[2], serial[3]);
    for (i = 0; i < 16; i++) printf("%02X", block[i]);
    printf("\n");
    return 0;
}
