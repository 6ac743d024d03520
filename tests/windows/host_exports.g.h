/*
 * The Windows host's view of the library's exports: a __cdecl function-pointer type for each
 * export it binds, as a host application types them for itself (no header of the library), and
 * HOST_EXPORTS(X), which names each export once: X(struct, type, member, "export"), api.member
 * a legacy export, h.member one of the reader handle API. Exports that take the library's
 * structures are left out.
 *
 * Written by scripts/gen-lists.py from include/tq_RWD_DLL.h and link/commands.h: do not edit.
 * Change them, then run: python3 scripts/gen-lists.py --write
 */
#ifndef TQRF_WIN_HOST_EXPORTS_G_H
#define TQRF_WIN_HOST_EXPORTS_G_H

#include <stdint.h>

/* clang-format off */
typedef struct tqrf_reader tqrf_reader;
typedef void(__cdecl* tqrf_trace_fn)(void* user, int32_t event, int32_t result, const uint8_t* bytes, uint32_t count, uint64_t time_us);

typedef const char*(__cdecl* fn_tqrf_version)(void);
typedef int32_t(__cdecl* fn_tqrf_init)(char* port_name);
typedef int32_t(__cdecl* fn_tqrf_init_device)(const char* device_path);
typedef int32_t(__cdecl* fn_tqrf_exit)(void);
typedef int32_t(__cdecl* fn_tqrf_BaudSetup)(const char* rate);
typedef int32_t(__cdecl* fn_tqrf_request)(int32_t mode, uint8_t* card_type);
typedef int32_t(__cdecl* fn_tqrf_request_2)(int32_t mode, uint8_t* card_type);
typedef int32_t(__cdecl* fn_tqrf_anticoll)(int32_t arg, uint8_t* serial);
typedef int32_t(__cdecl* fn_tqrf_select)(const uint8_t* serial, uint8_t* size);
typedef int32_t(__cdecl* fn_tqrf_halt)(void);
typedef int32_t(__cdecl* fn_tqrf_loadkey)(int32_t key_type, int32_t sector, const uint8_t* key);
typedef int32_t(__cdecl* fn_tqrf_authentication)(int32_t key_type, int32_t sector);
typedef int32_t(__cdecl* fn_tqrf_authentication_2)(int32_t key_type, int32_t sector, int32_t block);
typedef int32_t(__cdecl* fn_tqrf_read)(int32_t block, uint8_t* data);
typedef int32_t(__cdecl* fn_tqrf_write)(int32_t block, const uint8_t* data);
typedef int32_t(__cdecl* fn_tqrf_initval)(int32_t block, uint32_t value);
typedef int32_t(__cdecl* fn_tqrf_readval)(int32_t block, uint32_t* value);
typedef int32_t(__cdecl* fn_tqrf_increment)(int32_t block, uint32_t amount);
typedef int32_t(__cdecl* fn_tqrf_decrement)(int32_t block, uint32_t amount);
typedef int32_t(__cdecl* fn_tqrf_restore)(int32_t block);
typedef int32_t(__cdecl* fn_tqrf_transfer)(int32_t block);
typedef int32_t(__cdecl* fn_tqrf_reset)(int32_t reserved);
typedef int32_t(__cdecl* fn_tqrf_ReadHardwareVersionNumber)(uint8_t* version);
typedef int32_t(__cdecl* fn_tqrf_Read_RWD_ID)(uint32_t* id);
typedef int32_t(__cdecl* fn_tqrf_Read_RC500E2)(int32_t address, uint8_t* data);
typedef int32_t(__cdecl* fn_tqrf_Write_RC500E2)(int32_t address, const uint8_t* data);
typedef int32_t(__cdecl* fn_tqrf_Link_PCandRWD)(void);
typedef int32_t(__cdecl* fn_tqrf_BeepControl)(int32_t mode, int32_t duration);
typedef int32_t(__cdecl* fn_tqrf_UploadRTC)(uint8_t* clock);
typedef int32_t(__cdecl* fn_tqrf_DownloadRTC)(const uint8_t* clock);
typedef int32_t(__cdecl* fn_tqrf_loadkey_asc)(int32_t key_type, int32_t sector, const char* key_text);
typedef int32_t(__cdecl* fn_tqrf_card_asc_1)(int32_t mode, int32_t arg, char* type_text, char* serial_text, char* size_text);
typedef int32_t(__cdecl* fn_tqrf_card_asc)(int32_t mode, int32_t reserved, char* type_text, char* serial_text, char* size_text);
typedef int32_t(__cdecl* fn_tqrf_rd_asc)(int32_t block, char* block_text);
typedef int32_t(__cdecl* fn_tqrf_wr_asc)(int32_t block, const char* block_text);
typedef int32_t(__cdecl* fn_tqrf_reader_open)(const char* port, tqrf_reader** out);
typedef int32_t(__cdecl* fn_tqrf_reader_close)(tqrf_reader* r);
typedef int32_t(__cdecl* fn_tqrf_reader_set_baud)(tqrf_reader* r, uint32_t rate);
typedef int32_t(__cdecl* fn_tqrf_reader_set_option)(tqrf_reader* r, int32_t option, int32_t value);
typedef int32_t(__cdecl* fn_tqrf_reader_get_option)(tqrf_reader* r, int32_t option, int32_t* value);
typedef int32_t(__cdecl* fn_tqrf_reader_set_trace)(tqrf_reader* r, tqrf_trace_fn fn, void* user);
typedef int32_t(__cdecl* fn_tqrf_reader_os_error)(const tqrf_reader* r);
typedef const char*(__cdecl* fn_tqrf_strerror)(int32_t result);
typedef int32_t(__cdecl* fn_tqrf_refusal_text)(int32_t command, int32_t status, char* text, uint32_t size);
typedef int32_t(__cdecl* fn_tqrf_reader_last_refusal)(tqrf_reader* r, char* text, uint32_t size);
typedef int32_t(__cdecl* fn_tqrf_reader_request)(tqrf_reader* r, int32_t mode, uint8_t type[2]);
typedef int32_t(__cdecl* fn_tqrf_reader_anticoll)(tqrf_reader* r, int32_t arg, uint8_t serial[4]);
typedef int32_t(__cdecl* fn_tqrf_reader_select)(tqrf_reader* r, const uint8_t serial[4], uint8_t* size);
typedef int32_t(__cdecl* fn_tqrf_reader_find)(tqrf_reader* r, int32_t mode, uint8_t type[2], uint8_t serial[4], uint8_t* size);
typedef int32_t(__cdecl* fn_tqrf_reader_halt)(tqrf_reader* r);
typedef int32_t(__cdecl* fn_tqrf_reader_loadkey)(tqrf_reader* r, int32_t key_type, int32_t sector, const uint8_t key[6]);
typedef int32_t(__cdecl* fn_tqrf_reader_authenticate)(tqrf_reader* r, int32_t key_type, int32_t sector);
typedef int32_t(__cdecl* fn_tqrf_reader_read)(tqrf_reader* r, int32_t block, uint8_t data[16]);
typedef int32_t(__cdecl* fn_tqrf_reader_write)(tqrf_reader* r, int32_t block, const uint8_t data[16]);
typedef int32_t(__cdecl* fn_tqrf_reader_initval)(tqrf_reader* r, int32_t block, uint32_t value);
typedef int32_t(__cdecl* fn_tqrf_reader_readval)(tqrf_reader* r, int32_t block, uint32_t* value);
typedef int32_t(__cdecl* fn_tqrf_reader_increment)(tqrf_reader* r, int32_t block, uint32_t amount);
typedef int32_t(__cdecl* fn_tqrf_reader_decrement)(tqrf_reader* r, int32_t block, uint32_t amount);
typedef int32_t(__cdecl* fn_tqrf_reader_restore)(tqrf_reader* r, int32_t block);
typedef int32_t(__cdecl* fn_tqrf_reader_transfer)(tqrf_reader* r, int32_t block);
typedef int32_t(__cdecl* fn_tqrf_reader_value_apply)(tqrf_reader* r, int32_t block, int32_t delta, uint32_t* before, uint32_t* after);
typedef int32_t(__cdecl* fn_tqrf_reader_reset)(tqrf_reader* r);
typedef int32_t(__cdecl* fn_tqrf_reader_hardware_version)(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length);
typedef int32_t(__cdecl* fn_tqrf_reader_id)(tqrf_reader* r, uint32_t* id);
typedef int32_t(__cdecl* fn_tqrf_reader_e2_read)(tqrf_reader* r, int32_t address, uint8_t* out, uint32_t capacity, uint32_t* length);
typedef int32_t(__cdecl* fn_tqrf_reader_e2_write)(tqrf_reader* r, int32_t address, const uint8_t data[16]);
typedef int32_t(__cdecl* fn_tqrf_reader_link_test)(tqrf_reader* r);
typedef int32_t(__cdecl* fn_tqrf_reader_beep)(tqrf_reader* r, int32_t mode, int32_t duration);
typedef int32_t(__cdecl* fn_tqrf_reader_clock_read)(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length);
typedef int32_t(__cdecl* fn_tqrf_reader_clock_set)(tqrf_reader* r, const uint8_t clock[7]);
typedef int32_t(__cdecl* fn_tqrf_com_port_path)(const char* name, char* path, uint32_t capacity);
typedef int32_t(__cdecl* fn_tqrf_reader_last_answer)(tqrf_reader* r);

#define HOST_EXPORTS(X) \
    X(api, fn_tqrf_version, version, "tqrf_version") \
    X(api, fn_tqrf_init, init, "tqrf_init") \
    X(api, fn_tqrf_init_device, init_device, "tqrf_init_device") \
    X(api, fn_tqrf_exit, exit_, "tqrf_exit") \
    X(api, fn_tqrf_BaudSetup, BaudSetup, "tqrf_BaudSetup") \
    X(api, fn_tqrf_request, request, "tqrf_request") \
    X(api, fn_tqrf_request_2, request_2, "tqrf_request_2") \
    X(api, fn_tqrf_anticoll, anticoll, "tqrf_anticoll") \
    X(api, fn_tqrf_select, select, "tqrf_select") \
    X(api, fn_tqrf_halt, halt, "tqrf_halt") \
    X(api, fn_tqrf_loadkey, loadkey, "tqrf_loadkey") \
    X(api, fn_tqrf_authentication, authentication, "tqrf_authentication") \
    X(api, fn_tqrf_authentication_2, authentication_2, "tqrf_authentication_2") \
    X(api, fn_tqrf_read, read, "tqrf_read") \
    X(api, fn_tqrf_write, write, "tqrf_write") \
    X(api, fn_tqrf_initval, initval, "tqrf_initval") \
    X(api, fn_tqrf_readval, readval, "tqrf_readval") \
    X(api, fn_tqrf_increment, increment, "tqrf_increment") \
    X(api, fn_tqrf_decrement, decrement, "tqrf_decrement") \
    X(api, fn_tqrf_restore, restore, "tqrf_restore") \
    X(api, fn_tqrf_transfer, transfer, "tqrf_transfer") \
    X(api, fn_tqrf_reset, reset, "tqrf_reset") \
    X(api, fn_tqrf_ReadHardwareVersionNumber, ReadHardwareVersionNumber, "tqrf_ReadHardwareVersionNumber") \
    X(api, fn_tqrf_Read_RWD_ID, Read_RWD_ID, "tqrf_Read_RWD_ID") \
    X(api, fn_tqrf_Read_RC500E2, Read_RC500E2, "tqrf_Read_RC500E2") \
    X(api, fn_tqrf_Write_RC500E2, Write_RC500E2, "tqrf_Write_RC500E2") \
    X(api, fn_tqrf_Link_PCandRWD, Link_PCandRWD, "tqrf_Link_PCandRWD") \
    X(api, fn_tqrf_BeepControl, BeepControl, "tqrf_BeepControl") \
    X(api, fn_tqrf_UploadRTC, UploadRTC, "tqrf_UploadRTC") \
    X(api, fn_tqrf_DownloadRTC, DownloadRTC, "tqrf_DownloadRTC") \
    X(api, fn_tqrf_loadkey_asc, loadkey_asc, "tqrf_loadkey_asc") \
    X(api, fn_tqrf_card_asc_1, card_asc_1, "tqrf_card_asc_1") \
    X(api, fn_tqrf_card_asc, card_asc, "tqrf_card_asc") \
    X(api, fn_tqrf_rd_asc, rd_asc, "tqrf_rd_asc") \
    X(api, fn_tqrf_wr_asc, wr_asc, "tqrf_wr_asc") \
    X(h, fn_tqrf_reader_open, open, "tqrf_reader_open") \
    X(h, fn_tqrf_reader_close, close, "tqrf_reader_close") \
    X(h, fn_tqrf_reader_set_baud, set_baud, "tqrf_reader_set_baud") \
    X(h, fn_tqrf_reader_set_option, set_option, "tqrf_reader_set_option") \
    X(h, fn_tqrf_reader_get_option, get_option, "tqrf_reader_get_option") \
    X(h, fn_tqrf_reader_set_trace, set_trace, "tqrf_reader_set_trace") \
    X(h, fn_tqrf_reader_os_error, os_error, "tqrf_reader_os_error") \
    X(h, fn_tqrf_strerror, strerror_, "tqrf_strerror") \
    X(h, fn_tqrf_refusal_text, refusal_text, "tqrf_refusal_text") \
    X(h, fn_tqrf_reader_last_refusal, last_refusal, "tqrf_reader_last_refusal") \
    X(h, fn_tqrf_reader_request, request, "tqrf_reader_request") \
    X(h, fn_tqrf_reader_anticoll, anticoll, "tqrf_reader_anticoll") \
    X(h, fn_tqrf_reader_select, select, "tqrf_reader_select") \
    X(h, fn_tqrf_reader_find, find, "tqrf_reader_find") \
    X(h, fn_tqrf_reader_halt, halt, "tqrf_reader_halt") \
    X(h, fn_tqrf_reader_loadkey, loadkey, "tqrf_reader_loadkey") \
    X(h, fn_tqrf_reader_authenticate, authenticate, "tqrf_reader_authenticate") \
    X(h, fn_tqrf_reader_read, read, "tqrf_reader_read") \
    X(h, fn_tqrf_reader_write, write, "tqrf_reader_write") \
    X(h, fn_tqrf_reader_initval, initval, "tqrf_reader_initval") \
    X(h, fn_tqrf_reader_readval, readval, "tqrf_reader_readval") \
    X(h, fn_tqrf_reader_increment, increment, "tqrf_reader_increment") \
    X(h, fn_tqrf_reader_decrement, decrement, "tqrf_reader_decrement") \
    X(h, fn_tqrf_reader_restore, restore, "tqrf_reader_restore") \
    X(h, fn_tqrf_reader_transfer, transfer, "tqrf_reader_transfer") \
    X(h, fn_tqrf_reader_value_apply, value_apply, "tqrf_reader_value_apply") \
    X(h, fn_tqrf_reader_reset, reset, "tqrf_reader_reset") \
    X(h, fn_tqrf_reader_hardware_version, hardware_version, "tqrf_reader_hardware_version") \
    X(h, fn_tqrf_reader_id, id, "tqrf_reader_id") \
    X(h, fn_tqrf_reader_e2_read, e2_read, "tqrf_reader_e2_read") \
    X(h, fn_tqrf_reader_e2_write, e2_write, "tqrf_reader_e2_write") \
    X(h, fn_tqrf_reader_link_test, link_test, "tqrf_reader_link_test") \
    X(h, fn_tqrf_reader_beep, beep, "tqrf_reader_beep") \
    X(h, fn_tqrf_reader_clock_read, clock_read, "tqrf_reader_clock_read") \
    X(h, fn_tqrf_reader_clock_set, clock_set, "tqrf_reader_clock_set") \
    X(h, fn_tqrf_com_port_path, com_port_path, "tqrf_com_port_path") \
    X(h, fn_tqrf_reader_last_answer, last_answer, "tqrf_reader_last_answer")
/* clang-format on */

#endif
