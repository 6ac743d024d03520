/* The device-loss form of the Windows host: every call on a reader whose device has gone gives
 * -88, and the port opens again once a reader is back. */
#include "host.h"

/* Prints a line the end-to-end script waits for, at once. */
static void announce(const char* fmt, const char* port) {
    printf(fmt, port);
    printf("\n");
    fflush(stdout);
}

/* Device loss: the script ends the simulator behind PORT when it reads "waiting for the loss
 * of PORT", and starts a new one (identity ID_AFTER) on the same COM name when it reads
 * "waiting for PORT again". */
int lose_main(HMODULE dll, int argc, char** argv) {
    const char* port;
    uint32_t id_before, id_after, id = 0;
    tqrf_reader* r = NULL;
    int32_t res = 0;
    int tries;

    if (argc < 6) {
        fprintf(stderr, "usage: %s DLL lose PORT ID_BEFORE ID_AFTER\n", argv[0]);
        return 2;
    }
    if (!load_exports(dll)) return 1;
    port = argv[3];
    id_before = (uint32_t)strtoul(argv[4], NULL, 16);
    id_after = (uint32_t)strtoul(argv[5], NULL, 16);

    res = h.open(port, &r);
    step("reader_open", res == 0, res, "%s", port);
    if (res != 0) return 1;
    res = h.id(r, &id);
    step("id", res == 0 && id == id_before, res, "%08lX", (unsigned long)id);

    announce("waiting for the loss of %s", port);
    /* Bounded: 200 tries, 50 ms apart. */
    for (tries = 1; tries <= 200; ++tries) {
        res = h.link_test(r);
        if (res != 0) break;
        Sleep(50);
    }
    step("link test on a lost device", res == -88, res, "after %d tries, OS error %ld: %s", tries,
         (long)h.os_error(r), h.strerror_(res));
    res = h.link_test(r);
    step("link test again", res == -88, res, "lost for good");
    res = h.id(r, &id);
    step("id on the lost device", res == -88, res, NULL);
    res = h.close(r);
    step("reader_close", res == 0, res, NULL);

    announce("waiting for %s again", port);
    r = NULL;
    for (tries = 1; tries <= 100; ++tries) {
        res = h.open(port, &r);
        if (res == 0) break;
        Sleep(100);
    }
    step("reader_open again", res == 0, res, "%s after %d tries", port, tries);
    if (res != 0) return 1;
    res = h.id(r, &id);
    step("id of the new reader", res == 0 && id == id_after, res, "%08lX", (unsigned long)id);
    res = h.close(r);
    step("reader_close", res == 0, res, NULL);

    FreeLibrary(dll);
    return finish();
}
