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
 *   < 0       one of the ERR_* codes below, raised by the library itself.
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
 *   After that check, a null pointer argument gives ERR_FAILED (-1) and nothing is sent.
 *
 * Threads
 *   The library has one port per process and no locks: calls must not overlap.
 *
 * Calling convention
 *   Every export uses the C calling convention (__cdecl on Windows) and C linkage.
 */
#ifndef TQ_RWD_DLL_H
#define TQ_RWD_DLL_H

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

/* ---- Result codes ------------------------------------------------------------------------- */

/** 0: the command was carried out (the reader's status byte 0). */
#define TQRF_OK 0
/** -1: a line-setting or queue call failed, an argument was refused (null pointer, rate text
 *  too long), or tqrf_exit() found no port to close. */
#define ERR_FAILED (-1)
/** 1: tqrf_authentication_2() only: the block is not the sector's trailer; nothing was sent.
 *  A caller cannot tell it from a reader status byte of 1. */
#define ERR_NOT_SECTOR_TRAILER 1
/** -80: tqrf_init() while a port is already open. */
#define ERR_PORT_IN_USE (-80)
/** -81: the serial device could not be opened (missing, busy or not permitted). */
#define ERR_PORT_OPEN_FAILED (-81)
/** -82: no port is open; nothing was sent. */
#define ERR_PORT_NOT_OPEN (-82)
/** -83: the request was not written whole. */
#define ERR_SEND_FAILED (-83)
/** -85: the reply had its announced length but failed the XOR check. */
#define ERR_REPLY_CHECKSUM (-85)
/** -86: no reply, a reply shorter than 4 bytes, or a reply whose size does not match its
 *  length field (still arriving, longer than 105 bytes, or noise). */
#define ERR_REPLY_FRAME (-86)

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
 *         open (on POSIX also for n < 1); -1 the name is null, or configuring the line failed
 *         (the port then stays open: call tqrf_exit()).
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
 * @return 1 (ERR_NOT_SECTOR_TRAILER) when the check fails, with nothing sent; otherwise
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
 * @param version out: every data byte of the reply (0 to 101), from byte 0, no terminator.
 *        Provide 101 bytes to be safe for any reply; nothing is written when there is no data.
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
 * @param data out: every data byte of the reply (0 to 101); provide 101 bytes to be safe.
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
 * @param clock out: every data byte of the reply (0 to 101); provide 101 bytes to be safe.
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

#endif /* TQ_RWD_DLL_H */
