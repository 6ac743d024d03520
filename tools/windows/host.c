/*
 * tqrf-win-host: a Windows host program that loads tq_RWD_DLL.dll the way host applications
 * do (LoadLibraryA + GetProcAddress, __cdecl function pointers of its own, no import library,
 * no header of the library) and runs a card session and a reader session against a reader on
 * a COM port. One line per step; exit code 0 only when every step worked.
 *
 *   tqrf-win-host.exe DLL PORT [MISSING_PORT] [E2PROM_ADDRESS] [faults]
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
 * The card steps expect a factory-fresh card in the field: transport keys FF FF FF FF FF FF
 * and access conditions that let key A read and write sector 1.
 */
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef int32_t(__cdecl* fn_char_p)(char*);
typedef int32_t(__cdecl* fn_cchar_p)(const char*);
typedef int32_t(__cdecl* fn_void)(void);
typedef int32_t(__cdecl* fn_i_bytes)(int32_t, uint8_t*);
typedef int32_t(__cdecl* fn_i_cbytes)(int32_t, const uint8_t*);
typedef int32_t(__cdecl* fn_cbytes_bytes)(const uint8_t*, uint8_t*);
typedef int32_t(__cdecl* fn_i_i_cbytes)(int32_t, int32_t, const uint8_t*);
typedef int32_t(__cdecl* fn_i_i)(int32_t, int32_t);
typedef int32_t(__cdecl* fn_i)(int32_t);
typedef int32_t(__cdecl* fn_i_u)(int32_t, uint32_t);
typedef int32_t(__cdecl* fn_i_pu)(int32_t, uint32_t*);
typedef int32_t(__cdecl* fn_pu)(uint32_t*);
typedef int32_t(__cdecl* fn_bytes)(uint8_t*);
typedef int32_t(__cdecl* fn_cbytes)(const uint8_t*);
typedef int32_t(__cdecl* fn_i_i_text3)(int32_t, int32_t, char*, char*, char*);
typedef int32_t(__cdecl* fn_i_text)(int32_t, char*);

static struct {
    fn_char_p init;
    fn_void exit_;
    fn_cchar_p baud_setup;
    fn_i_bytes request;
    fn_i_bytes anticoll;
    fn_cbytes_bytes select;
    fn_void halt;
    fn_i_i_cbytes loadkey;
    fn_i_i authentication;
    fn_i_bytes read;
    fn_i_cbytes write;
    fn_i_u initval;
    fn_i_pu readval;
    fn_i_u increment;
    fn_i transfer;
    fn_bytes read_version;
    fn_pu read_id;
    fn_void link_test;
    fn_i_bytes read_e2;
    fn_i_cbytes write_e2;
    fn_i_i beep;
    fn_bytes read_clock;
    fn_cbytes set_clock;
    fn_i_i_text3 card_asc;
    fn_i_text rd_asc;
} api;

static int g_failures = 0;
static int g_steps = 0;
/* Requests handed to the library while the port is open: each puts one address byte and one
 * frame on the line, which the end-to-end check counts in the serial trace. */
static int g_requests = 0;
#define REQ(call) (++g_requests, (call))

/* Prints one step line: "ok  " or "FAIL", the step, the result and details. */
static void step(const char* name, int ok, int32_t result, const char* fmt, ...) {
    char details[256] = "";
    if (fmt != NULL) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(details, sizeof details, fmt, args);
        va_end(args);
    }
    ++g_steps;
    if (!ok) ++g_failures;
    printf("%s %-28s result %4ld  %s\n", ok ? "ok  " : "FAIL", name, (long)result, details);
    fflush(stdout);
}

static void to_hex(const uint8_t* bytes, size_t count, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    size_t i;
    for (i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[2 * count] = '\0';
}

/* Looks up every export the sessions use; a missing one is a failure of its own. */
static int load_api(HMODULE dll) {
    struct {
        const char* name;
        FARPROC* slot;
    } table[] = {
        {"tqrf_init", (FARPROC*)&api.init},
        {"tqrf_exit", (FARPROC*)&api.exit_},
        {"tqrf_BaudSetup", (FARPROC*)&api.baud_setup},
        {"tqrf_request", (FARPROC*)&api.request},
        {"tqrf_anticoll", (FARPROC*)&api.anticoll},
        {"tqrf_select", (FARPROC*)&api.select},
        {"tqrf_halt", (FARPROC*)&api.halt},
        {"tqrf_loadkey", (FARPROC*)&api.loadkey},
        {"tqrf_authentication", (FARPROC*)&api.authentication},
        {"tqrf_read", (FARPROC*)&api.read},
        {"tqrf_write", (FARPROC*)&api.write},
        {"tqrf_initval", (FARPROC*)&api.initval},
        {"tqrf_readval", (FARPROC*)&api.readval},
        {"tqrf_increment", (FARPROC*)&api.increment},
        {"tqrf_transfer", (FARPROC*)&api.transfer},
        {"tqrf_ReadHardwareVersionNumber", (FARPROC*)&api.read_version},
        {"tqrf_Read_RWD_ID", (FARPROC*)&api.read_id},
        {"tqrf_Link_PCandRWD", (FARPROC*)&api.link_test},
        {"tqrf_Read_RC500E2", (FARPROC*)&api.read_e2},
        {"tqrf_Write_RC500E2", (FARPROC*)&api.write_e2},
        {"tqrf_BeepControl", (FARPROC*)&api.beep},
        {"tqrf_UploadRTC", (FARPROC*)&api.read_clock},
        {"tqrf_DownloadRTC", (FARPROC*)&api.set_clock},
        {"tqrf_card_asc", (FARPROC*)&api.card_asc},
        {"tqrf_rd_asc", (FARPROC*)&api.rd_asc},
    };
    size_t i;
    int missing = 0;
    for (i = 0; i < sizeof table / sizeof table[0]; ++i) {
        *table[i].slot = GetProcAddress(dll, table[i].name);
        if (*table[i].slot == NULL) {
            step("GetProcAddress", 0, 0, "%s not exported", table[i].name);
            ++missing;
        }
    }
    return missing == 0;
}

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

    r = REQ(api.link_test());
    step("link test, no reply", r == -86, r, "want -86");
    r = REQ(api.link_test());
    step("link test after no reply", r == 0, r, NULL);

    r = REQ(api.read_id(&id));
    step("Read_RWD_ID, bad XOR byte", r == -85 && id == 0xDEADBEEFu, r,
         "want -85, id untouched: 0x%08lX", (unsigned long)id);

    memcpy(buffer, untouched, sizeof buffer);
    r = REQ(api.read_version(buffer));
    step("version, reply too late", r == -86 && memcmp(buffer, untouched, sizeof buffer) == 0, r,
         "want -86, output untouched");
    /* Let the late reply arrive: the next request must discard it before sending. */
    Sleep(200);
    r = REQ(api.link_test());
    step("link test after a late reply", r == 0, r, NULL);

    memcpy(buffer, untouched, sizeof buffer);
    r = REQ(api.read_e2(0x30, buffer));
    step("Read_RC500E2, 110-byte reply", r == -86 && memcmp(buffer, untouched, sizeof buffer) == 0,
         r, "want -86, output untouched");
    r = REQ(api.link_test());
    step("link test after an oversized reply", r == 0, r, NULL);

    memcpy(buffer, untouched, sizeof buffer);
    r = REQ(api.read_clock(buffer));
    step("UploadRTC, truncated reply", r == -86 && memcmp(buffer, untouched, sizeof buffer) == 0, r,
         "want -86, output untouched");
    r = REQ(api.link_test());
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
    r = REQ(api.read_version(version));
    for (i = 0; i < 101 && version[i] != 0; ++i)
        text[i] = (version[i] >= 0x20 && version[i] < 0x7F) ? (char)version[i] : '.';
    text[i] = '\0';
    step("ReadHardwareVersionNumber", r == 0 && i > 0, r, "\"%s\"", text);
    r = REQ(api.read_id(&id));
    step("Read_RWD_ID", r == 0, r, "id %lu (0x%08lX)", (unsigned long)id, (unsigned long)id);
    r = REQ(api.link_test());
    step("Link_PCandRWD", r == 0, r, NULL);

    for (i = 0; i < 16; ++i) e2_data[i] = (uint8_t)(0xA0 + i);
    r = REQ(api.write_e2(e2_address, e2_data));
    step("Write_RC500E2", r == 0, r, "address 0x%02lX", (unsigned long)e2_address);
    memset(e2_back, 0, sizeof e2_back);
    r = REQ(api.read_e2(e2_address, e2_back));
    to_hex(e2_back, 16, text);
    step("Read_RC500E2 read back", r == 0 && memcmp(e2_back, e2_data, 16) == 0, r, "%s", text);

    r = REQ(api.set_clock(clock_set));
    step("DownloadRTC (set clock)", r == 0, r, NULL);
    memset(clock_read, 0, sizeof clock_read);
    r = REQ(api.read_clock(clock_read));
    to_hex(clock_read, 7, text);
    /* The clock runs on from the time set: all but the seconds still read as set. */
    step("UploadRTC (read clock)", r == 0 && memcmp(clock_read + 1, clock_set + 1, 6) == 0, r, "%s",
         text);

    r = REQ(api.beep(0, 5));
    step("BeepControl 50 ms, waited", r == 0, r, NULL);
}

int main(int argc, char** argv) {
    HMODULE dll;
    char name[64];
    char port_digits[64];
    int32_t e2_address = 0x30;
    int32_t r;

    if (argc < 3) {
        fprintf(stderr, "usage: %s DLL PORT [MISSING_PORT|-] [E2PROM_ADDRESS] [faults]\n", argv[0]);
        return 2;
    }
    if (argc > 4) e2_address = (int32_t)strtol(argv[4], NULL, 0);

    dll = LoadLibraryA(argv[1]);
    if (dll == NULL) {
        printf("FAIL LoadLibraryA %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    printf("loaded %s (%d-bit host)\n", argv[1], (int)(8 * sizeof(void*)));
    if (!load_api(dll)) return 1;

    /* Port control. */
    r = api.exit_();
    step("exit with no port", r == -1, r, "want -1");
    r = api.link_test();
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
    r = api.baud_setup("9600");
    step("BaudSetup 9600", r == 0, r, NULL);
    r = REQ(api.link_test());
    step("Link_PCandRWD after BaudSetup", r == 0, r, NULL);

    r = api.exit_();
    step("exit", r == 0, r, NULL);
    r = api.exit_();
    step("exit again", r == -1, r, "want -1");

    FreeLibrary(dll);
    printf("requests: %d\n", g_requests);
    if (g_failures != 0) {
        printf("FAIL: %d of %d steps failed\n", g_failures, g_steps);
        return 1;
    }
    printf("PASS: all %d steps worked\n", g_steps);
    return 0;
}
