/* The first form of the Windows host: a card session, the fault steps and a reader session
 * through the legacy exports, on one port. */
#include "host.h"

static void card_session(void) {
    static const uint8_t transport_key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t pattern[16];
    uint8_t card_type[2] = {0, 0};
    uint8_t serial[4] = {0, 0, 0, 0};
    uint8_t size = 0;
    uint8_t block[16];
    uint32_t value = 0;
    char type_text[5] = "", serial_text[9] = "", size_text[3] = "", block_text[33] = "";
    char expected[33];
    int32_t r;
    int i;

    for (i = 0; i < 16; ++i) pattern[i] = (uint8_t)(0x10 * (i & 0x0F) + (15 - i));

    r = REQ(api.request(0, card_type));
    step("request (idle cards)", r == 0, r, "card type %02X %02X", card_type[0], card_type[1]);
    r = REQ(api.anticoll(0, serial));
    step("anticoll", r == 0, r, "serial %02X %02X %02X %02X", serial[0], serial[1], serial[2],
         serial[3]);
    r = REQ(api.select(serial, &size));
    step("select", r == 0, r, "size %02X", size);
    r = REQ(api.loadkey(0, 1, transport_key));
    step("loadkey A sector 1", r == 0, r, NULL);
    r = REQ(api.authentication(0, 1));
    step("authentication A sector 1", r == 0, r, NULL);
    r = REQ(api.write(4, pattern));
    step("write block 4", r == 0, r, NULL);
    memset(block, 0, sizeof block);
    r = REQ(api.read(4, block));
    to_hex(block, 16, block_text);
    step("read block 4", r == 0 && memcmp(block, pattern, 16) == 0, r, "%s", block_text);
    r = REQ(api.initval(5, 1000));
    step("initval block 5 = 1000", r == 0, r, NULL);
    r = REQ(api.increment(5, 234));
    step("increment block 5 by 234", r == 0, r, NULL);
    r = REQ(api.transfer(5));
    step("transfer block 5", r == 0, r, NULL);
    r = REQ(api.readval(5, &value));
    step("readval block 5", r == 0 && value == 1234, r, "value %lu (want 1234)",
         (unsigned long)value);
    r = REQ(api.halt());
    step("halt", r == 0, r, NULL);

    /* The halted card answers a wake-up of all cards (mode 1). */
    r = REQ(api.card_asc(1, 0, type_text, serial_text, size_text));
    type_text[4] = serial_text[8] = size_text[2] = '\0';
    to_hex(serial, 4, expected);
    step("card_asc (all cards)", r == 0 && strcmp(serial_text, expected) == 0, r,
         "type %s serial %s size %s", type_text, serial_text, size_text);
    r = REQ(api.authentication(0, 1));
    step("authentication A sector 1", r == 0, r, NULL);
    memset(block_text, 0, sizeof block_text);
    r = REQ(api.rd_asc(4, block_text));
    block_text[32] = '\0';
    to_hex(pattern, 16, expected);
    step("rd_asc block 4", r == 0 && strcmp(block_text, expected) == 0, r, "%s", block_text);
    r = REQ(api.halt());
    step("halt", r == 0, r, NULL);
}

/* Replies that go wrong once each (see the usage above). */
static void fault_session(void) {
    uint8_t buffer[128];
    uint8_t untouched[128];
    uint32_t id = 0xDEADBEEFu;
    int32_t r;

    memset(untouched, 0xC5, sizeof untouched);

    r = REQ(api.Link_PCandRWD());
    step("link test, no reply", r == -86, r, "want -86");
    r = REQ(api.Link_PCandRWD());
    step("link test after no reply", r == 0, r, NULL);

    r = REQ(api.Read_RWD_ID(&id));
    step("Read_RWD_ID, bad XOR byte", r == -85 && id == 0xDEADBEEFu, r,
         "want -85, id untouched: 0x%08lX", (unsigned long)id);

    memcpy(buffer, untouched, sizeof buffer);
    r = REQ(api.ReadHardwareVersionNumber(buffer));
    step("version, reply too late", r == -86 && memcmp(buffer, untouched, sizeof buffer) == 0, r,
         "want -86, output untouched");
    /* Let the late reply arrive: the next request must discard it before sending. */
    Sleep(200);
    r = REQ(api.Link_PCandRWD());
    step("link test after a late reply", r == 0, r, NULL);

    memcpy(buffer, untouched, sizeof buffer);
    r = REQ(api.Read_RC500E2(0x30, buffer));
    step("Read_RC500E2, 110-byte reply", r == -86 && memcmp(buffer, untouched, sizeof buffer) == 0,
         r, "want -86, output untouched");
    r = REQ(api.Link_PCandRWD());
    step("link test after an oversized reply", r == 0, r, NULL);

    memcpy(buffer, untouched, sizeof buffer);
    r = REQ(api.UploadRTC(buffer));
    step("UploadRTC, truncated reply", r == -86 && memcmp(buffer, untouched, sizeof buffer) == 0, r,
         "want -86, output untouched");
    r = REQ(api.Link_PCandRWD());
    step("link test after a truncated reply", r == 0, r, NULL);
}

static void reader_session(int32_t e2_address) {
    uint8_t version[128];
    uint8_t e2_data[16];
    uint8_t e2_back[128];
    /* The simulator's clock layout: BCD second, minute, hour, day, month, then the weekday
     * (1 to 7), then the BCD year: 16:15:30 on Tuesday 8 December 2026. */
    uint8_t clock_set[7] = {0x30, 0x15, 0x16, 0x08, 0x12, 0x02, 0x26};
    uint8_t clock_read[128];
    uint32_t id = 0;
    char text[129];
    int32_t r;
    int i;

    memset(version, 0, sizeof version);
    r = REQ(api.ReadHardwareVersionNumber(version));
    for (i = 0; i < 101 && version[i] != 0; ++i)
        text[i] = (version[i] >= 0x20 && version[i] < 0x7F) ? (char)version[i] : '.';
    text[i] = '\0';
    step("ReadHardwareVersionNumber", r == 0 && i > 0, r, "\"%s\"", text);
    r = REQ(api.Read_RWD_ID(&id));
    step("Read_RWD_ID", r == 0, r, "id %lu (0x%08lX)", (unsigned long)id, (unsigned long)id);
    r = REQ(api.Link_PCandRWD());
    step("Link_PCandRWD", r == 0, r, NULL);

    for (i = 0; i < 16; ++i) e2_data[i] = (uint8_t)(0xA0 + i);
    r = REQ(api.Write_RC500E2(e2_address, e2_data));
    step("Write_RC500E2", r == 0, r, "address 0x%02lX", (unsigned long)e2_address);
    memset(e2_back, 0, sizeof e2_back);
    r = REQ(api.Read_RC500E2(e2_address, e2_back));
    to_hex(e2_back, 16, text);
    step("Read_RC500E2 read back", r == 0 && memcmp(e2_back, e2_data, 16) == 0, r, "%s", text);

    r = REQ(api.DownloadRTC(clock_set));
    step("DownloadRTC (set clock)", r == 0, r, NULL);
    memset(clock_read, 0, sizeof clock_read);
    r = REQ(api.UploadRTC(clock_read));
    to_hex(clock_read, 7, text);
    /* The clock runs on from the time set: all but the seconds still read as set. */
    step("UploadRTC (read clock)", r == 0 && memcmp(clock_read + 1, clock_set + 1, 6) == 0, r, "%s",
         text);

    r = REQ(api.BeepControl(0, 5));
    step("BeepControl 50 ms, waited", r == 0, r, NULL);
}

/* ==== Reader handles ======================================================================== */

/* The first form: a card session and a reader session through the legacy exports. */
int legacy_main(HMODULE dll, int argc, char** argv) {
    char name[64];
    char port_digits[64];
    int32_t e2_address = 0x30;
    int32_t r;

    if (argc > 4) e2_address = (int32_t)strtol(argv[4], NULL, 0);
    if (!load_exports(dll)) return 1;

    /* Port control. */
    r = api.exit_();
    step("exit with no port", r == -1, r, "want -1");
    r = api.Link_PCandRWD();
    step("command with no port", r == -82, r, "want -82");
    if (argc > 3 && strcmp(argv[3], "-") != 0) {
        snprintf(name, sizeof name, "%s", argv[3]);
        r = api.init(name);
        step("init missing port", r == -81, r, "%s, want -81", argv[3]);
    }
    snprintf(name, sizeof name, "%s", argv[2]);
    snprintf(port_digits, sizeof port_digits, "%s", strlen(argv[2]) > 3 ? argv[2] + 3 : "");
    r = api.init(name);
    step("init", r == 0 && strcmp(name, port_digits) == 0, r, "%s, name reads \"%s\"", argv[2],
         name);
    if (r != 0) {
        printf("FAIL: the port did not open; %d of %d steps failed\n", g_failures, g_steps);
        return 1;
    }
    snprintf(name, sizeof name, "%s", argv[2]);
    r = api.init(name);
    step("init again", r == -80, r, "want -80");

    if (argc > 5 && strcmp(argv[5], "faults") == 0) fault_session();
    card_session();
    reader_session(e2_address);

    /* A rate change holds only until the next command sets the line again. */
    r = api.BaudSetup("9600");
    step("BaudSetup 9600", r == 0, r, NULL);
    r = REQ(api.Link_PCandRWD());
    step("Link_PCandRWD after BaudSetup", r == 0, r, NULL);

    r = api.exit_();
    step("exit", r == 0, r, NULL);
    r = api.exit_();
    step("exit again", r == -1, r, "want -1");

    FreeLibrary(dll);
    printf("requests: %d\n", g_requests);
    return finish();
}
