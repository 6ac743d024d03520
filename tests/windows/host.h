/*
 * The Windows host program's view of tq_RWD_DLL.dll: the function-pointer types a host
 * application types for itself (no header of the library) and every export the host binds, in
 * host_exports.g.h; the structures api and h that hold them, and what the three forms of the
 * program share. The export-list check (tests/bindings) compares each type with the header.
 */
#ifndef TQRF_WIN_HOST_H
#define TQRF_WIN_HOST_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

/* ---- The exports ----------------------------------------------------------------------------- */

/* The function-pointer types and HOST_EXPORTS(X), written from the library's header by
 * scripts/gen-lists.py. */
#include "host_exports.g.h"

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

/* ---- The exports the host binds -------------------------------------------------------------- */

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

/* ---- Steps ----------------------------------------------------------------------------------- */

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

/* ---- The three forms ------------------------------------------------------------------------- */

int legacy_main(HMODULE dll, int argc, char** argv);
int readers_main(HMODULE dll, int argc, char** argv);
int lose_main(HMODULE dll, int argc, char** argv);

#endif
