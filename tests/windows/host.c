/*
 * tqrf-win-host: a Windows host program that loads tq_RWD_DLL.dll the way host applications
 * do (LoadLibraryA + GetProcAddress, __cdecl function pointers of its own, no import library,
 * no header of the library) and drives readers through it. One line per step; exit code 0 only
 * when every step worked.
 *
 *   tqrf-win-host.exe DLL PORT [MISSING_PORT] [E2PROM_ADDRESS] [faults]
 *   tqrf-win-host.exe DLL readers PORT_A UID_A ID_A PORT_B UID_B ID_B [MISSING_PORT]
 *
 * The first form runs a card session and a reader session through the legacy exports:
 *
 *   DLL             path of tq_RWD_DLL.dll
 *   PORT            the reader's port name, for example COM5
 *   MISSING_PORT    a port name that does not exist, for the open-failure check ("-" skips it)
 *   E2PROM_ADDRESS  E2PROM address for the write/read-back step (decimal or 0x hex; default
 *                   0x30)
 *   faults          first run the fault steps, against a simulator started with
 *                     --fault noreply@0x77/1 --fault corrupt-xor@0x76/1
 *                     --fault delay:60@0x73/1 --fault oversize@0x75/1 --fault truncate@0x6B/1
 *                   (one bad reply each for link test, identity, version, E2PROM read and
 *                   clock read): each must give its error code, leave the outputs untouched,
 *                   and the next command must work again.
 *
 * The second form opens two readers with tqrf_reader_open() and drives them from two threads
 * at once, first in complete reply mode (the handle default), then in fixed mode. Each thread
 * runs card and reader sessions on its own reader (in complete mode with a 300 ms reply slack,
 * which costs nothing while replies come on time) and checks every reply byte: the card type,
 * the serial number UID_X (8 hex digits, as the reader sends it), the size byte, blocks and
 * E2PROM bytes written with data unique to the reader, value blocks, and the identity number
 * ID_X (hex). A trace hook on each reader counts the frames, checks that they are reported on
 * the reader's own thread, and shows whether the two readers' exchanges overlapped in time.
 * Each reader's simulator must be started with
 *     --uid UID_X --identity ID_X --fault delay:150@0x6B/1 --fault noise-after:3@0x6B/2
 * (its first clock read answers 150 ms late, the next two carry three bytes after the frame):
 * complete mode takes the late one within a 600 ms slack and the one with trailing bytes as it
 * is; fixed mode refuses the one with trailing bytes with -86 and leaves the outputs untouched.
 *
 * Both forms end with "requests: N", the number of requests put on the lines, which the
 * end-to-end script compares with the serial trace.
 *
 *   tqrf-win-host.exe DLL lose PORT ID_BEFORE ID_AFTER
 *
 * checks device loss on a reader handle, with the script's help: after a first identity read
 * (ID_BEFORE, hex) it prints "waiting for the loss of PORT", and the script ends the
 * simulator; every call must then give -88, and the reader closes. It prints "waiting for PORT
 * again", the script starts a new simulator (identity ID_AFTER) on the same COM name, and the
 * port must open again and answer with the new identity.
 *
 * The card steps expect a factory-fresh card in the field: transport keys FF FF FF FF FF FF
 * and access conditions that let key A read and write every sector.
 *
 * Files: host.h (the exports the host binds and their types), host_exports.c (binding them,
 * the step lines), host_legacy.c (the first form), host_readers.c (the second), host_lose.c
 * (device loss).
 */
#include "host.h"

int main(int argc, char** argv) {
    HMODULE dll;

    if (argc < 3) {
        fprintf(stderr,
                "usage: %s DLL PORT [MISSING_PORT|-] [E2PROM_ADDRESS] [faults]\n"
                "       %s DLL readers PORT_A UID_A ID_A PORT_B UID_B ID_B [MISSING_PORT|-]\n"
                "       %s DLL lose PORT ID_BEFORE ID_AFTER\n",
                argv[0], argv[0], argv[0]);
        return 2;
    }

    dll = LoadLibraryA(argv[1]);
    if (dll == NULL) {
        printf("FAIL LoadLibraryA %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    printf("loaded %s (%d-bit host)\n", argv[1], (int)(8 * sizeof(void*)));
    if (strcmp(argv[2], "readers") == 0) return readers_main(dll, argc, argv);
    if (strcmp(argv[2], "lose") == 0) return lose_main(dll, argc, argv);
    return legacy_main(dll, argc, argv);
}
