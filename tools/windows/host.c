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
/* An export the host looks up, and where its address goes. */
struct export_slot {
    const char* name;
    FARPROC* slot;
};

/* Looks every name up in the DLL; reports each one missing. True when all were found. */
static int bind_exports(HMODULE dll, struct export_slot* table, size_t count) {
    size_t i;
    int missing = 0;
    for (i = 0; i < count; ++i) {
        *table[i].slot = GetProcAddress(dll, table[i].name);
        if (*table[i].slot == NULL) {
            step("GetProcAddress", 0, 0, "%s not exported", table[i].name);
            ++missing;
        }
    }
    return missing == 0;
}

static int load_api(HMODULE dll) {
    struct export_slot table[] = {
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
    return bind_exports(dll, table, sizeof table / sizeof table[0]);
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

/* ==== Reader handles ======================================================================== */

typedef struct tqrf_reader tqrf_reader;
typedef void(__cdecl* trace_fn)(void* user, int32_t event, int32_t result, const uint8_t* bytes,
                                uint32_t count, uint64_t time_us);
typedef int32_t(__cdecl* fn_open)(const char*, tqrf_reader**);
typedef int32_t(__cdecl* fn_r)(tqrf_reader*);
typedef int32_t(__cdecl* fn_r_i_i)(tqrf_reader*, int32_t, int32_t);
typedef int32_t(__cdecl* fn_r_i_pi)(tqrf_reader*, int32_t, int32_t*);
typedef int32_t(__cdecl* fn_r_trace)(tqrf_reader*, trace_fn, void*);
typedef int32_t(__cdecl* fn_cr)(const tqrf_reader*);
typedef const char*(__cdecl* fn_strerror)(int32_t);
typedef int32_t(__cdecl* fn_r_i_bytes)(tqrf_reader*, int32_t, uint8_t*);
typedef int32_t(__cdecl* fn_r_i_cbytes)(tqrf_reader*, int32_t, const uint8_t*);
typedef int32_t(__cdecl* fn_r_cbytes_bytes)(tqrf_reader*, const uint8_t*, uint8_t*);
typedef int32_t(__cdecl* fn_r_find)(tqrf_reader*, int32_t, uint8_t*, uint8_t*, uint8_t*);
typedef int32_t(__cdecl* fn_r_i_i_cbytes)(tqrf_reader*, int32_t, int32_t, const uint8_t*);
typedef int32_t(__cdecl* fn_r_i_u)(tqrf_reader*, int32_t, uint32_t);
typedef int32_t(__cdecl* fn_r_i_pu)(tqrf_reader*, int32_t, uint32_t*);
typedef int32_t(__cdecl* fn_r_i)(tqrf_reader*, int32_t);
typedef int32_t(__cdecl* fn_r_pu)(tqrf_reader*, uint32_t*);
typedef int32_t(__cdecl* fn_r_buf)(tqrf_reader*, uint8_t*, uint32_t, uint32_t*);
typedef int32_t(__cdecl* fn_r_i_buf)(tqrf_reader*, int32_t, uint8_t*, uint32_t, uint32_t*);
typedef int32_t(__cdecl* fn_r_cbytes)(tqrf_reader*, const uint8_t*);

/* The handle API's constants, as the header defines them. */
#define H_REQUEST_IDLE 0
#define H_REQUEST_ALL 1
#define H_KEY_A 0
#define H_OPTION_REPLY_MODE 1
#define H_OPTION_REPLY_SLACK_MS 2
#define H_REPLY_FIXED 0
#define H_REPLY_COMPLETE 1
#define H_TRACE_ADDRESS 1
#define H_TRACE_FRAME 2
#define H_TRACE_REPLY 3
#define H_TRACE_RESULT 4
#define H_ERR_PORT_OPEN_FAILED (-81)
#define H_ERR_REPLY_FRAME (-86)
#define H_ERR_BAD_ARGUMENT (-89)
#define H_ERR_BUFFER_TOO_SMALL (-90)

static struct {
    fn_open open;
    fn_r close;
    fn_r_i_i set_option;
    fn_r_i_pi get_option;
    fn_r_trace set_trace;
    fn_cr os_error;
    fn_strerror strerror_;
    fn_r_i_bytes request;
    fn_r_i_bytes anticoll;
    fn_r_cbytes_bytes select;
    fn_r_find find;
    fn_r halt;
    fn_r_i_i_cbytes loadkey;
    fn_r_i_i authenticate;
    fn_r_i_bytes read;
    fn_r_i_cbytes write;
    fn_r_i_u initval;
    fn_r_i_pu readval;
    fn_r_i_u increment;
    fn_r_i transfer;
    fn_r_pu id;
    fn_r_buf version;
    fn_r_i_buf e2_read;
    fn_r_i_cbytes e2_write;
    fn_r link_test;
    fn_r_buf clock_read;
    fn_r_cbytes clock_set;
} h;

static int load_handle_api(HMODULE dll) {
    struct export_slot table[] = {
        {"tqrf_reader_open", (FARPROC*)&h.open},
        {"tqrf_reader_close", (FARPROC*)&h.close},
        {"tqrf_reader_set_option", (FARPROC*)&h.set_option},
        {"tqrf_reader_get_option", (FARPROC*)&h.get_option},
        {"tqrf_reader_set_trace", (FARPROC*)&h.set_trace},
        {"tqrf_reader_os_error", (FARPROC*)&h.os_error},
        {"tqrf_strerror", (FARPROC*)&h.strerror_},
        {"tqrf_reader_request", (FARPROC*)&h.request},
        {"tqrf_reader_anticoll", (FARPROC*)&h.anticoll},
        {"tqrf_reader_select", (FARPROC*)&h.select},
        {"tqrf_reader_find", (FARPROC*)&h.find},
        {"tqrf_reader_halt", (FARPROC*)&h.halt},
        {"tqrf_reader_loadkey", (FARPROC*)&h.loadkey},
        {"tqrf_reader_authenticate", (FARPROC*)&h.authenticate},
        {"tqrf_reader_read", (FARPROC*)&h.read},
        {"tqrf_reader_write", (FARPROC*)&h.write},
        {"tqrf_reader_initval", (FARPROC*)&h.initval},
        {"tqrf_reader_readval", (FARPROC*)&h.readval},
        {"tqrf_reader_increment", (FARPROC*)&h.increment},
        {"tqrf_reader_transfer", (FARPROC*)&h.transfer},
        {"tqrf_reader_id", (FARPROC*)&h.id},
        {"tqrf_reader_hardware_version", (FARPROC*)&h.version},
        {"tqrf_reader_e2_read", (FARPROC*)&h.e2_read},
        {"tqrf_reader_e2_write", (FARPROC*)&h.e2_write},
        {"tqrf_reader_link_test", (FARPROC*)&h.link_test},
        {"tqrf_reader_clock_read", (FARPROC*)&h.clock_read},
        {"tqrf_reader_clock_set", (FARPROC*)&h.clock_set},
    };
    return bind_exports(dll, table, sizeof table / sizeof table[0]);
}

/* One exchange as the trace hook saw it: from the address byte to the call's result. */
typedef struct {
    uint64_t start_us;
    uint64_t end_us;
} exchange_t;

#define MAX_EXCHANGES 1024
/* Reply slack of the complete-mode sessions, in ms. */
#define SESSION_SLACK_MS 300
#define MAX_NOTES 6

/* One reader and the thread that drives it. */
typedef struct {
    /* Set up before the thread starts. */
    char name;         /* 'A' or 'B' */
    const char* port;  /* "COMn" */
    uint8_t uid[4];    /* the serial number its card answers with */
    uint32_t identity; /* its identity number */
    tqrf_reader* reader;
    HANDLE start; /* manual-reset event: every thread starts when it is set */
    int fixed;    /* this pass runs in fixed reply mode */
    int rounds;
    DWORD thread_id;

    /* The thread's own checks. */
    int calls;
    int failures;
    char notes[MAX_NOTES][200];

    /* What the trace hook saw (only ever written on the reader's thread). */
    int addresses, frames, replies, results, foreign;
    uint64_t pending_start, pending_frame;
    int pending;
    uint64_t min_reply_gap_us; /* frame to reply, the shortest */
    exchange_t exchanges[MAX_EXCHANGES];
    int exchange_count;
} session_t;

static void __cdecl on_trace(void* user, int32_t event, int32_t result, const uint8_t* bytes,
                             uint32_t count, uint64_t time_us) {
    session_t* s = (session_t*)user;
    (void)result;
    (void)bytes;
    (void)count;
    if (GetCurrentThreadId() != s->thread_id) ++s->foreign;
    switch (event) {
        case H_TRACE_ADDRESS:
            ++s->addresses;
            s->pending = 1;
            s->pending_start = time_us;
            break;
        case H_TRACE_FRAME:
            ++s->frames;
            s->pending_frame = time_us;
            break;
        case H_TRACE_REPLY:
            ++s->replies;
            if (s->pending &&
                (s->min_reply_gap_us == 0 || time_us - s->pending_frame < s->min_reply_gap_us)) {
                s->min_reply_gap_us = time_us - s->pending_frame;
            }
            break;
        case H_TRACE_RESULT:
            ++s->results;
            if (s->pending && s->exchange_count < MAX_EXCHANGES) {
                s->exchanges[s->exchange_count].start_us = s->pending_start;
                s->exchanges[s->exchange_count].end_us = time_us;
                ++s->exchange_count;
            }
            s->pending = 0;
            break;
        default:
            ++s->foreign; /* an event the header does not define */
            break;
    }
}

/* Records one check of a session thread; keeps the first few failures for the report. */
static void check(session_t* s, int ok, const char* fmt, ...) {
    ++s->calls;
    if (ok) return;
    if (s->failures < MAX_NOTES) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(s->notes[s->failures], sizeof s->notes[0], fmt, args);
        va_end(args);
    }
    ++s->failures;
}

/* Block data unique to the reader, the round and the block. */
static void block_pattern(const session_t* s, int round, int block, uint8_t out[16]) {
    int i;
    for (i = 0; i < 16; ++i) {
        out[i] = (uint8_t)((s->name == 'A' ? 0x00 : 0x80) ^ (round * 29 + block * 7 + i * 13) ^
                           (int)(s->identity >> (8 * (i & 3))));
    }
}

/* One round of card and reader work on the session's reader; every output byte is checked. */
static void session_round(session_t* s, int round) {
    static const uint8_t transport_key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    tqrf_reader* r = s->reader;
    const int sector = 1 + round % 15;
    const int first = 4 * sector;
    uint8_t type[2] = {0, 0}, serial[4] = {0, 0, 0, 0}, size = 0;
    uint8_t data[16], back[16], e2[16], e2_back[32];
    uint8_t version[64];
    uint32_t value = 0, id = 0, length = 0;
    int32_t res;
    int block;
    int i;

    /* Select the card: the three-step way in even rounds, the one-exchange find in odd ones.
     * Once halted (after the first round of the first pass) only a wake-up of all cards
     * reaches it. */
    const int32_t mode = round == 0 && !s->fixed ? H_REQUEST_IDLE : H_REQUEST_ALL;
    if (round % 2 == 0) {
        res = h.request(r, mode, type);
        check(s, res == 0 && type[0] == 0x04 && type[1] == 0x00,
              "round %d request: %ld, type %02X %02X", round, (long)res, type[0], type[1]);
        res = h.anticoll(r, 0, serial);
        check(s, res == 0 && memcmp(serial, s->uid, 4) == 0,
              "round %d anticoll: %ld, serial %02X%02X%02X%02X", round, (long)res, serial[0],
              serial[1], serial[2], serial[3]);
        res = h.select(r, s->uid, &size);
        check(s, res == 0 && size == 0x08, "round %d select: %ld, size %02X", round, (long)res,
              size);
    } else {
        res = h.find(r, mode, type, serial, &size);
        check(s,
              res == 0 && type[0] == 0x04 && type[1] == 0x00 && memcmp(serial, s->uid, 4) == 0 &&
                  size == 0x08,
              "round %d find: %ld, type %02X %02X serial %02X%02X%02X%02X size %02X", round,
              (long)res, type[0], type[1], serial[0], serial[1], serial[2], serial[3], size);
    }

    res = h.loadkey(r, H_KEY_A, sector, transport_key);
    check(s, res == 0, "round %d loadkey sector %d: %ld", round, sector, (long)res);
    res = h.authenticate(r, H_KEY_A, sector);
    check(s, res == 0, "round %d authenticate sector %d: %ld", round, sector, (long)res);

    for (block = first; block < first + 2; ++block) {
        block_pattern(s, round, block, data);
        res = h.write(r, block, data);
        check(s, res == 0, "round %d write block %d: %ld", round, block, (long)res);
        memset(back, 0, sizeof back);
        res = h.read(r, block, back);
        check(s, res == 0 && memcmp(back, data, 16) == 0,
              "round %d read block %d: %ld, %02X %02X .. %02X", round, block, (long)res, back[0],
              back[1], back[15]);
    }

    /* A value block: a start value unique to the reader, an increment, a transfer. */
    block = first + 2;
    {
        const uint32_t start = s->identity ^ (uint32_t)(round * 1000);
        const uint32_t amount = (uint32_t)(round + 1) * (s->name == 'A' ? 3u : 5u);
        res = h.initval(r, block, start);
        check(s, res == 0, "round %d initval block %d: %ld", round, block, (long)res);
        res = h.increment(r, block, amount);
        check(s, res == 0, "round %d increment block %d: %ld", round, block, (long)res);
        res = h.transfer(r, block);
        check(s, res == 0, "round %d transfer block %d: %ld", round, block, (long)res);
        res = h.readval(r, block, &value);
        check(s, res == 0 && value == start + amount,
              "round %d readval block %d: %ld, %lu want %lu", round, block, (long)res,
              (unsigned long)value, (unsigned long)(start + amount));
    }
    res = h.halt(r);
    check(s, res == 0, "round %d halt: %ld", round, (long)res);

    /* The reader itself. */
    res = h.id(r, &id);
    check(s, res == 0 && id == s->identity, "round %d id: %ld, %08lX want %08lX", round, (long)res,
          (unsigned long)id, (unsigned long)s->identity);

    /* Too small a buffer: -90 with the length that came, the buffer untouched. */
    memset(version, 0xC5, sizeof version);
    length = 0;
    res = h.version(r, version, 4, &length);
    check(s, res == H_ERR_BUFFER_TOO_SMALL && length > 4 && version[0] == 0xC5,
          "round %d version into 4 bytes: %ld, length %lu", round, (long)res,
          (unsigned long)length);
    {
        const uint32_t full = length;
        length = 0;
        res = h.version(r, version, sizeof version, &length);
        for (i = 0; res == 0 && i < (int)length && version[i] >= 0x20 && version[i] < 0x7F; ++i) {
        }
        check(s, res == 0 && length == full && i == (int)length && version[length] == 0xC5,
              "round %d version: %ld, length %lu (%lu before), %d printable", round, (long)res,
              (unsigned long)length, (unsigned long)full, i);
    }

    for (i = 0; i < 16; ++i) e2[i] = (uint8_t)(s->name + round * 16 + i);
    res = h.e2_write(r, 0x40, e2);
    check(s, res == 0, "round %d E2PROM write: %ld", round, (long)res);
    memset(e2_back, 0, sizeof e2_back);
    length = 0;
    res = h.e2_read(r, 0x40, e2_back, sizeof e2_back, &length);
    check(s, res == 0 && length == 16 && memcmp(e2_back, e2, 16) == 0,
          "round %d E2PROM read back: %ld, length %lu, %02X .. %02X", round, (long)res,
          (unsigned long)length, e2_back[0], e2_back[15]);

    res = h.link_test(r);
    check(s, res == 0, "round %d link test: %ld", round, (long)res);
}

/* The clock steps that tell the reply modes apart, against the simulator's clock-read faults
 * (see the usage above). */
static void session_clock(session_t* s) {
    /* BCD second, minute, hour, day, month, weekday, year: 16:15:30 on Tuesday 8 December
     * 2026. */
    static const uint8_t clock_set[7] = {0x30, 0x15, 0x16, 0x08, 0x12, 0x02, 0x26};
    tqrf_reader* r = s->reader;
    uint8_t clock[16];
    uint32_t length = 0, id = 0;
    int32_t res;

    res = h.clock_set(r, clock_set);
    check(s, res == 0, "clock set: %ld", (long)res);
    if (!s->fixed) {
        /* 150 ms late: within the deadline of 40 ms plus 600 ms slack. */
        res = h.set_option(r, H_OPTION_REPLY_SLACK_MS, 600);
        check(s, res == 0, "slack 600: %ld", (long)res);
        memset(clock, 0, sizeof clock);
        res = h.clock_read(r, clock, sizeof clock, &length);
        check(s, res == 0 && length == 7 && memcmp(clock + 1, clock_set + 1, 6) == 0,
              "clock read 150 ms late, 600 ms slack: %ld, length %lu", (long)res,
              (unsigned long)length);
        res = h.set_option(r, H_OPTION_REPLY_SLACK_MS, SESSION_SLACK_MS);
        check(s, res == 0, "slack back: %ld", (long)res);
        /* Three bytes behind the frame: the frame is complete without them. */
        memset(clock, 0, sizeof clock);
        res = h.clock_read(r, clock, sizeof clock, &length);
        check(s, res == 0 && length == 7 && memcmp(clock + 1, clock_set + 1, 6) == 0,
              "clock read with trailing bytes: %ld, length %lu", (long)res, (unsigned long)length);
    } else {
        /* The same reply read after the fixed pause: too long for its length field. */
        memset(clock, 0xC5, sizeof clock);
        length = 0xC5C5C5C5u;
        res = h.clock_read(r, clock, sizeof clock, &length);
        check(s, res == H_ERR_REPLY_FRAME && length == 0xC5C5C5C5u && clock[0] == 0xC5,
              "clock read with trailing bytes, fixed: %ld (want -86, outputs untouched)",
              (long)res);
    }
    /* The next command gets its own reply, not the rest of that one. */
    res = h.id(r, &id);
    check(s, res == 0 && id == s->identity, "id after the clock reads: %ld, %08lX", (long)res,
          (unsigned long)id);
}

static DWORD WINAPI session_thread(void* arg) {
    session_t* s = (session_t*)arg;
    int round;
    WaitForSingleObject(s->start, INFINITE);
    /* Complete mode returns as soon as a reply is complete, so a slack costs nothing while the
     * simulator keeps up; it keeps a loaded machine's scheduling stalls from failing a
     * command. */
    if (!s->fixed) {
        const int32_t res = h.set_option(s->reader, H_OPTION_REPLY_SLACK_MS, SESSION_SLACK_MS);
        check(s, res == 0, "slack %d: %ld", SESSION_SLACK_MS, (long)res);
    }
    for (round = 0; round < s->rounds; ++round) session_round(s, round);
    session_clock(s);
    return 0;
}

/* How many exchanges of `a` overlapped one of `b` in time. */
static int overlapping(const session_t* a, const session_t* b) {
    int i, j = 0, count = 0;
    for (i = 0; i < a->exchange_count; ++i) {
        while (j < b->exchange_count && b->exchanges[j].end_us <= a->exchanges[i].start_us) ++j;
        if (j < b->exchange_count && b->exchanges[j].start_us < a->exchanges[i].end_us) ++count;
    }
    return count;
}

/* One pass: both readers in the given reply mode, each from its own thread, at once. */
static void two_reader_pass(session_t* sessions, int fixed, int rounds) {
    const char* mode_name = fixed ? "fixed" : "complete";
    HANDLE threads[2];
    HANDLE start = CreateEventA(NULL, TRUE, FALSE, NULL);
    char label[64];
    int i;
    int32_t res, value;

    for (i = 0; i < 2; ++i) {
        session_t* s = &sessions[i];
        s->start = start;
        s->fixed = fixed;
        s->rounds = rounds;
        s->calls = s->failures = 0;
        s->addresses = s->frames = s->replies = s->results = s->foreign = 0;
        s->pending = 0;
        s->min_reply_gap_us = 0;
        s->exchange_count = 0;
        res =
            h.set_option(s->reader, H_OPTION_REPLY_MODE, fixed ? H_REPLY_FIXED : H_REPLY_COMPLETE);
        value = -1;
        if (res == 0) res = h.get_option(s->reader, H_OPTION_REPLY_MODE, &value);
        snprintf(label, sizeof label, "%c: %s mode", s->name, mode_name);
        step(label, res == 0 && value == (fixed ? H_REPLY_FIXED : H_REPLY_COMPLETE), res,
             "option reads %ld", (long)value);
        threads[i] = CreateThread(NULL, 0, session_thread, s, CREATE_SUSPENDED, &s->thread_id);
        if (threads[i] == NULL) {
            step("CreateThread", 0, 0, "error %lu", (unsigned long)GetLastError());
            exit(1);
        }
        res = h.set_trace(s->reader, on_trace, s);
        step(label, res == 0, res, "trace hook set");
        ResumeThread(threads[i]);
    }
    SetEvent(start);
    /* Bounded: a session that hangs fails the run instead of blocking it. */
    if (WaitForMultipleObjects(2, threads, TRUE, 120000) != WAIT_OBJECT_0) {
        step("two sessions at once", 0, 0, "still running after 120 s");
        printf("FAIL: the sessions did not end\n");
        fflush(stdout);
        ExitProcess(1);
    }
    for (i = 0; i < 2; ++i) {
        session_t* s = &sessions[i];
        int n;
        CloseHandle(threads[i]);
        (void)h.set_trace(s->reader, NULL, NULL);
        g_requests += s->frames;
        snprintf(label, sizeof label, "%c: %s sessions", s->name, mode_name);
        step(label, s->failures == 0, 0, "%d rounds, %d checks, %d failed", rounds, s->calls,
             s->failures);
        for (n = 0; n < s->failures && n < MAX_NOTES; ++n) printf("       %s\n", s->notes[n]);
        snprintf(label, sizeof label, "%c: %s trace", s->name, mode_name);
        step(label,
             s->foreign == 0 && s->addresses == s->frames && s->replies == s->frames &&
                 s->exchange_count == s->frames && s->frames > 0,
             0, "%d address bytes, %d frames, %d replies, %d results, %d on other threads",
             s->addresses, s->frames, s->replies, s->results, s->foreign);
        if (fixed) {
            /* The fixed pause is never shorter than 40 ms. */
            snprintf(label, sizeof label, "%c: fixed pause", s->name);
            step(label, s->min_reply_gap_us >= 40000, 0, "shortest frame-to-reply %lu us",
                 (unsigned long)s->min_reply_gap_us);
        }
    }
    {
        const int both = overlapping(&sessions[0], &sessions[1]);
        snprintf(label, sizeof label, "A+B: %s at once", mode_name);
        step(label, both > 0, 0, "%d of %d exchanges of A overlapped one of B", both,
             sessions[0].exchange_count);
    }
    CloseHandle(start);
}

/* Reads "3A7C91E5" into the four serial number bytes as the reader sends them. */
static int parse_uid(const char* text, uint8_t uid[4]) {
    int i;
    if (strlen(text) != 8) return 0;
    for (i = 0; i < 4; ++i) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char* end = NULL;
        const unsigned long v = strtoul(pair, &end, 16);
        if (end != pair + 2) return 0;
        uid[i] = (uint8_t)v;
    }
    return 1;
}

/* True under Wine, which does not refuse a second open of a port that is open already. */
static int running_on_wine(void) {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

static int readers_main(HMODULE dll, int argc, char** argv) {
    session_t* sessions;
    tqrf_reader* extra = NULL;
    int32_t r;
    int i;

    if (argc < 9) {
        fprintf(stderr,
                "usage: %s DLL readers PORT_A UID_A ID_A PORT_B UID_B ID_B [MISSING_PORT]\n",
                argv[0]);
        return 2;
    }
    if (!load_handle_api(dll)) return 1;
    /* Large (the exchange records): not on the stack. */
    sessions = (session_t*)calloc(2, sizeof *sessions);
    if (sessions == NULL) return 1;
    for (i = 0; i < 2; ++i) {
        session_t* s = &sessions[i];
        s->name = (char)('A' + i);
        s->port = argv[3 + 3 * i];
        s->identity = (uint32_t)strtoul(argv[5 + 3 * i], NULL, 16);
        if (!parse_uid(argv[4 + 3 * i], s->uid)) {
            fprintf(stderr, "bad UID %s (8 hex digits)\n", argv[4 + 3 * i]);
            return 2;
        }
    }

    r = h.open(NULL, &extra);
    step("reader_open(NULL)", r == H_ERR_BAD_ARGUMENT && extra == NULL, r, "want -89");
    if (argc > 9 && strcmp(argv[9], "-") != 0) {
        r = h.open(argv[9], &extra);
        step("reader_open missing port", r == H_ERR_PORT_OPEN_FAILED && extra == NULL, r,
             "%s, want -81, OS error %ld", argv[9], (long)h.os_error(NULL));
    }
    for (i = 0; i < 2; ++i) {
        session_t* s = &sessions[i];
        char label[64];
        int32_t mode = -1;
        snprintf(label, sizeof label, "%c: reader_open", s->name);
        r = h.open(s->port, &s->reader);
        step(label, r == 0 && s->reader != NULL, r, "%s", s->port);
        if (r != 0) {
            printf("FAIL: the readers did not open; %d of %d steps failed\n", g_failures + 1,
                   g_steps);
            return 1;
        }
        r = h.get_option(s->reader, H_OPTION_REPLY_MODE, &mode);
        snprintf(label, sizeof label, "%c: default reply mode", s->name);
        step(label, r == 0 && mode == H_REPLY_COMPLETE, r, "%ld (want complete, 1)", (long)mode);
    }
    r = h.set_option(sessions[0].reader, H_OPTION_REPLY_SLACK_MS, 1001);
    step("slack 1001 refused", r == H_ERR_BAD_ARGUMENT, r, "%s", h.strerror_(r));
    if (running_on_wine()) {
        /* Wine does not enforce exclusive opens of a port (Windows does): a second open would
         * succeed and its line settings would go to the first reader's line. */
        printf(
            "note A opened twice             skipped: Wine does not enforce exclusive port "
            "opens\n");
    } else {
        r = h.open(sessions[0].port, &extra);
        step("A opened twice", r == H_ERR_PORT_OPEN_FAILED && extra == NULL, r, "want -81");
        if (r == 0) h.close(extra);
    }

    two_reader_pass(sessions, 0, 10);
    two_reader_pass(sessions, 1, 2);

    for (i = 0; i < 2; ++i) {
        char label[64];
        snprintf(label, sizeof label, "%c: reader_close", sessions[i].name);
        r = h.close(sessions[i].reader);
        step(label, r == 0, r, NULL);
    }
    free(sessions);
    FreeLibrary(dll);
    printf("requests: %d\n", g_requests);
    if (g_failures != 0) {
        printf("FAIL: %d of %d steps failed\n", g_failures, g_steps);
        return 1;
    }
    printf("PASS: all %d steps worked\n", g_steps);
    return 0;
}

/* Prints a line the end-to-end script waits for, at once. */
static void announce(const char* fmt, const char* port) {
    printf(fmt, port);
    printf("\n");
    fflush(stdout);
}

/* Device loss: the script ends the simulator behind PORT when it reads "waiting for the loss
 * of PORT", and starts a new one (identity ID_AFTER) on the same COM name when it reads
 * "waiting for PORT again". */
static int lose_main(HMODULE dll, int argc, char** argv) {
    const char* port;
    uint32_t id_before, id_after, id = 0;
    tqrf_reader* r = NULL;
    int32_t res = 0;
    int tries;

    if (argc < 6) {
        fprintf(stderr, "usage: %s DLL lose PORT ID_BEFORE ID_AFTER\n", argv[0]);
        return 2;
    }
    if (!load_handle_api(dll)) return 1;
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
    if (g_failures != 0) {
        printf("FAIL: %d of %d steps failed\n", g_failures, g_steps);
        return 1;
    }
    printf("PASS: all %d steps worked\n", g_steps);
    return 0;
}

int main(int argc, char** argv) {
    HMODULE dll;
    char name[64];
    char port_digits[64];
    int32_t e2_address = 0x30;
    int32_t r;

    if (argc < 3) {
        fprintf(stderr,
                "usage: %s DLL PORT [MISSING_PORT|-] [E2PROM_ADDRESS] [faults]\n"
                "       %s DLL readers PORT_A UID_A ID_A PORT_B UID_B ID_B [MISSING_PORT|-]\n"
                "       %s DLL lose PORT ID_BEFORE ID_AFTER\n",
                argv[0], argv[0], argv[0]);
        return 2;
    }
    if (argc > 4) e2_address = (int32_t)strtol(argv[4], NULL, 0);

    dll = LoadLibraryA(argv[1]);
    if (dll == NULL) {
        printf("FAIL LoadLibraryA %s: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }
    printf("loaded %s (%d-bit host)\n", argv[1], (int)(8 * sizeof(void*)));
    if (strcmp(argv[2], "readers") == 0) return readers_main(dll, argc, argv);
    if (strcmp(argv[2], "lose") == 0) return lose_main(dll, argc, argv);
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
