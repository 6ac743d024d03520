/* The public header used from plain C: every export is declared, callable and linkable. */
#include <stdio.h>
#include <string.h>

#include "tq_RWD_DLL.h"

typedef void (*generic_fn)(void);

int main(void) {
    uint8_t card_type[2] = {0xAA, 0xAA};
    char name[8];
    int failures = 0;
    /* With no port open, a command answers ERR_PORT_NOT_OPEN and leaves its output alone. */
    if (tqrf_request(0, card_type) != ERR_PORT_NOT_OPEN) failures++;
    if (card_type[0] != 0xAA || card_type[1] != 0xAA) failures++;
    if (tqrf_exit() != ERR_FAILED) failures++;
    strcpy(name, "COM0");
    if (tqrf_init(name) != ERR_PORT_OPEN_FAILED) failures++;
    if (strcmp(name, "0") != 0) failures++;
    {
        /* Every export is a C symbol of the library. */
        generic_fn exports[] = {
            (generic_fn)tqrf_init,           (generic_fn)tqrf_init_device,
            (generic_fn)tqrf_exit,           (generic_fn)tqrf_BaudSetup,
            (generic_fn)tqrf_request,        (generic_fn)tqrf_request_2,
            (generic_fn)tqrf_anticoll,       (generic_fn)tqrf_select,
            (generic_fn)tqrf_halt,           (generic_fn)tqrf_loadkey,
            (generic_fn)tqrf_authentication, (generic_fn)tqrf_authentication_2,
            (generic_fn)tqrf_read,           (generic_fn)tqrf_write,
            (generic_fn)tqrf_initval,        (generic_fn)tqrf_readval,
            (generic_fn)tqrf_increment,      (generic_fn)tqrf_decrement,
            (generic_fn)tqrf_restore,        (generic_fn)tqrf_transfer,
            (generic_fn)tqrf_reset,          (generic_fn)tqrf_ReadHardwareVersionNumber,
            (generic_fn)tqrf_Read_RWD_ID,    (generic_fn)tqrf_Read_RC500E2,
            (generic_fn)tqrf_Write_RC500E2,  (generic_fn)tqrf_Link_PCandRWD,
            (generic_fn)tqrf_BeepControl,    (generic_fn)tqrf_UploadRTC,
            (generic_fn)tqrf_DownloadRTC,    (generic_fn)tqrf_loadkey_asc,
            (generic_fn)tqrf_card_asc_1,     (generic_fn)tqrf_card_asc,
            (generic_fn)tqrf_rd_asc,         (generic_fn)tqrf_wr_asc,
            (generic_fn)tqrf_version};
        size_t i;
        for (i = 0; i < sizeof exports / sizeof exports[0]; i++) {
            if (exports[i] == NULL) failures++;
        }
        if (sizeof exports / sizeof exports[0] != 35) failures++;
    }
    {
        /* The loaded library is the one these headers describe, and the macros agree. */
        char expected[32];
        sprintf(expected, "%d.%d.%d", TQRF_VERSION_MAJOR, TQRF_VERSION_MINOR, TQRF_VERSION_PATCH);
        if (strcmp(tqrf_version(), TQRF_VERSION_STRING) != 0) failures++;
        if (strcmp(expected, TQRF_VERSION_STRING) != 0) failures++;
    }
    {
        /* The handle API from C: a refused open leaves the handle null and says why. */
        tqrf_reader* r = (tqrf_reader*)&failures;
        uint8_t block[16];
        uint32_t length = 7;
        if (tqrf_reader_open("/dev/no-such-reader", &r) != ERR_PORT_OPEN_FAILED) failures++;
        if (r != NULL) failures++;
        if (tqrf_reader_os_error(NULL) == 0) failures++;
        if (tqrf_reader_read(NULL, 4, block) != ERR_BAD_ARGUMENT) failures++;
        if (tqrf_reader_hardware_version(NULL, block, sizeof block, &length) != ERR_BAD_ARGUMENT) {
            failures++;
        }
        if (length != 7) failures++;
        if (strcmp(tqrf_strerror(0x14), "reader status 20 (0x14)") != 0) failures++;
        if (tqrf_strerror(ERR_DEVICE_LOST)[0] == '\0') failures++;
    }
    {
        /* The counters' structure, sized by its caller, and a value change, from C. */
        tqrf_reader_stats stats = {sizeof(tqrf_reader_stats), 0, 0, 0, 0, 0};
        uint32_t before = 0, after = 0;
        if (tqrf_reader_get_stats(NULL, &stats) != ERR_BAD_ARGUMENT) failures++;
        if (tqrf_reader_value_apply(NULL, 4, -1, &before, &after) != ERR_BAD_ARGUMENT) failures++;
        if (TQRF_OPTION_ATTEMPTS != 3 || TQRF_TRACE_RETRY != 5) failures++;
    }
    {
        /* The result list from C: every code has its text, and the names of earlier versions
         * are the same codes as the TQRF_ names. */
        static const struct {
            int32_t code;
            const char* text;
        } listed[] = {
#define LISTED(name, word, text) {name, text},
            TQRF_RESULTS(LISTED)
#undef LISTED
        };
        static const int32_t pairs[][2] = {{ERR_NOT_SECTOR_TRAILER, TQRF_ERR_NOT_SECTOR_TRAILER},
                                           {ERR_FAILED, TQRF_ERR_FAILED},
                                           {ERR_PORT_IN_USE, TQRF_ERR_PORT_IN_USE},
                                           {ERR_PORT_OPEN_FAILED, TQRF_ERR_PORT_OPEN_FAILED},
                                           {ERR_PORT_NOT_OPEN, TQRF_ERR_PORT_NOT_OPEN},
                                           {ERR_SEND_FAILED, TQRF_ERR_SEND_FAILED},
                                           {ERR_REPLY_CHECKSUM, TQRF_ERR_REPLY_CHECKSUM},
                                           {ERR_REPLY_FRAME, TQRF_ERR_REPLY_FRAME},
                                           {ERR_REPLY_LENGTH, TQRF_ERR_REPLY_LENGTH},
                                           {ERR_DEVICE_LOST, TQRF_ERR_DEVICE_LOST},
                                           {ERR_BAD_ARGUMENT, TQRF_ERR_BAD_ARGUMENT},
                                           {ERR_BUFFER_TOO_SMALL, TQRF_ERR_BUFFER_TOO_SMALL}};
        uint8_t version[TQRF_REPLY_DATA_MAX];
        size_t i;
        for (i = 0; i < sizeof listed / sizeof listed[0]; i++) {
            if (strcmp(tqrf_strerror(listed[i].code), listed[i].text) != 0) failures++;
        }
        for (i = 0; i < sizeof pairs / sizeof pairs[0]; i++) {
            if (pairs[i][0] != pairs[i][1]) failures++;
        }
        if (sizeof listed / sizeof listed[0] != 14 || sizeof version != 101) failures++;
        if (ERR_PORT_NOT_OPEN != -82 || TQRF_ERR_PARITY_UNSUPPORTED != -91) failures++;
    }
    printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
