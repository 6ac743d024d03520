/*
 * The Windows host program's view of tq_RWD_DLL.dll: the function-pointer types a host
 * application types for itself (no header of the library), every export the host binds, named
 * once in the lists below, and what the three forms of the program share. The export-list check
 * (tests/bindings) compares each type here with the library's header.
 */
#ifndef TQRF_WIN_HOST_H
#define TQRF_WIN_HOST_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* ---- The legacy exports --------------------------------------------------------------------- */

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

/* ---- The reader handle API ------------------------------------------------------------------ */

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

/* ---- Every export the host binds, named once --------------------------------------------- */

/* X(struct, type, member, export name): api.member is a legacy export, h.member one of the
 * reader handle API. */
#define HOST_EXPORTS(X)                                              \
    X(api, fn_char_p, init, "tqrf_init")                             \
    X(api, fn_void, exit_, "tqrf_exit")                              \
    X(api, fn_cchar_p, baud_setup, "tqrf_BaudSetup")                 \
    X(api, fn_i_bytes, request, "tqrf_request")                      \
    X(api, fn_i_bytes, anticoll, "tqrf_anticoll")                    \
    X(api, fn_cbytes_bytes, select, "tqrf_select")                   \
    X(api, fn_void, halt, "tqrf_halt")                               \
    X(api, fn_i_i_cbytes, loadkey, "tqrf_loadkey")                   \
    X(api, fn_i_i, authentication, "tqrf_authentication")            \
    X(api, fn_i_bytes, read, "tqrf_read")                            \
    X(api, fn_i_cbytes, write, "tqrf_write")                         \
    X(api, fn_i_u, initval, "tqrf_initval")                          \
    X(api, fn_i_pu, readval, "tqrf_readval")                         \
    X(api, fn_i_u, increment, "tqrf_increment")                      \
    X(api, fn_i, transfer, "tqrf_transfer")                          \
    X(api, fn_bytes, read_version, "tqrf_ReadHardwareVersionNumber") \
    X(api, fn_pu, read_id, "tqrf_Read_RWD_ID")                       \
    X(api, fn_void, link_test, "tqrf_Link_PCandRWD")                 \
    X(api, fn_i_bytes, read_e2, "tqrf_Read_RC500E2")                 \
    X(api, fn_i_cbytes, write_e2, "tqrf_Write_RC500E2")              \
    X(api, fn_i_i, beep, "tqrf_BeepControl")                         \
    X(api, fn_bytes, read_clock, "tqrf_UploadRTC")                   \
    X(api, fn_cbytes, set_clock, "tqrf_DownloadRTC")                 \
    X(api, fn_i_i_text3, card_asc, "tqrf_card_asc")                  \
    X(api, fn_i_text, rd_asc, "tqrf_rd_asc")                         \
    X(h, fn_open, open, "tqrf_reader_open")                          \
    X(h, fn_r, close, "tqrf_reader_close")                           \
    X(h, fn_r_i_i, set_option, "tqrf_reader_set_option")             \
    X(h, fn_r_i_pi, get_option, "tqrf_reader_get_option")            \
    X(h, fn_r_trace, set_trace, "tqrf_reader_set_trace")             \
    X(h, fn_cr, os_error, "tqrf_reader_os_error")                    \
    X(h, fn_strerror, strerror_, "tqrf_strerror")                    \
    X(h, fn_r_i_bytes, request, "tqrf_reader_request")               \
    X(h, fn_r_i_bytes, anticoll, "tqrf_reader_anticoll")             \
    X(h, fn_r_cbytes_bytes, select, "tqrf_reader_select")            \
    X(h, fn_r_find, find, "tqrf_reader_find")                        \
    X(h, fn_r, halt, "tqrf_reader_halt")                             \
    X(h, fn_r_i_i_cbytes, loadkey, "tqrf_reader_loadkey")            \
    X(h, fn_r_i_i, authenticate, "tqrf_reader_authenticate")         \
    X(h, fn_r_i_bytes, read, "tqrf_reader_read")                     \
    X(h, fn_r_i_cbytes, write, "tqrf_reader_write")                  \
    X(h, fn_r_i_u, initval, "tqrf_reader_initval")                   \
    X(h, fn_r_i_pu, readval, "tqrf_reader_readval")                  \
    X(h, fn_r_i_u, increment, "tqrf_reader_increment")               \
    X(h, fn_r_i, transfer, "tqrf_reader_transfer")                   \
    X(h, fn_r_pu, id, "tqrf_reader_id")                              \
    X(h, fn_r_buf, version, "tqrf_reader_hardware_version")          \
    X(h, fn_r_i_buf, e2_read, "tqrf_reader_e2_read")                 \
    X(h, fn_r_i_cbytes, e2_write, "tqrf_reader_e2_write")            \
    X(h, fn_r, link_test, "tqrf_reader_link_test")                   \
    X(h, fn_r_buf, clock_read, "tqrf_reader_clock_read")             \
    X(h, fn_r_cbytes, clock_set, "tqrf_reader_clock_set")

#define HOST_ONLY_api_api(x) x
#define HOST_ONLY_api_h(x)
#define HOST_ONLY_h_api(x)
#define HOST_ONLY_h_h(x) x
#define HOST_LEGACY_MEMBER(s, type, member, name) HOST_ONLY_api_##s(type member;)
#define HOST_HANDLE_MEMBER(s, type, member, name) HOST_ONLY_h_##s(type member;)
extern struct host_legacy_api { HOST_EXPORTS(HOST_LEGACY_MEMBER) } api;
extern struct host_handle_api { HOST_EXPORTS(HOST_HANDLE_MEMBER) } h;

/* Looks every export up in the DLL; reports each one missing as a failed step. True when all
 * were found. */
int load_exports(HMODULE dll);

/* ---- Steps ---------------------------------------------------------------------------------- */

extern int g_failures;
extern int g_steps;
/* Requests handed to the library while the port is open: each puts one address byte and one
 * frame on the line, which the end-to-end check counts in the serial trace. */
extern int g_requests;
#define REQ(call) (++g_requests, (call))

/* Prints one step line: "ok  " or "FAIL", the step, the result and details. */
void step(const char* name, int ok, int32_t result, const char* fmt, ...);
void to_hex(const uint8_t* bytes, size_t count, char* out);
/* Prints the requests count and the verdict; the program's exit code. */
int finish(void);

/* ---- The three forms ------------------------------------------------------------------------ */

int legacy_main(HMODULE dll, int argc, char** argv);
int readers_main(HMODULE dll, int argc, char** argv);
int lose_main(HMODULE dll, int argc, char** argv);

#endif
