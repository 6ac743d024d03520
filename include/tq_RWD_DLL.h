/*
 * tq_RWD_DLL.h - host driver for the MF RC500 contactless reader/writer on a serial port.
 *
 * The library talks to one reader on one serial port. A host opens the port with tqrf_init()
 * (or tqrf_init_device()), then drives cards with the command functions, and closes the port
 * with tqrf_exit(). Every command function sends one request frame to the reader, waits a fixed
 * time (40 ms; longer only for a beep) and takes the reply; it returns when the reply has been
 * taken.
 *
 * Results
 *   Every function returns a 32-bit signed integer.
 *   0 .. 255  the reader's status byte for the command. 0 means done; any other value is the
 *             reader's own failure code, passed on unchanged.
 *   < 0       one of the TQRF_ERR_* codes below, raised by the library itself.
 *
 * Buffers
 *   Every buffer belongs to the caller. The library never allocates memory for the caller, never
 *   keeps a pointer after a call returns and never writes a terminator after data or text.
 *   Fixed-size outputs (card type, serial number, size byte, block, value, identity) are written
 *   whenever a valid reply frame arrived, whatever the status byte says: use them only when the
 *   result is 0. On a negative result outputs are left as they were, except that the text-form
 *   functions mark failed text outputs with '*' characters (see each function).
 *
 * Arguments
 *   Flag, block, sector and address arguments are cut to their low 8 bits first; a mask or limit
 *   of the command's own is then applied. Every command checks that a port is open before it
 *   reads any argument: with no port open nothing is read, nothing is sent and -82 is returned.
 *   After that check, a null pointer argument gives TQRF_ERR_FAILED (-1) and nothing is sent.
 *
 * Threads
 *   The legacy exports act on one built-in default reader. Its calls are serialised by the
 *   reader's own lock, but a host that runs a sequence (request, anticoll, select, ...) from
 *   several threads must still keep the sequences apart itself. Hosts that need several
 *   readers, or one reader shared by threads, use the reader handles (tqrf_reader_*), below.
 *
 * Calling convention
 *   Every export uses the C calling convention (__cdecl on Windows) and C linkage.
 *
 * Structures that grow
 *   From version 1.3 on, every structure the library fills for a caller begins with a uint32_t
 *   size: the caller's sizeof of the structure (set by the caller, or passed as an argument
 *   where the library allocates). The library writes only the fields that lie wholly inside
 *   that size, so a program built against these headers keeps working with a later library
 *   whose structures have grown, and a program built against a later header keeps working with
 *   this library (the fields this library does not know are set to 0). tqrf_port_info and
 *   tqrf_probe_result, from version 1.2, have no size; they and their calls (tqrf_list_ports(),
 *   tqrf_probe()) stay exactly as they were, beside the growable tqrf_port_info2 and
 *   tqrf_probe_result2 (tqrf_list_ports2(), tqrf_probe2()).
 */
#ifndef TQ_RWD_DLL_H
#define TQ_RWD_DLL_H

#include <stddef.h>
#include <stdint.h>

/* TQRF_API marks every export: C linkage, the C calling convention, exported from the library.
 * Define TQRF_STATIC when linking the library's objects directly (no import/export). */
#if defined(_MSC_VER) || defined(__MINGW32__) || defined(__CYGWIN__)
#define TQRF_CALL __cdecl
#if defined(TQRF_STATIC)
#define TQRF_EXPORT_ATTR
#elif defined(TQRF_BUILDING_LIBRARY)
#define TQRF_EXPORT_ATTR __declspec(dllexport)
#else
#define TQRF_EXPORT_ATTR __declspec(dllimport)
#endif
#else
#define TQRF_CALL
#if defined(__GNUC__) || defined(__clang__)
#define TQRF_EXPORT_ATTR __attribute__((visibility("default")))
#else
#define TQRF_EXPORT_ATTR
#endif
#endif

#ifdef __cplusplus
#define TQRF_EXTERN_C extern "C"
#else
#define TQRF_EXTERN_C
#endif

#define TQRF_API(ret) TQRF_EXTERN_C TQRF_EXPORT_ATTR ret TQRF_CALL

/* ---- Version ------------------------------------------------------------------------------ */

/* TQRF_VERSION_MAJOR, TQRF_VERSION_MINOR, TQRF_VERSION_PATCH and TQRF_VERSION_STRING ("1.3.0"):
 * the version of these headers. */
#include "tq_RWD_DLL_version.h"

/**
 * The version of the library that is loaded, as "MAJOR.MINOR.PATCH" (for example "1.3.0"); it
 * may differ from TQRF_VERSION_STRING when a program runs with a newer library than it was
 * built with. Callable at any time, with or without an open port; sends nothing.
 * @return a static NUL-terminated string, never null; the caller must not free it.
 */
TQRF_API(const char*) tqrf_version(void);

/* ---- Result codes ------------------------------------------------------------------------- */

/* Every function returns a 32-bit signed result: 0 to 255 is the reader's status byte (0 done),
 * a negative value one of the library's own codes below. Each code has a TQRF_ name; the names
 * without the prefix (ERR_FAILED, ...) are the same codes under the names of earlier versions,
 * kept so that existing hosts compile unchanged (see TQRF_LEGACY_NAMES below). */

/** 0: the command was carried out (the reader's status byte 0). */
#define TQRF_OK 0
/** 1: tqrf_authentication_2() only: the block is not the sector's trailer; nothing was sent.
 *  A caller cannot tell it from a reader status byte of 1. */
#define TQRF_ERR_NOT_SECTOR_TRAILER 1
/** -1: a line-setting or queue call failed, an argument was refused (null pointer, rate text
 *  too long), or tqrf_exit() found no port to close. */
#define TQRF_ERR_FAILED (-1)
/** -80: tqrf_init() while a port is already open. */
#define TQRF_ERR_PORT_IN_USE (-80)
/** -81: the serial device could not be opened (missing, busy or not permitted). */
#define TQRF_ERR_PORT_OPEN_FAILED (-81)
/** -82: no port is open; nothing was sent. */
#define TQRF_ERR_PORT_NOT_OPEN (-82)
/** -83: the request was not written whole. */
#define TQRF_ERR_SEND_FAILED (-83)
/** -85: the reply had its announced length but failed the XOR check. */
#define TQRF_ERR_REPLY_CHECKSUM (-85)
/** -86: no reply, a reply shorter than 4 bytes, or a reply whose size does not match its
 *  length field (still arriving, longer than 105 bytes, or noise). */
#define TQRF_ERR_REPLY_FRAME (-86)
/** -87: handle API only: the reader answered status 0 but its reply does not carry the data
 *  bytes the command's reply must carry (for example a block read whose reply holds no data,
 *  or the reply of another request). Outputs are untouched. */
#define TQRF_ERR_REPLY_LENGTH (-87)
/** -88: handle API only: the operating system says the device is gone (unplugged, or the
 *  other end of a pseudo-terminal closed). Every later call on that reader returns -88 at once
 *  until it is closed with tqrf_reader_close(). */
#define TQRF_ERR_DEVICE_LOST (-88)
/** -89: handle API only: an argument was refused (a null pointer, a block above 63, a sector
 *  above 15, an address the command cannot reach, an unknown option or value); nothing was
 *  sent. */
#define TQRF_ERR_BAD_ARGUMENT (-89)
/** -90: handle API only: a variable-length reply is longer than the caller's capacity; nothing
 *  was copied and the length output holds the reply's length. */
#define TQRF_ERR_BUFFER_TOO_SMALL (-90)
/** -91: the serial adapter cannot send mark or space parity, which the reader's line needs. */
#define TQRF_ERR_PARITY_UNSUPPORTED (-91)
/** -92: handle API only: a write or value change was not carried out. Its reply was lost and
 *  reading back showed the card (or the reader's memory or clock) without it, on every attempt
 *  the reader's TQRF_OPTION_ATTEMPTS allowed. Calling again is safe. */
#define TQRF_ERR_NOT_APPLIED (-92)
/** -93: handle API only: tqrf_reader_value_apply() lost a reply and read back a value that is
 *  neither the value before nor the one expected: something else changed the block. Its
 *  outputs say both values. */
#define TQRF_ERR_VALUE_CONFLICT (-93)

/* TQRF_RESULTS(X) calls X(NAME, word, text) once for each of the library's negative codes,
 * in the order above: NAME the macro, word its lower-case name (tqrf::errc, the bindings),
 * text what tqrf_strerror() gives for it. The library's other lists of its codes (the C++
 * error category, the tool, the bindings) are made from this one or checked against it. */
#define TQRF_RESULTS(X)                                                                            \
    X(TQRF_ERR_FAILED, failed,                                                                     \
      "the call failed (line settings refused, argument refused, or no port to close)")            \
    X(TQRF_ERR_PORT_IN_USE, port_in_use, "a port is already open")                                 \
    X(TQRF_ERR_PORT_OPEN_FAILED, port_open_failed,                                                 \
      "the serial device could not be opened (missing, not permitted, busy, or not a serial "      \
      "device)")                                                                                   \
    X(TQRF_ERR_PORT_NOT_OPEN, port_not_open, "no port is open")                                    \
    X(TQRF_ERR_SEND_FAILED, send_failed, "the request was not written whole")                      \
    X(TQRF_ERR_REPLY_CHECKSUM, reply_checksum, "the reader's reply failed its checksum")           \
    X(TQRF_ERR_REPLY_FRAME, reply_frame, "no reply from the reader in time, or a malformed reply") \
    X(TQRF_ERR_REPLY_LENGTH, reply_length,                                                         \
      "the reader's reply does not carry the data the command needs")                              \
    X(TQRF_ERR_DEVICE_LOST, device_lost, "the device is gone (unplugged or closed)")               \
    X(TQRF_ERR_BAD_ARGUMENT, bad_argument, "an argument was refused")                              \
    X(TQRF_ERR_BUFFER_TOO_SMALL, buffer_too_small, "the reply is longer than the buffer")          \
    X(TQRF_ERR_PARITY_UNSUPPORTED, parity_unsupported,                                             \
      "the serial adapter cannot send mark or space parity")                                       \
    X(TQRF_ERR_NOT_APPLIED, not_applied,                                                           \
      "not carried out: the reply was lost and reading back showed it not done")                   \
    X(TQRF_ERR_VALUE_CONFLICT, value_conflict,                                                     \
      "the value block holds neither the value before nor the one expected")

/* The names of earlier versions (ERR_FAILED, ...): the same codes without the TQRF_ prefix.
 * They are defined when TQRF_LEGACY_NAMES is non-zero, which it is unless the program defines
 * TQRF_LEGACY_NAMES as 0 or defines TQRF_NO_LEGACY_NAMES before including this header: hosts
 * written for earlier versions compile unchanged, and a program whose own ERR_* names collide
 * with them turns them off. */
#ifndef TQRF_LEGACY_NAMES
#ifdef TQRF_NO_LEGACY_NAMES
#define TQRF_LEGACY_NAMES 0
#else
#define TQRF_LEGACY_NAMES 1
#endif
#endif
#if TQRF_LEGACY_NAMES
#define ERR_NOT_SECTOR_TRAILER TQRF_ERR_NOT_SECTOR_TRAILER
#define ERR_FAILED TQRF_ERR_FAILED
#define ERR_PORT_IN_USE TQRF_ERR_PORT_IN_USE
#define ERR_PORT_OPEN_FAILED TQRF_ERR_PORT_OPEN_FAILED
#define ERR_PORT_NOT_OPEN TQRF_ERR_PORT_NOT_OPEN
#define ERR_SEND_FAILED TQRF_ERR_SEND_FAILED
#define ERR_REPLY_CHECKSUM TQRF_ERR_REPLY_CHECKSUM
#define ERR_REPLY_FRAME TQRF_ERR_REPLY_FRAME
#define ERR_REPLY_LENGTH TQRF_ERR_REPLY_LENGTH
#define ERR_DEVICE_LOST TQRF_ERR_DEVICE_LOST
#define ERR_BAD_ARGUMENT TQRF_ERR_BAD_ARGUMENT
#define ERR_BUFFER_TOO_SMALL TQRF_ERR_BUFFER_TOO_SMALL
#endif

/** The most data bytes a reply can carry (a reply of 105 bytes: length, 101 data bytes, status,
 *  XOR). The hardware version, E2PROM read and clock read of the legacy exports copy every data
 *  byte of the reply: give them TQRF_REPLY_DATA_MAX bytes. */
#define TQRF_REPLY_DATA_MAX 101

/* ---- Port control ------------------------------------------------------------------------- */

/**
 * Open the reader's port by its COM name and set the line to 19200 baud, 8 data bits, 1 stop
 * bit, space parity; queues of 400 bytes; reads that return at once.
 *
 * @param port_name writable, NUL-terminated name "COMn" (for example "COM3"). The first three
 *        characters are removed in place: on return the buffer holds the text after them
 *        ("3"). A name shorter than three characters is emptied (never read past its end). The
 *        rest is read as a decimal number with atoi() rules (0 when there are no digits).
 *        Windows opens "\\.\COMn"; POSIX systems open /dev/ttyS(n-1), so COM1 is /dev/ttyS0.
 * @return 0; -80 a port is already open (the name is still shortened); -81 the device did not
 *         open (also for n < 1 or above TQRF_COM_PORT_MAX, which name no device and are not
 *         tried); -1 the name is null, or configuring the line failed
 *         (the port then stays open: call tqrf_exit()).
 *
 * Two environment variables, read only here (and by tqrf_init_device()), change the default
 * reader for a host that cannot be changed itself:
 *   TQRF_REPLY=complete or complete:SLACK  take each reply as soon as it is complete instead
 *        of after the fixed pause, with SLACK (0 to 1000) extra milliseconds of deadline; a late
 *        reply is then also never taken for the next command's (see TQRF_REPLY_COMPLETE).
 *   TQRF_TRACE=FILE  append one text line per frame and result to FILE (created readable and
 *        writable by its owner only). The six key bytes of a load-key frame and its XOR byte
 *        show as "**" unless TQRF_TRACE_KEYS=1 is set too.
 * Without them nothing changes and nothing is read at each command.
 */
TQRF_API(int32_t) tqrf_init(char* port_name);

/**
 * Open the reader's port by a device path and configure it exactly as tqrf_init().
 *
 * @param device_path NUL-terminated path, used as given and never modified: "/dev/ttyUSB0",
 *        a pseudo-terminal, or "\\.\COM12" on Windows. Read only.
 * @return 0; -80 a port is already open; -81 the device did not open; -1 the path is null or
 *         configuring the line failed (the port then stays open).
 */
TQRF_API(int32_t) tqrf_init_device(const char* device_path);

/**
 * Close the open port.
 * @return 0; -1 when no port is open.
 */
TQRF_API(int32_t) tqrf_exit(void);

/**
 * Set the line rate, no parity, 8 data bits, 1 stop bit. Every command sets the line back to
 * 19200 baud with mark, then space parity, so the rate holds only until the next command.
 *
 * @param rate NUL-terminated decimal rate text, for example "9600". Read only. The mode string
 *        rate + ",N,8,1" must fit 40 bytes with its terminator.
 * @return 0; -82 no port; -1 rate null, too long, not a rate, or one the platform cannot set.
 */
TQRF_API(int32_t) tqrf_BaudSetup(const char* rate);

/* ---- Card selection ----------------------------------------------------------------------- */

/**
 * Ask the cards in the field to answer (command 0x41).
 *
 * @param mode low byte 0: idle cards only (REQA, 0x26); otherwise all cards, halted ones too
 *        (WUPA, 0x52).
 * @param card_type out, 2 bytes: the card type, reply bytes 2 and 3.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_request(int32_t mode, uint8_t* card_type);

/** The same operation as tqrf_request() under a second name: same bytes, output and results. */
TQRF_API(int32_t) tqrf_request_2(int32_t mode, uint8_t* card_type);

/**
 * Have the reader single out one card and return its serial number (command 0x42).
 *
 * @param arg low byte sent as the anticollision parameter; its meaning is the reader's.
 * @param serial out, 4 bytes: the serial number in arrival order (reply bytes 2 to 5). Bytes
 *        for which a short reply carries no data are left as they were.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_anticoll(int32_t arg, uint8_t* serial);

/**
 * Select the card with the given serial number (command 0x43).
 *
 * @param serial in, 4 bytes, sent in order (the output of tqrf_anticoll() as it is).
 * @param size out, 1 byte: the size byte of the reader's answer (reply byte 2).
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_select(const uint8_t* serial, uint8_t* size);

/** Halt the selected card (command 0x71). @return the status byte, or a negative code. */
TQRF_API(int32_t) tqrf_halt(void);

/* ---- Keys and authentication -------------------------------------------------------------- */

/**
 * Load a 6-byte key into the reader for a key type and sector (command 0x61).
 *
 * @param key_type low byte 0: key A (0x60); otherwise key B (0x61).
 * @param sector low byte AND 0x0F (16 folds to 0).
 * @param key in, 6 bytes, sent in order.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_loadkey(int32_t key_type, int32_t sector, const uint8_t* key);

/**
 * Authenticate a sector of the selected card with the loaded key (command 0x44).
 *
 * @param key_type low byte 0: key A; otherwise key B.
 * @param sector low byte AND 0x0F.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_authentication(int32_t key_type, int32_t sector);

/**
 * As tqrf_authentication(), after checking that block is the sector's trailer. The check comes
 * before everything else, the port check included: the low byte of block must equal the low
 * byte of sector times 4 plus 3, in full width (sector bytes of 64 and above never pass). The
 * block is never sent; sector 16 with block 67 passes and authenticates sector 0.
 *
 * @return 1 (TQRF_ERR_NOT_SECTOR_TRAILER) when the check fails, with nothing sent; otherwise
 *         as tqrf_authentication().
 */
TQRF_API(int32_t) tqrf_authentication_2(int32_t key_type, int32_t sector, int32_t block);

/* ---- Block read and write ----------------------------------------------------------------- */

/**
 * Read one 16-byte block (command 0x45).
 *
 * @param block low byte AND 0x3F (64 folds to 0).
 * @param data out, 16 bytes: the reply's data bytes from byte 0 on; at most 16 are written
 *        whatever the reply carries, and none when it carries only a status byte.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_read(int32_t block, uint8_t* data);

/**
 * Write one 16-byte block (command 0x46). Block 0 and trailers are sent like any block.
 *
 * @param block low byte AND 0x3F.
 * @param data in, 16 bytes.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t) tqrf_write(int32_t block, const uint8_t* data);

/* ---- Value blocks (values travel least significant byte first, without sign handling) ----- */

/** Make block a value block holding value (command 0x47). block: low byte, unmasked. */
TQRF_API(int32_t) tqrf_initval(int32_t block, uint32_t value);

/**
 * Read the value of a value block (command 0x48).
 * @param block low byte AND 0x3F.
 * @param value out, one 32-bit value from reply bytes 2 to 5; left as it was when the reply
 *        carries fewer than four data bytes.
 */
TQRF_API(int32_t) tqrf_readval(int32_t block, uint32_t* value);

/** Add amount to a value block into the transfer buffer (0x49). block: low byte, unmasked. */
TQRF_API(int32_t) tqrf_increment(int32_t block, uint32_t amount);

/** Subtract amount from a value block into the transfer buffer (0x4A). block: low byte. */
TQRF_API(int32_t) tqrf_decrement(int32_t block, uint32_t amount);

/** Load a value block unchanged into the transfer buffer (0x4B). block: low byte AND 0x3F. */
TQRF_API(int32_t) tqrf_restore(int32_t block);

/** Write the transfer buffer into a block (0x4C). block: low byte AND 0x3F. */
TQRF_API(int32_t) tqrf_transfer(int32_t block);

/* ---- Reader device ------------------------------------------------------------------------ */

/** Send the reader its reset command (0x72). @param reserved accepted and ignored. */
TQRF_API(int32_t) tqrf_reset(int32_t reserved);

/**
 * Read the reader's hardware version (0x73).
 * @param version out: every data byte of the reply (0 to TQRF_REPLY_DATA_MAX), from byte 0, no
 *        terminator. Provide TQRF_REPLY_DATA_MAX bytes to be safe for any reply; nothing is
 *        written when there is no data.
 */
TQRF_API(int32_t) tqrf_ReadHardwareVersionNumber(uint8_t* version);

/**
 * Read the reader's identity number (0x76).
 * @param id out: the data bytes assembled least significant first; data byte k is added in at
 *        bit 8 * (k mod 4), modulo 2^32. Written (0 when there is no data) only when a valid
 *        reply arrived.
 */
TQRF_API(int32_t) tqrf_Read_RWD_ID(uint32_t* id);

/**
 * Read from the RC500 chip's E2PROM (0x75).
 * @param address low byte, sent unchanged.
 * @param data out: every data byte of the reply (0 to TQRF_REPLY_DATA_MAX); provide
 *        TQRF_REPLY_DATA_MAX bytes to be safe.
 */
TQRF_API(int32_t) tqrf_Read_RC500E2(int32_t address, uint8_t* data);

/**
 * Write 16 bytes to the RC500 chip's E2PROM (0x74).
 * @param address low byte AND 0x7F.
 * @param data in, 16 bytes.
 */
TQRF_API(int32_t) tqrf_Write_RC500E2(int32_t address, const uint8_t* data);

/** Test the link to the reader (0x77). @return the status byte, or a negative code. */
TQRF_API(int32_t) tqrf_Link_PCandRWD(void);

/**
 * Sound the beeper (0x69).
 * @param mode low byte, sent as is. Mode 0 waits for the beep: the reply is read after
 *        duration * 10 + 40 ms; any other mode reads it after 40 ms.
 * @param duration low byte in units of 10 ms, limited to 240 (2.4 s) after the cut.
 */
TQRF_API(int32_t) tqrf_BeepControl(int32_t mode, int32_t duration);

/**
 * Read the reader's real-time clock (0x6B).
 * @param clock out: every data byte of the reply (0 to TQRF_REPLY_DATA_MAX); provide
 *        TQRF_REPLY_DATA_MAX bytes to be safe.
 */
TQRF_API(int32_t) tqrf_UploadRTC(uint8_t* clock);

/**
 * Set the reader's real-time clock (0x6A).
 * @param clock in, 7 bytes, sent unchanged; their layout is the reader's.
 */
TQRF_API(int32_t) tqrf_DownloadRTC(const uint8_t* clock);

/* ---- Hexadecimal text forms ---------------------------------------------------------------
 * Text is two characters per byte, high nibble first, upper case out, either case in, no
 * terminator. Characters that are not hex digits are not refused: a pair decodes to the low
 * 8 bits of value(c1) * 16 + value(c2), where a non-hex character's value is its own code.
 * Star fill: on failure a text output gets one '*' per byte of its field, from its first
 * character; the rest of the field keeps what it held. */

/**
 * Load a key given as 12 hex characters. The text is decoded first, even with no port open.
 * @param key_text in, 12 characters.
 * @return as tqrf_loadkey(); -1 when key_text is null.
 */
TQRF_API(int32_t) tqrf_loadkey_asc(int32_t key_type, int32_t sector, const char* key_text);

/**
 * Request, anticollision and select in turn (three exchanges), answers as hex text.
 * @param mode request mode flag as for tqrf_request().
 * @param arg anticollision parameter as for tqrf_anticoll().
 * @param type_text out, 4 characters ("**" on failure of the request).
 * @param serial_text out, 8 characters ("****" when the request or anticollision failed).
 * @param size_text out, 2 characters ("*" when any step failed).
 *        Serial number bytes that a short anticollision reply does not carry count as 0.
 * @return the result of the last call that ran (any non-zero result stops the sequence).
 */
TQRF_API(int32_t)
tqrf_card_asc_1(int32_t mode, int32_t arg, char* type_text, char* serial_text, char* size_text);

/**
 * Find and select a card in one exchange (command 0x62), answers as hex text.
 * @param mode request mode flag as for tqrf_request().
 * @param reserved accepted and ignored.
 * @param type_text out, 4 characters; @param serial_text out, 8; @param size_text out, 2.
 *        Written from the reply for any valid reply whatever the status (positions the reply
 *        does not carry are star-filled); star-filled on -85 / -86; untouched on -82 / -83.
 * @return the reader's status byte, or a negative code.
 */
TQRF_API(int32_t)
tqrf_card_asc(int32_t mode, int32_t reserved, char* type_text, char* serial_text, char* size_text);

/**
 * Read a block as 32 hex characters.
 * @param block as for tqrf_read().
 * @param block_text out, 32 characters; on any non-zero result 16 '*' from its start. When
 *        a reply carries fewer than 16 data bytes, each missing byte is one '*' after the hex
 *        of the bytes it does carry.
 * @return as tqrf_read().
 */
TQRF_API(int32_t) tqrf_rd_asc(int32_t block, char* block_text);

/**
 * Write a block given as 32 hex characters. The text is decoded first.
 * @param block_text in, 32 characters.
 * @return as tqrf_write(); -1 when block_text is null.
 */
TQRF_API(int32_t) tqrf_wr_asc(int32_t block, const char* block_text);

/* ==== Reader handles ==========================================================================
 *
 * Each open reader is a tqrf_reader: one serial port with its own line settings, options,
 * trace hook and lock. Any number of readers may be open at once, on different devices.
 *
 *   tqrf_reader* r;
 *   if (tqrf_reader_open("/dev/ttyUSB0", &r) != 0) ...     (or "COM3")
 *   uint8_t type[2], serial[4], size, block[16];
 *   if (tqrf_reader_find(r, TQRF_REQUEST_IDLE, type, serial, &size) == 0 &&
 *       tqrf_reader_loadkey(r, TQRF_KEY_A, 1, key) == 0 &&
 *       tqrf_reader_authenticate(r, TQRF_KEY_A, 1) == 0 &&
 *       tqrf_reader_read(r, 4, block) == 0) ...
 *   tqrf_reader_close(r);
 *
 * How the handle API differs from the legacy exports:
 *   - Arguments are checked, never folded: block 64 is TQRF_ERR_BAD_ARGUMENT (-89), not block 0;
 *     null pointers give -89. Nothing is sent for a refused argument.
 *   - Replies are checked against the request: a status-0 reply must carry exactly the data
 *     bytes of its command (2 for request, 4 anticoll, 1 select, 7 find, 16 read, 4 readval,
 *     1 to 4 for the identity, none for the commands without data); otherwise
 *     TQRF_ERR_REPLY_LENGTH (-87).
 *   - Outputs are written only when the result is 0. With a non-zero status byte the status is
 *     returned and every output is left as it was.
 *   - Variable-length reads (version, E2PROM, clock) take the buffer's capacity and report the
 *     length that came.
 *   - A device the operating system reports gone gives TQRF_ERR_DEVICE_LOST (-88), for good.
 *   - Replies are taken as soon as they are complete (TQRF_REPLY_COMPLETE) unless the reader
 *     is set to the legacy fixed pause (TQRF_REPLY_FIXED).
 *   - After an exchange that failed with -85, -86 or -87 (a reply may still be on its way), the
 *     next exchange first waits until the line has been quiet for 20 ms (at most the command's
 *     own reply deadline) and discards what came, so that a late reply is never taken for the
 *     next command's.
 *   - With TQRF_OPTION_ATTEMPTS above 1, a command whose reply was lost, late, garbled or of
 *     the wrong length (-85, -86, -87) is repeated where a repeat is safe; a reader status is
 *     never repeated. Commands that read or select (request, anticollision, select, find, load
 *     key, block and value read, version, identity, E2PROM read, link test, clock read) are
 *     repeated after the line has been purged. An authentication is repeated after the card
 *     has been selected again (a wake-up request for all cards, then a select of the serial
 *     number this reader last selected or found; without one it is not repeated). A block
 *     write, value initialisation, E2PROM write or clock setting is repeated only when reading
 *     back shows it is not there yet (the block; its value; the 16 E2PROM bytes from its
 *     address; a clock whose bytes 1 to 6
 *     are the ones set and whose seconds byte, in BCD, is at most the time the call has taken
 *     plus 1 s ahead of the one set); when it is there the call returns 0, when it is still not
 *     there after the last attempt TQRF_ERR_NOT_APPLIED (-92). A trailer write is not repeated (a
 *     trailer does not read back its keys). Halt, reset, beep, increment, decrement, restore
 *     and transfer are never repeated: use
 *     tqrf_reader_value_apply() for a value change that settles a lost reply. Every repeat
 *     shows in the trace (TQRF_TRACE_RETRY) and in tqrf_reader_get_stats().
 *
 * Threads: every call on a reader takes that reader's lock, so calls on one reader from
 * several threads never interleave their frames; calls on different readers run in parallel.
 * A reader must not be closed while another thread may still call it. A sequence of calls
 * (find, loadkey, authenticate, read) is not atomic: a host that shares one reader between
 * threads keeps its sequences apart itself.
 *
 * Every function returns 0 to 255 (the reader's status byte; 0 = done) or a negative code. */

/** An open reader. Opaque; created by tqrf_reader_open(), freed by tqrf_reader_close(). */
typedef struct tqrf_reader tqrf_reader;

/* Request mode: idle cards only (REQA, 0x26), or all cards, halted ones too (WUPA, 0x52). */
#define TQRF_REQUEST_IDLE 0
#define TQRF_REQUEST_ALL 1

/* Key type. */
#define TQRF_KEY_A 0
#define TQRF_KEY_B 1

/* Options of tqrf_reader_set_option(). */
/** How the reply is taken. Values TQRF_REPLY_COMPLETE (the default for handles) or
 *  TQRF_REPLY_FIXED. */
#define TQRF_OPTION_REPLY_MODE 1
/** Extra milliseconds, 0 to 1000 (default 0), added to the reply deadline in complete mode,
 *  for slow adapters (USB latency timers). */
#define TQRF_OPTION_REPLY_SLACK_MS 2
/** Attempts in all, 1 to 10, for a command whose reply is lost, late, garbled or of the wrong
 *  length, where a repeat is safe (see "How the handle API differs" above). Default 1: no
 *  repeat, as in version 1.2. Every attempt has its own reply deadline. */
#define TQRF_OPTION_ATTEMPTS 3

/** Pause the command's fixed time (40 ms; the beep time plus 40 ms for a beep in mode 0), then
 *  read once: the legacy behaviour, byte for byte and millisecond for millisecond. */
#define TQRF_REPLY_FIXED 0
/** Wait on the port and return as soon as the frame its first two bytes announce is complete;
 *  the deadline is the fixed time plus the slack option. Bytes after the frame are never taken
 *  into it. */
#define TQRF_REPLY_COMPLETE 1

/* Trace events (see tqrf_reader_set_trace()). */
/** The address byte, sent with mark parity. */
#define TQRF_TRACE_ADDRESS 1
/** The request frame, sent with space parity. */
#define TQRF_TRACE_FRAME 2
/** The bytes taken as the reply, also when they fail the checks (count may be 0). */
#define TQRF_TRACE_REPLY 3
/** The end of a call: no bytes; result is the call's result. */
#define TQRF_TRACE_RESULT 4
/** A lost reply was dealt with: result is the failure (-85, -86, -87) it followed; three bytes:
 *  the code of the command whose reply was lost, the attempt about to be made (2 and up; the
 *  attempt that failed for TQRF_RETRY_SETTLED) and what was done (TQRF_RETRY_*). */
#define TQRF_TRACE_RETRY 5

/* What was done after a lost reply (byte 2 of a TQRF_TRACE_RETRY event). */
/** The command is repeated after the line was purged. */
#define TQRF_RETRY_REPEATED 1
/** The authentication is repeated after the card was selected again. */
#define TQRF_RETRY_RESELECTED 2
/** The write is repeated: reading back showed it not there. */
#define TQRF_RETRY_NOT_THERE 3
/** Not repeated: reading back showed the write or value change done. */
#define TQRF_RETRY_SETTLED 4
/** The value change is made again from the start: reading back showed the value unchanged. */
#define TQRF_RETRY_UNCHANGED 5

/**
 * A trace hook. Called on the calling thread, with the reader's lock held: it must not call
 * functions of the same reader, and should return quickly (it runs inside the exchange).
 *
 * @param user the pointer given to tqrf_reader_set_trace().
 * @param event one of TQRF_TRACE_*.
 * @param result the call's result for TQRF_TRACE_RESULT, 0 for the other events.
 * @param bytes the bytes of the event, valid only during the call; null when count is 0.
 * @param count number of bytes.
 * @param time_us monotonic time in microseconds (an arbitrary origin, the same for all readers).
 */
typedef void(TQRF_CALL* tqrf_trace_fn)(void* user, int32_t event, int32_t result,
                                       const uint8_t* bytes, uint32_t count, uint64_t time_us);

/**
 * Open a reader.
 *
 * @param port "COMn", mapped by tqrf_com_port_path() (Windows "\\.\COMn", POSIX
 *        /dev/ttyS(n-1)) but never modified, or a device path used as given. Read only. "COM"
 *        with digits that name no port ("COM0", "COM1000") does not open (-81, ENOENT).
 * @param out receives the new reader; set to null on failure.
 * @return 0; -89 port or out is null; -81 the device did not open (missing, not permitted,
 *         already open in this or another process, or not a serial device: see
 *         tqrf_reader_os_error(NULL)); -1 the line settings were refused. On failure nothing
 *         stays open. The line is set as tqrf_init() sets it (19200 baud, 8 data bits, 1 stop
 *         bit, space parity) and the reply mode is TQRF_REPLY_COMPLETE.
 */
TQRF_API(int32_t) tqrf_reader_open(const char* port, tqrf_reader** out);

/**
 * Close a reader: the port's settings from before the open are restored (POSIX), the port is
 * released and the handle is freed. The handle must not be used afterwards.
 * @return 0; -89 when r is null.
 */
TQRF_API(int32_t) tqrf_reader_close(tqrf_reader* r);

/**
 * Set the line rate with no parity, as tqrf_BaudSetup() does. Every exchange sets the line
 * back to 19200 baud with mark, then space parity.
 * @param rate bits per second, above 0.
 * @return 0; -89 r null or rate 0; -88 device lost; -1 the platform refused the rate.
 */
TQRF_API(int32_t) tqrf_reader_set_baud(tqrf_reader* r, uint32_t rate);

/**
 * Set an option (TQRF_OPTION_*).
 * @return 0; -89 r null, unknown option, or a value outside the option's range.
 */
TQRF_API(int32_t) tqrf_reader_set_option(tqrf_reader* r, int32_t option, int32_t value);

/**
 * Read an option (TQRF_OPTION_*) into *value.
 * @return 0; -89 r or value null, or unknown option.
 */
TQRF_API(int32_t) tqrf_reader_get_option(tqrf_reader* r, int32_t option, int32_t* value);

/**
 * Set the trace hook of a reader, or remove it (fn null). The hook sees every exchange from
 * the next call on: see tqrf_trace_fn. This takes the reader's lock, so it waits for a call
 * in progress on another thread: once it returns, the old hook is never called again. The hook
 * gets every frame as sent, keys included (tqrf_reader_loadkey()): a host that writes frames
 * down should hide bytes 6 to 12 of a load-key frame (bytes 2 and 3 are 0xBB 0x61).
 * @param user passed to fn unchanged; the library never dereferences it.
 * @return 0; -89 when r is null.
 */
TQRF_API(int32_t) tqrf_reader_set_trace(tqrf_reader* r, tqrf_trace_fn fn, void* user);

/** Counters of a reader's exchanges, for tqrf_reader_get_stats(). It may grow at its end: set
 *  size to sizeof(tqrf_reader_stats) as your program knows it; the library fills that much. */
typedef struct tqrf_reader_stats {
    /** Set by the caller: the size of the structure it passes. */
    uint32_t size;
    uint32_t reserved;
    /** Command calls on the reader that went to the line (refused arguments not counted). */
    uint64_t requests;
    /** Repeats: commands sent again, and value changes made again, after a lost reply. */
    uint64_t retries;
    /** Calls that lost a reply and still ended in 0 (by a repeat or by reading back). */
    uint64_t recoveries;
    /** Calls that ended with -85, -86, -87, -92 or -93. */
    uint64_t failures;
} tqrf_reader_stats;

/**
 * Read a reader's counters. They count from the open on.
 * @param stats in: size set by the caller (at least 16, the size up to and including
 *        requests); out: the counters that fit that size.
 * @return 0; -89 when r or stats is null or the size is too small.
 */
TQRF_API(int32_t) tqrf_reader_get_stats(tqrf_reader* r, tqrf_reader_stats* stats);

/**
 * The operating system's error code (errno on POSIX, GetLastError() on Windows) of the last
 * failed system call of reader r: for a reader that reported -88, the error that showed the
 * loss. With r null: the error of the calling thread's last failed tqrf_reader_open() (for
 * example ENOENT missing, EACCES not permitted, EBUSY already open, ENOTTY not a serial
 * device). 0 when there is none.
 */
TQRF_API(int32_t) tqrf_reader_os_error(const tqrf_reader* r);

/**
 * A short English text for a result code: 0, the library's codes (TQRF_RESULTS, those of the
 * legacy exports included) and the reader's status bytes (1 to 255, "reader status 20 (0x14)");
 * "unknown result code" for any other value. Static storage: never freed, never changed. Never
 * null.
 */
TQRF_API(const char*) tqrf_strerror(int32_t result);

/* Command codes: the second byte of each command's payload, as the exports' comments name them
 * ("Authenticate ... (0x44)"); what tqrf_refusal_text() takes. */
#define TQRF_COMMAND_REQUEST 0x41
#define TQRF_COMMAND_ANTICOLL 0x42
#define TQRF_COMMAND_SELECT 0x43
#define TQRF_COMMAND_HALT 0x71
#define TQRF_COMMAND_FIND 0x62
#define TQRF_COMMAND_LOADKEY 0x61
#define TQRF_COMMAND_AUTHENTICATE 0x44
#define TQRF_COMMAND_READ 0x45
#define TQRF_COMMAND_WRITE 0x46
#define TQRF_COMMAND_INITVAL 0x47
#define TQRF_COMMAND_READVAL 0x48
#define TQRF_COMMAND_INCREMENT 0x49
#define TQRF_COMMAND_DECREMENT 0x4A
#define TQRF_COMMAND_RESTORE 0x4B
#define TQRF_COMMAND_TRANSFER 0x4C
#define TQRF_COMMAND_RESET 0x72
#define TQRF_COMMAND_HARDWARE_VERSION 0x73
#define TQRF_COMMAND_ID 0x76
#define TQRF_COMMAND_E2_READ 0x75
#define TQRF_COMMAND_E2_WRITE 0x74
#define TQRF_COMMAND_LINK_TEST 0x77
#define TQRF_COMMAND_BEEP 0x69
#define TQRF_COMMAND_CLOCK_READ 0x6B
#define TQRF_COMMAND_CLOCK_SET 0x6A

/** Bytes that always hold a text of tqrf_refusal_text() or tqrf_reader_last_refusal(), its NUL
 *  included. */
#define TQRF_REFUSAL_TEXT_MAX 256

/**
 * What the reader's refusal of a command means to a user, with the status byte after it:
 * "the key is wrong, or the sector's access conditions keep this key out; find the card again
 * before the next try (reader status 0x12)". The status byte's own meaning is the reader's;
 * the words say what a refusal of that command comes down to (no card, or a halted one; a
 * wrong key; the access conditions; block 0; ...) and, where there is one, the next step.
 *
 * @param command a command code, TQRF_COMMAND_*.
 * @param status the reader's status byte, 1 to 255.
 * @param text out: receives the text, NUL-terminated and cut to fit `size` bytes; may be null
 *        when size is 0.
 * @param size bytes at text; TQRF_REFUSAL_TEXT_MAX always hold the whole text.
 * @return the text's length without its NUL (as snprintf: size or more means it was cut); -89
 *         for an unknown command, a status outside 1 to 255, or text null with size above 0.
 *         Thread-safe; static data, no allocation.
 */
TQRF_API(int32_t) tqrf_refusal_text(int32_t command, int32_t status, char* text, uint32_t size);

/**
 * The refusal of reader r's last command, in the words of tqrf_refusal_text(): when the last
 * card or reader command on r returned a status byte 1 to 255. An empty text and 0 when it
 * returned 0 or a negative code, or when there was none. Takes the reader's lock; when several
 * threads share r, it is the refusal of whichever command ran last.
 * @return as tqrf_refusal_text(); -89 when r is null, or text is null with size above 0.
 */
TQRF_API(int32_t) tqrf_reader_last_refusal(tqrf_reader* r, char* text, uint32_t size);

/* ---- Card operations on a reader ---------------------------------------------------------- */

/**
 * Ask the cards in the field to answer (0x41).
 * @param mode TQRF_REQUEST_IDLE or TQRF_REQUEST_ALL.
 * @param type out, 2 bytes: the card type.
 */
TQRF_API(int32_t) tqrf_reader_request(tqrf_reader* r, int32_t mode, uint8_t type[2]);

/**
 * Single out one card (0x42).
 * @param arg 0 to 255, sent as the anticollision parameter (its meaning is the reader's; 0 is
 *        the usual value).
 * @param serial out, 4 bytes: the serial number in arrival order.
 */
TQRF_API(int32_t) tqrf_reader_anticoll(tqrf_reader* r, int32_t arg, uint8_t serial[4]);

/**
 * Select the card with this serial number (0x43).
 * @param serial in, 4 bytes. @param size out, 1 byte: the size byte.
 */
TQRF_API(int32_t) tqrf_reader_select(tqrf_reader* r, const uint8_t serial[4], uint8_t* size);

/**
 * Find and select a card in one exchange (0x62): request, anticollision and select done by the
 * reader. @param mode TQRF_REQUEST_IDLE or TQRF_REQUEST_ALL.
 * @param type out, 2 bytes; @param serial out, 4 bytes; @param size out, 1 byte.
 */
TQRF_API(int32_t)
tqrf_reader_find(tqrf_reader* r, int32_t mode, uint8_t type[2], uint8_t serial[4], uint8_t* size);

/** Halt the selected card (0x71). */
TQRF_API(int32_t) tqrf_reader_halt(tqrf_reader* r);

/**
 * Load a key into the reader (0x61).
 * @param key_type TQRF_KEY_A or TQRF_KEY_B. @param sector 0 to 15. @param key in, 6 bytes.
 */
TQRF_API(int32_t)
tqrf_reader_loadkey(tqrf_reader* r, int32_t key_type, int32_t sector, const uint8_t key[6]);

/**
 * Authenticate a sector of the selected card with the loaded key (0x44).
 * @param key_type TQRF_KEY_A or TQRF_KEY_B. @param sector 0 to 15.
 */
TQRF_API(int32_t) tqrf_reader_authenticate(tqrf_reader* r, int32_t key_type, int32_t sector);

/** Read a block (0x45). @param block 0 to 63. @param data out, 16 bytes. */
TQRF_API(int32_t) tqrf_reader_read(tqrf_reader* r, int32_t block, uint8_t data[16]);

/** Write a block (0x46). @param block 0 to 63. @param data in, 16 bytes. */
TQRF_API(int32_t) tqrf_reader_write(tqrf_reader* r, int32_t block, const uint8_t data[16]);

/** Make a block a value block holding value (0x47). @param block 0 to 63. */
TQRF_API(int32_t) tqrf_reader_initval(tqrf_reader* r, int32_t block, uint32_t value);

/** Read a value block (0x48). @param block 0 to 63. @param value out. */
TQRF_API(int32_t) tqrf_reader_readval(tqrf_reader* r, int32_t block, uint32_t* value);

/** Add amount to a value block into the transfer buffer (0x49). @param block 0 to 63. */
TQRF_API(int32_t) tqrf_reader_increment(tqrf_reader* r, int32_t block, uint32_t amount);

/** Subtract amount from a value block into the transfer buffer (0x4A). @param block 0 to 63. */
TQRF_API(int32_t) tqrf_reader_decrement(tqrf_reader* r, int32_t block, uint32_t amount);

/** Load a value block into the transfer buffer (0x4B). @param block 0 to 63. */
TQRF_API(int32_t) tqrf_reader_restore(tqrf_reader* r, int32_t block);

/** Write the transfer buffer into a block (0x4C). @param block 0 to 63. */
TQRF_API(int32_t) tqrf_reader_transfer(tqrf_reader* r, int32_t block);

/**
 * Change a value block by delta and write it back, exactly once: read its value, increment
 * (delta >= 0) or decrement (delta < 0) it into the transfer buffer, transfer that into the
 * same block. The sector must be authenticated. A lost reply is settled, never guessed:
 *   - increment or decrement lost: nothing was written; the change is made again from the
 *     start (after selecting the card and authenticating again, when this reader selected or
 *     found it and authenticated);
 *   - transfer lost: the value is read back: the expected value means done (0); the value
 *     before means not done, and the change is made again from the start; any other value
 *     gives TQRF_ERR_VALUE_CONFLICT with both in the outputs.
 * At most TQRF_OPTION_ATTEMPTS changes are made; when the last one was not done the call
 * gives TQRF_ERR_NOT_APPLIED (-92). A lost reply whose outcome could not be read back gives its
 * own code (-85, -86, -87): then whether it was done is not known.
 * @param block 0 to 63. @param delta added to the value, modulo 2^32.
 * @param before out: the value before the change; @param after out: the value after it (on
 *        TQRF_ERR_VALUE_CONFLICT the value read back). Written on 0 and TQRF_ERR_VALUE_CONFLICT
 * only.
 * @return 0; a reader status (nothing changed by that step); -92; -93; -85, -86, -87; -89.
 */
TQRF_API(int32_t)
tqrf_reader_value_apply(tqrf_reader* r, int32_t block, int32_t delta, uint32_t* before,
                        uint32_t* after);

/* ---- Reader device operations on a reader ------------------------------------------------- */

/** Send the reader its reset command (0x72). */
TQRF_API(int32_t) tqrf_reader_reset(tqrf_reader* r);

/**
 * Read the hardware version (0x73).
 * @param out room for capacity bytes (may be null when capacity is 0).
 * @param length out: the number of bytes the reply carried (also on -90).
 * @return 0 with the bytes in out; -90 when they do not fit (nothing copied); a status byte or
 *         a negative code, with out and length untouched.
 */
TQRF_API(int32_t)
tqrf_reader_hardware_version(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length);

/** Read the identity number (0x76): 1 to 4 data bytes, least significant first. @param id out. */
TQRF_API(int32_t) tqrf_reader_id(tqrf_reader* r, uint32_t* id);

/**
 * Read the RC500 chip's E2PROM from an address (0x75).
 * @param address 0 to 255. @param out, capacity, length as for tqrf_reader_hardware_version().
 */
TQRF_API(int32_t)
tqrf_reader_e2_read(tqrf_reader* r, int32_t address, uint8_t* out, uint32_t capacity,
                    uint32_t* length);

/**
 * Write 16 bytes to the RC500 chip's E2PROM (0x74). It holds the chip's configuration: a wrong
 * write can make the reader unusable.
 * @param address 0 to 127. @param data in, 16 bytes.
 */
TQRF_API(int32_t) tqrf_reader_e2_write(tqrf_reader* r, int32_t address, const uint8_t data[16]);

/** Test the link to the reader (0x77). */
TQRF_API(int32_t) tqrf_reader_link_test(tqrf_reader* r);

/**
 * Sound the beeper (0x69).
 * @param mode 0 to 255, sent as is; mode 0 answers when the beep is over, so its reply deadline
 *        is the beep time plus 40 ms.
 * @param duration beep time in units of 10 ms, 0 to 240.
 */
TQRF_API(int32_t) tqrf_reader_beep(tqrf_reader* r, int32_t mode, int32_t duration);

/**
 * Read the reader's clock (0x6B): its bytes as the reader sends them (their layout is the
 * reader's). @param out, capacity, length as for tqrf_reader_hardware_version().
 */
TQRF_API(int32_t)
tqrf_reader_clock_read(tqrf_reader* r, uint8_t* out, uint32_t capacity, uint32_t* length);

/** Set the reader's clock (0x6A). @param clock in, 7 bytes, sent unchanged. */
TQRF_API(int32_t) tqrf_reader_clock_set(tqrf_reader* r, const uint8_t clock[7]);

/* ==== Finding the reader: port listing, probing, what answered ================================
 *
 *   tqrf_port_info* ports; uint32_t n;
 *   if (tqrf_list_ports(&ports, &n) == 0) {
 *       for (uint32_t i = 0; i < n; ++i) {
 *           tqrf_probe_result p;
 *           if (tqrf_probe(ports[i].device, 0, &p) == 0 && p.outcome == TQRF_PROBE_READER) ...
 *       }
 *       tqrf_free_ports(ports);
 *   }
 */

/* Transport of a port (tqrf_port_info.transport). */
/** A UART of the computer itself (a built-in COM port, an 8250-type UART). */
#define TQRF_TRANSPORT_BUILTIN 0
/** A USB-serial adapter or a USB device with a serial interface. */
#define TQRF_TRANSPORT_USB 1
/** A Bluetooth serial link (rfcomm). */
#define TQRF_TRANSPORT_BLUETOOTH 2
/** Anything else the system lists as a serial port. */
#define TQRF_TRANSPORT_OTHER 3

/* Whether the port's driver is known to carry mark and space parity (tqrf_port_info.mark_space),
 * which the reader needs to see its address byte. Known from the driver's name (and, for
 * CP210x adapters, the chip named by the product string), never from trying it. */
/** The driver carries mark and space parity (ftdi_sio, cp210x except the CP2101, pl2303,
 *  ch341, 8250-type built-in UARTs; on Windows their vendors' drivers). */
#define TQRF_MARK_SPACE_YES 1
/** The driver drops mark and space parity (ti_usb_3410_5052, io_ti, digi_acceleport,
 *  kobil_sct, upd78f0730, a CP2101): the reader will not answer through this adapter. */
#define TQRF_MARK_SPACE_NO 0
/** Not known (cdc_acm passes it to the device, which may ignore it; other drivers). */
#define TQRF_MARK_SPACE_UNKNOWN (-1)

/** The fields of a port entry that say what is behind the port, the last ones of both layouts
 *  (tqrf_port_info, tqrf_port_info2). */
#define TQRF_PORT_INFO_HARDWARE_FIELDS                                                          \
    /** USB vendor and product id (0x0403, 0x6001), or -1 when the port is not on USB or the    \
     *  ids are not known. */                                                                   \
    int32_t usb_vendor_id;                                                                      \
    int32_t usb_product_id;                                                                     \
    /** The USB device's serial number, manufacturer and product strings, or "". */             \
    const char* serial_number;                                                                  \
    const char* manufacturer;                                                                   \
    const char* product;                                                                        \
    /** The kernel driver ("ftdi_sio", "serial8250"; on Windows the driver service, "FTSER2K"), \
     *  or "". */                                                                               \
    const char* driver;                                                                         \
    /** TQRF_MARK_SPACE_YES, _NO or _UNKNOWN, from the driver (see above). */                   \
    int32_t mark_space;

/** One serial port the system knows. Every string is UTF-8 and NUL-terminated, never null
 *  ("" when not known), and lives in the list's single allocation. */
typedef struct tqrf_port_info {
    /** What to open: "/dev/ttyUSB0" (under TQRF_DEVICE_ROOT when set), or "COM3" on Windows. */
    const char* device;
    /** A name that stays the same across plug-ins: "/dev/serial/by-id/usb-FTDI_..." on Linux;
     *  "" when there is none. It can be passed to tqrf_probe() and tqrf_reader_open(). */
    const char* stable_path;
    /** Human text: "FT232R USB UART (FTDI)", "Built-in serial port", the system's name. */
    const char* description;
    /** TQRF_TRANSPORT_*. */
    int32_t transport;
    TQRF_PORT_INFO_HARDWARE_FIELDS
} tqrf_port_info;

/**
 * List the serial ports the system knows, in name order (ttyS1 before ttyS10). Nothing is
 * opened and nothing is sent. Linux reads sysfs (/sys/class/tty): USB adapters with their USB
 * identity and driver, built-in UARTs that report hardware, Bluetooth rfcomm ports; virtual
 * terminals, pseudo-terminals and built-in UARTs without hardware are left out. With the
 * environment variable TQRF_DEVICE_ROOT set to a folder, the listing reads
 * $TQRF_DEVICE_ROOT/sys/... and names the devices $TQRF_DEVICE_ROOT/dev/NAME (for tests).
 * Windows lists HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, with the Device Manager's names where the
 * system has them.
 *
 * @param ports out: the list, one allocation that the caller frees with tqrf_free_ports();
 *        null when the list is empty.
 * @param count out: the number of entries.
 * @return 0; -89 when ports or count is null; -1 out of memory. On failure *ports is null
 *         and *count 0. Thread-safe; allocates (not a command).
 */
TQRF_API(int32_t) tqrf_list_ports(tqrf_port_info** ports, uint32_t* count);

/** Free a list from tqrf_list_ports(). A null list is ignored. */
TQRF_API(void) tqrf_free_ports(tqrf_port_info* ports);

/* Outcome of a probe (tqrf_probe_result.outcome). */
/** A reader answered the link test with a valid frame; version and identity were asked. */
#define TQRF_PROBE_READER 0
/** The bytes sent came back unchanged (the address byte and the frame, or the frame alone): a
 *  loopback plug, or an adapter whose lines are crossed. No reader answered. */
#define TQRF_PROBE_ECHO 1
/** Bytes came back that are no reply frame: another device, or a wrong line rate. */
#define TQRF_PROBE_NOISE 2
/** Nothing came back within the deadline: no reader, or one without power. */
#define TQRF_PROBE_SILENT 3
/** The device does not exist (ENOENT; Windows: file or path not found). */
#define TQRF_PROBE_MISSING 4
/** Not permitted to open it (EACCES, EPERM: on Linux, join the group that owns the device). */
#define TQRF_PROBE_NO_PERMISSION 5
/** Another program holds the port (EBUSY, or open in another process; Windows: access denied
 *  or sharing violation). Nothing was written. */
#define TQRF_PROBE_BUSY 6
/** The path is not a serial device (ENOTTY). */
#define TQRF_PROBE_NOT_SERIAL 7
/** It did not open, or its line could not be set, for another reason: see os_error. */
#define TQRF_PROBE_OPEN_FAILED 8
/** It opened, but the adapter's driver dropped the mark and space parity just set (read back
 *  after setting it, as tqrf_reader_open() does: TQRF_ERR_PARITY_UNSUPPORTED). The reader
 *  could never see its address byte through it; nothing was written. Use another adapter. */
#define TQRF_PROBE_NO_MARK_SPACE 9

/** The fields of a probe result, in the order both layouts have them: tqrf_probe_result has
 *  them alone, tqrf_probe_result2 after its size. */
#define TQRF_PROBE_RESULT_FIELDS                                                                 \
    /** TQRF_PROBE_*. */                                                                         \
    int32_t outcome;                                                                             \
    /** The operating system's error code of a failed open (errno, GetLastError()), else 0. */   \
    int32_t os_error;                                                                            \
    /** From the start of the link test's request to its complete reply, in microseconds;        \
     *  0 unless a reply frame came. */                                                          \
    uint32_t round_trip_us;                                                                      \
    /** What came back for the link test: received bytes in bytes[0..received-1] (at most 105;   \
     *  0 for silence and when the port did not open). */                                        \
    uint32_t received;                                                                           \
    uint8_t bytes[105];                                                                          \
    /** TQRF_PROBE_READER only: the hardware version's bytes as the reader sent them (0 to       \
     *  TQRF_REPLY_DATA_MAX; version_length 0 when the reader did not give it), and the identity \
     *  number (0 when it did not give it). */                                                   \
    uint32_t version_length;                                                                     \
    uint8_t version[TQRF_REPLY_DATA_MAX];                                                        \
    uint32_t reader_id;

/** What a probe found. */
typedef struct tqrf_probe_result {
    TQRF_PROBE_RESULT_FIELDS
} tqrf_probe_result;

/**
 * Find out what is on a port. The port is opened as tqrf_reader_open() opens it (exclusively:
 * a port another program holds is never written to; on Linux a port that another process has
 * open without locking it, as far as /proc shows this process, counts as held, except a
 * pseudo-terminal, which its other end holds by design), one link test (0x77) is sent with the
 * reply deadline given, and what came back is classified. Only when a reader answered with a
 * valid frame are two more requests sent: its hardware version (0x73) and identity (0x76).
 * Nothing else is ever written. The port is closed again before the call returns.
 *
 * @param port as for tqrf_reader_open(): "COMn" or a device path (a by-id path, a
 *        pseudo-terminal). Read only.
 * @param deadline_ms how long to wait for the link test's reply, 40 to 1040 ms (values outside
 *        are brought into that range); 0 for the default, 100 ms.
 * @param out receives the result; every field is written.
 * @return 0 with the outcome in out (also when nothing answered or the port did not open);
 *         -89 when port is null or empty or out is null. Thread-safe; blocks for at most the
 *         deadline plus two commands' deadlines.
 */
TQRF_API(int32_t) tqrf_probe(const char* port, uint32_t deadline_ms, tqrf_probe_result* out);

/** The highest COM port number a "COMn" name maps to a device (tqrf_com_port_path()). */
#define TQRF_COM_PORT_MAX 999

/**
 * The device a COM port name opens, as tqrf_reader_open() and tqrf_probe() open it: on Windows
 * "\\.\COMn", on POSIX systems /dev/ttyS(n-1) (COM1 is /dev/ttyS0). tqrf_init() maps the
 * number it reads from its name the same way. Sends nothing, opens nothing; callable at any
 * time from any thread.
 *
 * @param name NUL-terminated "COMn": "COM" in any case, then decimal digits only, n from 1 to
 *        TQRF_COM_PORT_MAX ("COM3", "com12", "COM007"). Read only.
 * @param path out: the device path, NUL-terminated; capacity bytes of room (32 are always
 *        enough). Untouched unless the result is 0.
 * @param capacity the size of path in bytes.
 * @return 0; TQRF_ERR_BAD_ARGUMENT (-89) when name or path is null or name is no such COM name
 *         (a device path, "COM0", "COM1000", "COM3x"); TQRF_ERR_BUFFER_TOO_SMALL (-90) when the
 *         path and its terminator do not fit capacity bytes.
 */
TQRF_API(int32_t) tqrf_com_port_path(const char* name, char* path, uint32_t capacity);

/* ---- Growable port list and probe result (from version 1.3) ------------------------------
 *
 *   tqrf_port_info2* ports; uint32_t n;
 *   if (tqrf_list_ports2(sizeof(tqrf_port_info2), &ports, &n) == 0) {
 *       for (uint32_t i = 0; i < n; ++i) {
 *           tqrf_probe_result2 p;
 *           p.size = sizeof p;
 *           if (tqrf_probe2(ports[i].device, 0, &p) == 0 && p.outcome == TQRF_PROBE_READER) ...
 *       }
 *       tqrf_free_ports2(ports);
 *   }
 *
 * A field a later version adds is appended at the end; nothing is ever moved or removed. */

/** The size of a structure up to and including one of its fields: the size of an earlier,
 *  smaller version of it whose last field is `field`. */
#define TQRF_SIZE_THROUGH(type, field) (offsetof(type, field) + sizeof(((type*)0)->field))

/** One serial port the system knows, in the growable form: the fields of tqrf_port_info (see
 *  there) after a size. Strings are UTF-8 and NUL-terminated, never null for the fields this
 *  library knows ("" when not known), and live in the list's single allocation. */
typedef struct tqrf_port_info2 {
    /** The entry size the caller asked for in tqrf_list_ports2(); set by the library. */
    uint32_t size;
    /** TQRF_TRANSPORT_*. */
    int32_t transport;
    /** What to open: "/dev/ttyUSB0" (under TQRF_DEVICE_ROOT when set), or "COM3" on Windows. */
    const char* device;
    /** A name that stays the same across plug-ins ("/dev/serial/by-id/..."), or "". */
    const char* stable_path;
    /** Human text: "FT232R USB UART (FTDI)", "Built-in serial port", the system's name. */
    const char* description;
    TQRF_PORT_INFO_HARDWARE_FIELDS
} tqrf_port_info2;

/** The smallest entry size tqrf_list_ports2() takes: the size field, transport and device. */
#define TQRF_PORT_INFO2_MIN_SIZE TQRF_SIZE_THROUGH(tqrf_port_info2, device)

/**
 * List the serial ports the system knows, as tqrf_list_ports() does, into growable entries.
 *
 * @param entry_size the caller's sizeof(tqrf_port_info2): the distance from one entry to the
 *        next. At least TQRF_PORT_INFO2_MIN_SIZE, at most 65536, and a multiple of the
 *        structure's alignment (as any sizeof is). Each entry's size field is set to it; the fields
 * that lie wholly inside it are written, every other byte of the entry is 0 (null strings).
 * @param ports out: the list, one allocation freed with tqrf_free_ports2(); null when empty.
 * @param count out: the number of entries.
 * @return 0; TQRF_ERR_BAD_ARGUMENT (-89) when ports or count is null or entry_size is refused;
 *         TQRF_ERR_FAILED (-1) out of memory or the system's list could not be read. On failure
 *         *ports is null and *count 0. Thread-safe; allocates (not a command).
 */
TQRF_API(int32_t) tqrf_list_ports2(uint32_t entry_size, tqrf_port_info2** ports, uint32_t* count);

/** Free a list from tqrf_list_ports2(). A null list is ignored. */
TQRF_API(void) tqrf_free_ports2(tqrf_port_info2* ports);

/** What a probe found, in the growable form: the fields of tqrf_probe_result (see there) after
 *  a size. */
typedef struct tqrf_probe_result2 {
    /** Set by the caller before the call: sizeof(tqrf_probe_result2) as the caller knows it.
     *  The library never changes it. */
    uint32_t size;
    TQRF_PROBE_RESULT_FIELDS
} tqrf_probe_result2;

/** The smallest size tqrf_probe2() takes: the size field and the outcome. */
#define TQRF_PROBE_RESULT2_MIN_SIZE TQRF_SIZE_THROUGH(tqrf_probe_result2, outcome)

/**
 * Find out what is on a port, exactly as tqrf_probe() does (same bytes sent, same outcomes,
 * same deadline rules), into a growable result.
 *
 * @param port "COMn" or a device path, as for tqrf_probe(). Read only.
 * @param deadline_ms as for tqrf_probe(): 40 to 1040 ms, 0 for 100 ms.
 * @param out in: out->size set by the caller, at least TQRF_PROBE_RESULT2_MIN_SIZE. Out: the
 *        fields that lie wholly inside out->size are written; bytes past the fields this
 *        library knows, up to out->size, are set to 0; a field cut by out->size and every byte
 *        past out->size are left untouched.
 * @return 0 with the outcome in out; TQRF_ERR_BAD_ARGUMENT (-89) when port is null or empty,
 *         out is null or out->size is below TQRF_PROBE_RESULT2_MIN_SIZE (nothing is opened and
 *         out is untouched). Thread-safe; blocks for at most the deadline plus two commands'
 *         deadlines.
 */
TQRF_API(int32_t) tqrf_probe2(const char* port, uint32_t deadline_ms, tqrf_probe_result2* out);

/* What the last exchange of a reader heard (tqrf_reader_last_answer()). */
/** No exchange yet, or the last one failed before anything was sent. */
#define TQRF_ANSWER_NONE 0
/** A reply frame of the right size and checksum (its content may still be refused, -87). */
#define TQRF_ANSWER_FRAME 1
/** Nothing came back. */
#define TQRF_ANSWER_SILENCE 2
/** What was sent came back unchanged: a loopback plug or crossed lines, no reader. */
#define TQRF_ANSWER_ECHO 3
/** Bytes came back that are no reply frame (another device, a wrong rate, a broken reply). */
#define TQRF_ANSWER_NOISE 4

/**
 * What the reader's last exchange heard back: TQRF_ANSWER_*. It tells why a command failed
 * with -86 or -85: silence (check power and cable), an echo (a loopback plug or crossed lines),
 * or bytes that are no frame (another device, a wrong line rate). Takes the reader's lock.
 * @return TQRF_ANSWER_*; -89 when r is null.
 */
TQRF_API(int32_t) tqrf_reader_last_answer(tqrf_reader* r);

#endif /* TQ_RWD_DLL_H */
