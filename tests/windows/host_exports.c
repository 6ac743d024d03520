/* Binding the exports the Windows host uses, and the step lines every form prints. */
#include "host.h"

struct host_legacy_api api;
struct host_handle_api h;

int g_failures = 0;
int g_steps = 0;
int g_requests = 0;

void step(const char* name, int ok, int32_t result, const char* fmt, ...) {
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

void to_hex(const uint8_t* bytes, size_t count, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    size_t i;
    for (i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[2 * count] = '\0';
}

int finish(void) {
    if (g_failures != 0) {
        printf("FAIL: %d of %d steps failed\n", g_failures, g_steps);
        return 1;
    }
    printf("PASS: all %d steps worked\n", g_steps);
    return 0;
}

/* An export the host looks up, and where its address goes. */
struct export_slot {
    const char* name;
    FARPROC* slot;
};

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

#define HOST_SLOT(s, type, member, name) {name, (FARPROC*)&s.member},

int load_exports(HMODULE dll) {
    struct export_slot table[] = {HOST_EXPORTS(HOST_SLOT)};
    return bind_exports(dll, table, sizeof table / sizeof table[0]);
}
