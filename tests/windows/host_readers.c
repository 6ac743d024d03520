/* The second form of the Windows host: two readers opened with tqrf_reader_open() and driven
 * from two threads at once, in complete and in fixed reply mode. */
#include "host.h"

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
    res = h.hardware_version(r, version, 4, &length);
    check(s, res == H_ERR_BUFFER_TOO_SMALL && length > 4 && version[0] == 0xC5,
          "round %d version into 4 bytes: %ld, length %lu", round, (long)res,
          (unsigned long)length);
    {
        const uint32_t full = length;
        length = 0;
        res = h.hardware_version(r, version, sizeof version, &length);
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

int readers_main(HMODULE dll, int argc, char** argv) {
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
    if (!load_exports(dll)) return 1;
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
    return finish();
}
