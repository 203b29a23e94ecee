/*
 * mdnio.h -- keyed-file I/O for the Meridane data files, with a flat C interface.
 *
 * Conventions
 * -----------
 * Handles.  `MdkEnv*` (an environment) and `MdkFile*` (an open file) are opaque.  An environment
 *   owns every file opened in it, its remote connection and its catalog handle; `MDK_DeAllocEnv`
 *   rolls back an open transaction and closes every file still open.  A file handle is freed by
 *   `MDK_close` (inside a transaction the close is completed by the commit or rollback).
 * Results.  Integer results are `int32_t`.  Unless an export says otherwise, -1 means failure and
 *   the error code is left in the handle, where `MDK_geterrno` and `MDK_strerr` find it; 0 or
 *   more means success.  A null handle or the all-ones handle `MDK_INVALID_FILE` passed to a call
 *   that checks handles answers -1 and stores nothing.  Successful calls do not reset the code.
 * Calls without a handle report otherwise: `MDK_OpenExt` through its `errorOut` argument, the
 *   transaction calls as -36 or -37, the environment-mode calls as -5, the restricted reads as
 *   -4 at the end of the key range or of the file.
 * Addresses.  Where a value may be an address (environment modes that answer or take one), the
 *   type is `intptr_t`.
 * Ownership.  The library never frees a caller's buffer and never keeps a pointer to one after a
 *   call returns (restrict constants are copied).  Texts the library returns (`MDK_strerr`, the
 *   text modes of `MDGetEnvMode`) stay owned by the library.
 * Threads.  Any thread may call; several threads may share an environment and a handle.
 * Byte order.  Every multi-byte integer inside the data files and on the wire is big-endian,
 *   except the change counter of the classic header.
 *
 * Error codes (MDK_geterrno; messages from MDK_strerr):
 *    0 Okay                                  23 File header or record busy -- retry later
 *    1 Can't open data file                   24 File full
 *    2 Bad file handle number                 26 Duplicate key not allowed
 *    3 Invalid key specified                  27 File error : Record length invalid
 *    4 End of file reached                    28 File error : Invalid Segment number
 *    5 Bad file type -- Not a KEYED file      29 Unable to access Indexed file header
 *    6 Key number invalid                     30 File error : Decompression failed
 *    7 Length invalid                         31 File error : Password Incorrect
 *    8 No system memory available             32 Bad record offset
 *    9 File error : Offset error              33 File does not exist
 *   10 File error : Read of key buffer failed 34 Unknown operator in restrict routine
 *   11 File error : Key header address invalid 35 Access Violation: File is in Read Only mode
 *   12 File error : Key size invalid          36 Begin transaction without ending previous ...
 *   13 File error : Record size invalid       37 Rollback/Commit without Begin transaction
 *   14 File error : Seek failed               38 File header is busy -- retry later
 *   15 File error : Read failed               39 Required information missing
 *   16 File error : Truncated read            40 Views object version wrong
 *   17 Bad internal function code             41 File error : Incorrect buffer contents
 *   18 File type is indexed                   42 No more file handles available (too many ...)
 *   19 Write command failed                   43 Network error
 *   20 Keyed Io returned bad address          44 Version wrong
 *   21 Deleted record chain corrupted         any other code: "Unknown error"
 *   22 No EOF marker found in keyed file      47 Restrict entry index invalid
 *                                             48 Record field not found
 *
 * An operation that a file's kind does not support fails with code 5 and answers -1 (or the
 * export's own failure value).
 */
#ifndef MDNIO_H
#define MDNIO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(MDNIO_BUILDING)
#define MDNIO_API __attribute__((visibility("default")))
#else
#define MDNIO_API
#endif

typedef struct MdkEnv MdkEnv;
typedef struct MdkFile MdkFile;
typedef struct MdkCatalog MdkCatalog;

/* The value MDK_OpenExt and MDK_open answer when no file was opened. */
#define MDK_INVALID_FILE ((MdkFile*)(intptr_t)-1)

/* Library version, as MDGetEnvMode(env, 10) answers it. */
#define MDK_VERSION 4002000

/* Open flags (the `flags` argument of MDK_OpenExt). Other bits are passed to the engine. */
#define MDK_OPEN_READONLY 0x200  /* read only; write-type calls fail with 35 */
#define MDK_OPEN_EXCLUSIVE 0x400 /* deny every other opener, in this process or another */
#define MDK_OPEN_NO_MEMORY 0x4   /* remote files: never hold the whole file in memory */
#define MDK_OPEN_NO_KEYS 0xFFFF  /* extended keyed files: low 16 bits all ones: skip key loads */

/* File kinds. */
#define MDK_KIND_KEYED 2
#define MDK_KIND_INDEXED 3
#define MDK_KIND_KEYED2 21
#define MDK_KIND_VIEW 22
#define MDK_KIND_REMOTE 23
#define MDK_KIND_REMOTE_MEMORY 24

/* Error codes. */
#define MDK_OK 0
#define MDK_E_OPEN 1
#define MDK_E_HANDLE 2
#define MDK_E_KEY 3
#define MDK_E_EOF 4
#define MDK_E_FILETYPE 5
#define MDK_E_KEYNUM 6
#define MDK_E_LENGTH 7
#define MDK_E_MEMORY 8
#define MDK_E_OFFSET 9
#define MDK_E_KEYREAD 10
#define MDK_E_KEYADDR 11
#define MDK_E_KEYSIZE 12
#define MDK_E_RECSIZE 13
#define MDK_E_SEEK 14
#define MDK_E_READ 15
#define MDK_E_TRUNCATED 16
#define MDK_E_INTERNAL 17
#define MDK_E_INDEXED 18
#define MDK_E_WRITE 19
#define MDK_E_BADADDR 20
#define MDK_E_DELCHAIN 21
#define MDK_E_NOEOF 22
#define MDK_E_BUSY 23
#define MDK_E_FULL 24
#define MDK_E_DUPLICATE 26
#define MDK_E_RECLENGTH 27
#define MDK_E_SEGMENT 28
#define MDK_E_INDEXHEADER 29
#define MDK_E_DECOMPRESS 30
#define MDK_E_PASSWORD 31
#define MDK_E_RECOFFSET 32
#define MDK_E_NOFILE 33
#define MDK_E_OPERATOR 34
#define MDK_E_READONLY 35
#define MDK_E_TXBEGIN 36
#define MDK_E_TXNONE 37
#define MDK_E_HEADERBUSY 38
#define MDK_E_MISSING 39
#define MDK_E_VIEWVERSION 40
#define MDK_E_BUFFER 41
#define MDK_E_HANDLES 42
#define MDK_E_NETWORK 43
#define MDK_E_VERSION 44
/* Codes of this library beyond the classic table (45 and 46 stay unassigned):
 * 47 "Restrict entry index invalid": MDK_PutRestrictInfo with an index outside 0..49.
 * 48 "Record field not found": a restrict entry names a field the record does not have.
 * 49 "File left half-written by a stopped writer -- open it for writing to repair it": a
 *    process that cannot write the file found a change a killed writer left unfinished; it
 *    reads nothing of the file until a process that can write it has undone the change. */
#define MDK_E_RESTRICTINDEX 47
#define MDK_E_NOFIELD 48
#define MDK_E_HALFWRITTEN 49

/* Read options (MDK_read, MDK_ExtReadDirect). */
#define MDK_READ_CURRENT 1
#define MDK_READ_NEXT 2
#define MDK_READ_PRIOR 3
#define MDK_READ_LOCK 0x1000   /* lock the record and keep the lock after the call */
#define MDK_READ_UNLOCK 0x2000 /* release every held record lock before reading */
/* With an address (keyed files): read the record as it is stored, without looking it up in the
 * current key's tree.  The position is then that record, outside the key's order. */
#define MDK_READ_NOSEARCH 0x4000

/* Write modes (MDK_ExtWrite). */
#define MDK_WRITE_INSERT 1
#define MDK_WRITE_UPDATE 2
#define MDK_WRITE_EITHER 3
#define MDK_WRITE_KEEP_POSITION 0x04 /* the handle's position stays where it was */
#define MDK_WRITE_KEEP_LOCK 0x1000   /* the record stays locked after the call */

/* ------------------------------------------------------------------------------------------ */
/* Environments                                                                                */

/* A new environment, or null when memory is exhausted. */
MDNIO_API MdkEnv* MDK_AllocEnv(void);

/* Rolls back an open transaction, closes every file still open in `env`, ends its remote
 * session and frees it.  An environment the library does not know is left alone. */
MDNIO_API void MDK_DeAllocEnv(MdkEnv* env);

/* ------------------------------------------------------------------------------------------ */
/* Opening and closing                                                                         */

/* Opens `name` in `env`.
 *   name: a local path ("/" first: complete; otherwise relative to the current directory), a
 *     remote name beginning with "[rmt:" in any case ("[rmt:host;port]file"), or a view name
 *     (a name whose last part, after the last "/", contains "@"; an "@" in a directory part is
 *     an ordinary character).  Longer than 255 bytes once resolved: refused with 1.
 *   password, passwordLength: the data-file password of a protected keyed file, or null and 0.
 *   flags: MDK_OPEN_* above.
 *   errorOut: null, or receives 0 on entry and the error code on failure.
 * Answers the handle, or MDK_INVALID_FILE with the code in *errorOut:
 *   33 file does not exist; 1 cannot be opened (also: another opener holds it exclusively,
 *     or the name is not a regular file -- a directory, FIFO, device or socket -- which is
 *     refused at once: the open never waits, not even for a FIFO's writer);
 *   5 fewer than 8 bytes, unknown magic, or a file kind this build cannot open;
 *   43, 44 remote connection; 8 no memory; 31 password refused; engine codes otherwise.
 * With environment mode 4 set, a file that cannot be opened for writing is opened read-only;
 * its write-type calls then fail with 35. */
MDNIO_API MdkFile* MDK_OpenExt(MdkEnv* env, const char* name, const char* password,
                               int32_t passwordLength, int32_t flags, int32_t* errorOut);

/* MDK_OpenExt in the process-wide default environment (made on first use), no password, no
 * flags, no error out-argument. */
MDNIO_API MdkFile* MDK_open(const char* name);

/* Closes the handle: releases its record locks and the header lock and frees it.  Inside a
 * transaction the handle is only marked closed (every later call fails with 2) and the commit
 * or rollback completes the close.  0, or -1. */
MDNIO_API int32_t MDK_close(MdkFile* file);

/* ------------------------------------------------------------------------------------------ */
/* Reading                                                                                     */

/* MDK_ExtReadDirect(file, buffer, length, option, 0, 0). */
MDNIO_API int32_t MDK_read(MdkFile* file, void* buffer, int32_t length, int32_t option);

/* Reads a record into `buffer`: the key area first, then the data.
 *   option: low byte 1 current, 2 next, 3 prior in the order of the current key; any other
 *     value reads the record at `address`; MDK_READ_LOCK, MDK_READ_UNLOCK, MDK_READ_NOSEARCH
 *     may be added.
 *   offset: bytes of the record to skip (negative: 32).
 *   address: the record address for reads by address.
 * Answers the bytes placed, -2 when the buffer was too small (it is filled), the record's whole
 * length when `buffer` is null, or -1 (3 no current record, 4 end of file, 17 bad option,
 * 23 record busy, read errors 9 to 15, 20, 30).  Indexed files: a record the header's count
 * covers but the file ends before (a file cut short) fails with 15, never with 4. */
MDNIO_API int32_t MDK_ExtReadDirect(MdkFile* file, void* buffer, int32_t length, int32_t option,
                                    int32_t offset, int32_t address);

/* Positions on the first key of key `keyNumber` (counted from 1; 0 or less keeps the current
 * key) at or after `key`.  0 when an equal key exists; -1 with 3 when not (the position is then
 * the next higher key), 6 bad key number, 7 bad length.  Key number -1000 switches
 * physical-order reading on (block-mode keyed files, else 6) and positions before the first
 * record. */
MDNIO_API int32_t MDK_seek(MdkFile* file, const void* key, int32_t keyLength, int32_t keyNumber);

/* MDK_seek key number that switches physical-order reading on (block-mode keyed files). */
#define MDK_SEEK_PHYSICAL (-1000)

/* Copies the value of key `keyNumber` (counted from 0; -1 the current key) of the current record
 * into `buffer`.  Answers its length, or -1 (3 no current record, 6, 7 buffer too small). */
MDNIO_API int32_t MDK_GetKey(MdkFile* file, void* buffer, int32_t length, int32_t keyNumber);

/* Makes the record at `position` (a record address) current.  0, or -1 (3, 32, read errors). */
MDNIO_API int32_t MDK_setpos(MdkFile* file, int32_t position);

/* The current record address (indexed files: record number), or -1. */
MDNIO_API int32_t MDK_getpos(MdkFile* file);

/* Switches physical-order reading on (1) or off (0) on a block-mode keyed file; answers the
 * previous mode.  No handle check: `file` must be a valid open handle.  In that order next and
 * prior walk the data blocks in file order; a step that meets a block it cannot read fails with
 * the block's code and leaves the position past that block, so the next step goes on beyond it
 * (the position is then after the block's last slot going forwards, before its first going
 * backwards). */
MDNIO_API int32_t MDK_RawReadMode(MdkFile* file, int32_t mode);

/* Rewrites `key` in place into the form the key stores (case folding, descending segments...)
 * for key `keyNumber` (counted from 1).  0, or -1 (6, 7). */
MDNIO_API int32_t MDK_keyadjust(MdkFile* file, void* key, int32_t keyLength, int32_t keyNumber);

/* ------------------------------------------------------------------------------------------ */
/* Writing                                                                                     */

/* MDK_ExtWrite(file, record, recordLength, key, keyLength, MDK_WRITE_EITHER, 0). */
MDNIO_API int32_t MDK_write(MdkFile* file, const void* record, int32_t recordLength,
                            const void* key, int32_t keyLength);
/* MDK_ExtWrite(..., MDK_WRITE_INSERT, 0). */
MDNIO_API int32_t MDK_insert(MdkFile* file, const void* record, int32_t recordLength,
                             const void* key, int32_t keyLength);
/* MDK_ExtWrite(..., MDK_WRITE_UPDATE, 0). */
MDNIO_API int32_t MDK_update(MdkFile* file, const void* record, int32_t recordLength,
                             const void* key, int32_t keyLength);

/* Writes a record: `key` (keyLength bytes; -1 rewrites the current record) goes to the key
 * area, `record` is the data.  writeMode: bit 1 may insert, bit 2 may replace; 0x04 keeps the
 * handle's position; 0x1000 keeps the record's lock after the call.  offset > 0
 * rewrites part of an existing record from that offset.  0, or -1: 35 read-only handle, 19
 * writes refused, 26 key exists (insert only), 3 key missing (update only), 12 bad key length,
 * 13 record too long, 24 file full, 32 bad offset, 23 busy, I/O codes.  Indexed files: 29 when
 * the header no longer describes the file, its record count included (a count of more records
 * than the file holds); nothing is written then. */
MDNIO_API int32_t MDK_ExtWrite(MdkFile* file, const void* record, int32_t recordLength,
                               const void* key, int32_t keyLength, int32_t writeMode,
                               int32_t offset);

/* Removes the record whose primary key is `key` (null: the current record).  0, or -1: 35, 19,
 * 3 not found, 5 on kinds that cannot remove. */
MDNIO_API int32_t MDK_remove(MdkFile* file, const void* key, int32_t keyLength);

/* Releases the record lock held at record address `which`; -1 releases every lock of the
 * handle.  0, or -1. */
MDNIO_API int32_t MDK_UnlockRecord(MdkFile* file, int32_t which);

/* ------------------------------------------------------------------------------------------ */
/* Dictionary records carried inside keyed files                                               */

/* Copies dictionary record `recordNumber` (0 the first; n > 0 follows the next links n times,
 * n < 0 the previous links) into `buffer`.  Answers the bytes copied, or -1 (3 no such record,
 * 9 bad record, 5 kind without dictionary records). */
MDNIO_API int32_t MDK_dict(MdkFile* file, int32_t recordNumber, void* buffer, int32_t length);

/* Adds or replaces dictionary record `recordNumber`: the record with that number is given the
 * `length` bytes of `payload`; when it does not exist and `recordNumber` is one past the last
 * record (or 0 on a file without dictionary records), it is appended.  0, or -1 (3 a number
 * further out, 7 bad length, 35, 19, I/O codes). */
MDNIO_API int32_t MDK_dict_add(MdkFile* file, int32_t recordNumber, const void* payload,
                               int32_t length);

/* Stores a password of `length` bytes (1 to 8) and its kind (0 to 255) in a classic keyed file
 * that has none, with the checksum the open checks.  Kinds: 0 refuse opens without the password
 * (31), 1 open them read-only, 2 refuse and encipher the blocks, 3 read-only and encipher, 4 to
 * 255 open.  The password record is a dictionary record "EXT" appended after the last one (an
 * empty record 0 is made first on a file without dictionary records).  The caller's buffer is not
 * changed.  Answers 0; 50 when the file has a password already; -1 on failure: 7 bad length or
 * kind, 19 kinds 2/3 on a file that already holds keys or records, or inside a transaction, or a
 * handle whose writes are refused, 35 read-only handle, 31 unreadable password record, 5 not a
 * classic keyed file, I/O codes. */
MDNIO_API int32_t MDK_SetPswd(MdkFile* file, const char* password, int32_t length, int32_t kind);

/* ------------------------------------------------------------------------------------------ */
/* Transactions: every file of the environment (a null environment answers -1)               */

/* 0, or -36 when a transaction is already open. */
MDNIO_API int32_t MDK_BeginTX(MdkEnv* env);
/* 0, -1 when a file's commit failed (its code is in that handle), -37 without a transaction. */
MDNIO_API int32_t MDK_CommitTX(MdkEnv* env);
/* 0, -1 when a file's rollback failed, -37 without a transaction. */
MDNIO_API int32_t MDK_RollbackTX(MdkEnv* env);

/* ------------------------------------------------------------------------------------------ */
/* Errors                                                                                      */

/* The code of the handle's last failure (2 for a null handle). */
MDNIO_API int32_t MDK_geterrno(MdkFile* file);
/* The message of that code; "Bad file handle number" for a null handle; "Unknown error" for a
 * code without a message.  Owned by the library. */
MDNIO_API const char* MDK_strerr(MdkFile* file);
/* The message of error code `code` without a handle: the text MDK_strerr gives for a handle
 * holding that code, "Okay" for 0 and "Unknown error" for a code without a message (negative
 * codes included).  Never null; owned by the library. */
MDNIO_API const char* MDK_ErrorMessage(int32_t code);

/* ------------------------------------------------------------------------------------------ */
/* Filters pushed down                                                                         */

/* A restrict entry: every entry of a handle's program must hold for a record to be returned.
 * Layout (64-bit): fieldNumber 0, offset 4, width 8, op 12, scale 16, length 20, reserved 24,
 * value 32; size 40. */
typedef struct MdkRestrictEntry {
    int32_t
        fieldNumber;   /* 0 the key area, 1 the first data field, n after the (n-1)-th separator */
    int32_t offset;    /* byte offset inside the field */
    int32_t width;     /* numeric entries: at most this many bytes are parsed */
    int32_t op;        /* 0 none, 1 =, 2 <>, 3 <=, 4 <, 5 >=, 6 >; + 0x8000: compare as numbers */
    int32_t scale;     /* numeric entries: implied decimals of the field */
    int32_t length;    /* bytes of `value`; 0 ends the program */
    int32_t reserved;  /* not read */
    const char* value; /* the constant: bytes, or the text of a number */
} MdkRestrictEntry;

#define MDK_OP_NONE 0
#define MDK_OP_EQ 1
#define MDK_OP_NE 2
#define MDK_OP_LE 3
#define MDK_OP_LT 4
#define MDK_OP_GE 5
#define MDK_OP_GT 6
#define MDK_OP_NUMERIC 0x8000

/* Stores entry `index` (0 to 49) of the handle's restrict program (the constant is copied; a
 * numeric constant is read once, here: one that is not a number keeps the slot's previous value).
 * Index -1 answers 0 and changes nothing.  0, or -1: 47 index out of range, 7 negative field
 * number, offset, width or length, 39 no entry or no constant, 8, and 5 for views and remote
 * files, whose programs are not kept in the handle. */
MDNIO_API int32_t MDK_PutRestrictInfo(MdkFile* file, int32_t index, const MdkRestrictEntry* entry);

/* Reads the next record in the current key's order that lies inside the key range (the first
 * `endKeyLength` bytes of its key not above `endKey`; only the low 8 bits of `endKeyLength`
 * count) and satisfies the handle's program, when it has one of its own (entries stored from
 * index 0 on); entries are tested in index order up to the first one without a constant or with
 * length 0.  The key range applies with or without a program.
 *   option: read option of the first read; the following reads step to the next record.
 *   keyOut, keyLengthOut: null, or receive the record's key and its length; keyOut needs room
 *     for the key and for endKeyLength + 1 bytes.  At the end of the range keyOut holds
 *     endKeyLength bytes 0xFF and a zero byte; at the end of the file it is only cleared.
 *   mode: bit 2 applies the key range and the program, bit 1 switches both off, bit 4 lets a
 *     remote file fetch several records per request.
 * Fields are looked for only in the bytes the read delivered: a record cut short by the buffer
 * is filtered on what fits (and answered -2).
 * Answers the record length, -4 at the end of the range or of the file (code 4 after the end of
 * the file), -1 on failure (34 operator above 6, 48 a field the record does not have, 7 a key
 * range without end key, read codes). */
MDNIO_API int32_t MDK_RestrictedRead(MdkFile* file, void* buffer, int32_t bufferLength,
                                     int32_t option, void* keyOut, uint8_t* keyLengthOut,
                                     const void* endKey, int32_t endKeyLength, int32_t mode);

/* MDK_RestrictedRead modes. */
#define MDK_RESTRICT_NO_FILTER 0x01 /* the key range and the program are switched off */
#define MDK_RESTRICT_FILTER 0x02    /* the key range and the program apply */
#define MDK_RESTRICT_BATCH 0x04     /* a remote file may fetch several records per request */

/* The next row of a filtered scan: on a handle with a program, MDK_RestrictedRead with mode 2,
 * so the program and the key range apply to every row; on a handle without one, mode 0, so the
 * scan goes on unfiltered as MDK_read_FIRST began it. */
MDNIO_API int32_t MDK_read_ODBC(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                                void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                                int32_t endKeyLength);

/* Installs the packed program (`programLength` bytes: big-endian 16-bit entry count, per entry
 * six 16-bit fields then the constant, then key length, key number and the start key; bytes
 * after the key are not read), seeks the start key and answers the first matching record as
 * MDK_RestrictedRead does (mode 2, or 0 for a program without entries).  The program replaces
 * the handle's last one: its entries take indices 0 to N - 1 and the program ends after them.
 * A program whose counts run past `programLength`, of more than 50 entries or with a start key
 * longer than 255 bytes fails with 7 and changes nothing.  A start key that is not in the file
 * starts at the next one; any other failure of the seek (6, 7) fails the call. */
MDNIO_API int32_t MDK_read_FIRST(MdkFile* file, void* buffer, int32_t bufferLength, int32_t option,
                                 void* keyOut, uint8_t* keyLengthOut, const void* endKey,
                                 int32_t endKeyLength, const void* program, int32_t programLength);

/* ------------------------------------------------------------------------------------------ */
/* Environment modes                                                                           */

/* Sets mode `mode` of `env` to `value`:
 *   -1 segment size in megabytes (any value; answers 0), 1 background flush (0/1), 2 fast step
 *   (0/1), 3 lock options (low 3 bits 1 to 4, bit 8 kept), 4 read-only fallback (0/1), 5 segment
 *   size in megabytes (0 to 2000), 6 runtime start directory, 7 runtime arguments, 8 runtime
 *   library directory (texts: `value` is a `const char*`), 9 catalog handle, 12 default server
 *   host (text, null empties it), 13 default server port, 20 writes survive a power loss (0/1,
 *   default 0; see MDK_MODE_SYNC_WRITES).
 * Answers the previous value (0 for texts), or -5 for a refused mode or value. */
MDNIO_API intptr_t MDSetEnvMode(MdkEnv* env, int32_t mode, intptr_t value);

/* Environment modes by name (MDSetEnvMode; MDGetEnvMode with an MdkEnv*). */
#define MDK_MODE_SEGMENT_SIZE_ANY (-1) /* set only: segment size, any value */
#define MDK_MODE_BACKGROUND_FLUSH 1
#define MDK_MODE_FAST_STEP 2
#define MDK_MODE_LOCK_OPTIONS 3 /* MDK_LOCK_* bits */
#define MDK_MODE_READONLY_FALLBACK 4
#define MDK_MODE_SEGMENT_SIZE 5
#define MDK_MODE_RUNTIME_START_DIR 6
#define MDK_MODE_RUNTIME_ARGS 7
#define MDK_MODE_RUNTIME_LIB_DIR 8
#define MDK_MODE_CATALOG 9
#define MDK_MODE_VERSION 10     /* get only */
#define MDK_MODE_SERVER_INFO 11 /* get only */
#define MDK_MODE_SERVER_HOST 12
#define MDK_MODE_SERVER_PORT 13
#define MDK_MODE_SERVER_CONNECT 14 /* get only */

/* Lock options (environment mode 3).  The low three bits must hold 1 to 4. */
#define MDK_LOCK_MARKED_ONLY 0x01   /* record locks only in calls that mark the file for one */
#define MDK_LOCK_NOWAIT_RECORD 0x04 /* a busy record lock fails at once with 23 */
#define MDK_LOCK_NOWAIT_HEADER 0x08 /* a busy header lock fails at once with 38 */

/* Environment mode 20, this library's own.  A writer killed half-way (any way a process ends)
 * never costs a call that returned, nor leaves half of one, whatever this mode says: every
 * change to a classic keyed file is journalled and undone by the next process that takes the
 * file's header lock when it did not finish.  With this mode on (1), the journal and the data
 * files are also synced to the disk before a call (or a commit) returns, so that a power loss or
 * a crash of the system keeps every call that returned too; each change then waits for the
 * disk a few times.  Off (0, the default), what a power loss leaves is not promised. */
#define MDK_MODE_SYNC_WRITES 20

/* Reads mode `mode` of an environment (`object` is an MdkEnv*): 1 to 5, 9, 13, 20 the settings
 * above, 6, 7, 8, 12 the addresses of the texts, 10 the library version (MDK_VERSION, whatever
 * `object` is), 11 the server information and 14 connect to the default server (0 on success,
 * the negated code on failure).
 * Or of an open file (`object` is an MdkFile*): -11 the shared state flags, -10 the field
 * separator (-1: none), -9 1 when the header marks the file read-only, -8 the key-area width,
 * -7 the address of the current key bytes, -6 the longest key length (indexed files 8), -5 the
 * maximum data length, -4 the record count (-1 for kinds without one), -3 the key buffer size,
 * -2 key buffer size plus record buffer length, -1 the address of the file's 256-byte header
 * copy.  Answers -5 for an unknown mode or a null object. */
MDNIO_API intptr_t MDGetEnvMode(void* object, int32_t mode);

/* MDGetEnvMode numbers of an open file (`object` an MdkFile*). */
#define MDK_FILE_SHARED_FLAGS (-11)
#define MDK_FILE_SEPARATOR (-10)
#define MDK_FILE_READONLY_MARK (-9)
#define MDK_FILE_KEY_AREA_WIDTH (-8)
#define MDK_FILE_CURRENT_KEY (-7)
#define MDK_FILE_LONGEST_KEY (-6)
#define MDK_FILE_MAX_DATA_LENGTH (-5)
#define MDK_FILE_RECORD_COUNT (-4)
#define MDK_FILE_KEY_BUFFER_SIZE (-3)
#define MDK_FILE_BUFFER_SIZE (-2)
#define MDK_FILE_HEADER (-1) /* the address of the 256-byte header copy */

/* ------------------------------------------------------------------------------------------ */
/* Catalog                                                                                     */

/* Dictionaries.  MDGetTables reads one of three kinds, chosen by the dictionary's file name:
 *   - a name containing ".ini" (any case): a private-profile file.  Its "*Tables*" section has a
 *     key per table: the key is the table name, the value its fileSpec.  The section named after
 *     a table has a key per column, in order: the key is the column name, the value a keyword
 *     list (below).
 *   - a name containing "meridane.ddf" (any case): a keyed dictionary file (classic, extended or
 *     indexed).  Each record is a 6-character key and fields separated by the file's separator:
 *     1 name, 2 fileSpec, 3 -, 4 text4, 5 -, 6 -, 7 text7, 8 text8, 9 to 11 -, 12 text12.  The
 *     record with key "000000" and records whose first field begins with '*' are not tables.
 *     The file is opened read-only.
 *   - the dictionary a data file carries: the columns of the tables of a keyed dictionary file;
 *     and a data file named as the dictionary (any other name) lists one table, itself, when its
 *     dictionary describes a column: named after the file without its extension ("stock" for
 *     "stock.dat"), its fileSpec the file's own name.  Dictionary records -1, -2, ... (MDK_dict)
 *     describe the key area, 1, 2, ... the data.  Each record is a list of items, each a length
 *     and that many bytes (a length byte below 128 is the length, otherwise (byte & 127) x 256
 *     plus the next byte).  The first item is a tag: records whose tag has 3 or more bytes
 *     and does not begin 00 00 B9 are not columns.  The items after the tag, from 0: 0 name,
 *     2 type, 3 length ("9" or "9.2"), 4 item4, 5 storage (also the format unless F, P or S),
 *     12 format (when not empty), 13 flags ('H' hide, 'N' no show).  At most 2048 records of
 *     each side are read, of 4096 bytes each.
 * fileSpec: the data file, optionally followed by ';' or ',' and a column source (an .ini file
 *   read instead of the dictionary for the columns of an .ini dictionary's table).  Relative
 *   names are taken from the dictionary's directory; '\' separates directories as '/' does.
 * Keyword lists (.ini columns): keywords separated by blanks or commas, each optionally followed
 *   by '=', '<' or '>' and a value (double quotes keep blanks, commas and case; "" is a quote).
 *   A keyword may be shortened to its first 3 or 4 letters.  NUMERIC, STRING, UNSIGNEDBINARY,
 *   UNI, ORB77*YEAR, BNR, LOGICAL set the type; BINARY, I86, FIXED, NOSTRIP, SUBSTRING,
 *   VARIABLE, PADDED, SIGNED, DECIMAL, DELIMITED the storage; FORMAT=, CLASS= (RIGHT or RIGHTnnn:
 *   right-justified, padded with character nnn, 32 by default), MUSTBE=|<|>, RECTYPE=, SAMEAS=
 *   set texts; LENGTH=l[.d], FIELD=n, OFFSET=n, SEPARATOR=n numbers; HIDE, NOSHOW, *RECTYPE
 *   flags; KEY nothing.  Unknown keywords are ignored.
 * Fields and offsets: columns are placed in order.  Key-area columns get field 0 and follow one
 *   another in the key area.  Data columns start at field 1, offset 0; a fixed-width column
 *   (storage F, S, P, B, C, G, I; in .ini lists any but D, L, Z) adds its length to the offset,
 *   a delimited one (D, L, Z) ends its field.  Embedded columns of another storage are not in
 *   the record: field 0, offset 0.
 * Limits: a key list over 65,504 bytes, a table value over 65,503 characters, a keyword list
 *   over 4,095 characters, an empty value, or an embedded record over 4,096 bytes fails the
 *   listing as a whole (answer 0) rather than listing part of it. */

/* Table record.  Text fields are zero-terminated and cut to their size.
 * separator: the keyed dictionary file's field separator (0xFF: length-prefixed fields); 0 for
 * .ini dictionaries.  bufferA/bufferB: see MDFetchTable.
 * Layout (64-bit): name 0, text7 64, fileSpec 145, text4 266, text8 347,
 * text12 363, bufferA 448, bufferACapacity 456, bufferALength 460, bufferB 464, bufferBCapacity
 * 472, bufferBLength 476, tableFlags 480, separator 484; size 488. */
typedef struct MdkTableRecord {
    char name[64];
    char text7[81];
    char fileSpec[121];
    char text4[81];
    char text8[16];
    char text12[81];
    char* bufferA;
    int32_t bufferACapacity;
    int32_t bufferALength;
    char* bufferB;
    int32_t bufferBCapacity;
    int32_t bufferBLength;
    int32_t tableFlags;
    uint8_t separator;
} MdkTableRecord;

/* Column record.  Text fields are zero-terminated and cut to their size; extra1 to extra5 and
 * reserved are not filled by the local dictionaries; fieldSeparator is SEPARATOR's value.
 * padChar: the pad character of a right-justified column.  bufferA/bufferB: see MDFetchColumn.
 * Layout (64-bit): name 0, format 64, class_ 128, extra1 192, item4 273,
 * extra2 284, extra3 365, extra4 446, extra5 697, mustBe 738, recType 802, sameAs 866,
 * bufferA 936, bufferACapacity 944, bufferALength 948, bufferB 952, bufferBCapacity 960,
 * bufferBLength 964, columnFlags 968, mustBeOp 972, field 976, offset 980, type 984, storage 988,
 * length 992, decimals 996, reserved 1000, padChar 1004, fieldSeparator 1008; size 1016. */
typedef struct MdkColumnRecord {
    char name[64];
    char format[64];
    char class_[64]; /* the CLASS text */
    char extra1[81];
    char item4[11];
    char extra2[81];
    char extra3[81];
    char extra4[251];
    char extra5[41];
    char mustBe[64];
    char recType[64];
    char sameAs[64];
    char* bufferA;
    int32_t bufferACapacity;
    int32_t bufferALength;
    char* bufferB;
    int32_t bufferBCapacity;
    int32_t bufferBLength;
    int32_t columnFlags; /* 1 HIDE, 2 *RECTYPE, 4 RECTYPE given, 8 NOSHOW, 16 right-justified */
    uint8_t mustBeOp;    /* '=', '<' or '>' */
    int32_t field;       /* 0 the key area */
    int32_t offset;
    int32_t type;    /* 'S' 'N' 'U' 'R' 'B' 'L' */
    int32_t storage; /* 'D' 'B' '8' 'F' 'P' 'S' 'L' 'G' 'C' 'Z' 'I' */
    int32_t length;
    int32_t decimals;
    int32_t reserved;
    int32_t padChar;
    int32_t fieldSeparator;
} MdkColumnRecord;

/* File description (MDDescribeFile).  64-bit header values are split into a low and a high
 * half.  Classic keyed files: capacity the maximum record count (header 10; 0 no limit),
 * value5 header bytes 236..239, value7 the file identity (232), blockSizeCode the header's code
 * plus 1, segmentCount the segments of all keys, flagsC not set.  Indexed files: capacity the
 * maximum record count, value5 0, value7 and flagsC not set, blockSizeCode 0, one key of one
 * segment.  describeFlags gathers two header flag bytes (classic: 241 and 255; indexed: its
 * flags byte only): from the first 0x01 -> 1, 0x04 -> 2, 0x08 -> 4, 0x10 -> 8, 0x80 -> 16; from
 * the second 0x01 -> 32, 0x02 -> 64, 0x04 -> 128, 0x08 -> 0x100, 0x10 -> 0x200.  separator: the
 * field separator (0xFF: length-prefixed fields).
 * Layout: thirteen int32 at 0, 4, ... 48, flagsC 52, separator 53; size 56. */
typedef struct MdkFileInfo {
    int32_t capacityLow;
    int32_t capacityHigh;
    int32_t recordCountLow;
    int32_t recordCountHigh;
    int32_t value5Low;
    int32_t value5High;
    int32_t value7;
    int32_t describeFlags;
    int32_t formatCode; /* 2 classic keyed, 3 extended keyed, 1 indexed, 6 view */
    int32_t maxDataLength;
    int32_t keyCount;
    int32_t blockSizeCode;
    int32_t segmentCount;
    uint8_t flagsC;
    uint8_t separator;
} MdkFileInfo;

/* MdkFileInfo::formatCode values. */
#define MDK_FORMAT_INDEXED 1
#define MDK_FORMAT_KEYED 2
#define MDK_FORMAT_KEYED2 3
#define MDK_FORMAT_VIEW 6

/* MdkFileInfo::describeFlags bits named by what they say of the file. */
#define MDK_DESCRIBE_BLOCK_MODE 0x01            /* slotted data blocks with allocation maps */
#define MDK_DESCRIBE_PAD_SIGNIFICANT 0x02       /* key padding counts in the key value */
#define MDK_DESCRIBE_SEPARATOR_BYTE 0x04        /* the header names its own field separator */
#define MDK_DESCRIBE_NO_SEPARATOR 0x08          /* fields are length-prefixed */
#define MDK_DESCRIBE_COMPRESSED 0x20            /* records are stored compressed */
#define MDK_DESCRIBE_NEW_RECORD_ON_UPDATE 0x100 /* an update stores the record anew */

/* Key description (MDDescribeIndex).  keyLength: the key's bytes without the 4-byte suffix
 * (record address or sequence number) a keyed file stores with it.  keyFlags: 1 unique, 0x20 the
 * primary key ends in a sequence number.  keyName: "#n", n the key number MDK_seek takes.
 * Layout: keyLength 0, segmentCount 4, keyFlags 8, zero 12, keyName 13; size 40. */
typedef struct MdkKeyInfo {
    int32_t keyLength;
    int32_t segmentCount;
    int32_t keyFlags;
    uint8_t zero;
    char keyName[25];
} MdkKeyInfo;

/* MdkKeyInfo::keyFlags bits. */
#define MDK_KEY_UNIQUE 0x01   /* no two records share a value of this key */
#define MDK_KEY_SEQUENCE 0x20 /* the primary key ends in a sequence number */

/* Segment description (MDDescribeIndex).  segLength: the length, with bit 0x80 for a
 * descending segment; segByte1: the null byte; segFlags: the segment options, with 0x80 for a
 * descending segment; segField: the field (255 the key area); segValue: the offset in the field.
 * Layout: segLength 0, segByte1 1, segFlags 4, segField 8, segValue 12; size 16. */
typedef struct MdkSegmentInfo {
    uint8_t segLength;
    uint8_t segByte1;
    int32_t segFlags;
    int32_t segField;
    int32_t segValue;
} MdkSegmentInfo;

/* MdkSegmentInfo::segField of a segment taken from the key area. */
#define MDK_SEGMENT_KEY_AREA 255
/* Segment options (MdkSegmentInfo::segFlags).  The key's own flags MDK_KEY_UNIQUE and
 * MDK_KEY_SEQUENCE travel on the same bits of its segments. */
#define MDK_SEG_UPPER 0x0002          /* compared in upper case */
#define MDK_SEG_LOWER 0x0004          /* compared in lower case (when not upper) */
#define MDK_SEG_FOLD_ACCENTS 0x0008   /* accents folded away, before the case */
#define MDK_SEG_REVERSE 0x0010        /* bytes stored in reverse order */
#define MDK_SEG_NULL 0x0040           /* a segment of null bytes only: no entry */
#define MDK_SEG_DESCENDING 0x0080     /* in descending order */
#define MDK_SEG_NULL_COUNTING 0x0100  /* a single-segment key: null makes no entry */
#define MDK_SEG_AUTO_NUMBER 0x0200    /* reverse order and numbered automatically */
#define MDK_SEG_STOP_AT_ZERO 0x0400   /* zero-filled from its first zero byte */
#define MDK_SEG_AUTO_TEXT_ZERO 0x0800 /* numbered automatically as text, "0"-filled */
#define MDK_SEG_AUTO_TEXT 0x1000      /* numbered automatically as text, blank-filled */
#define MDK_SEG_FLIP_SIGN 0x2000      /* bit 7 of the first byte flipped */

/* The environment's catalog handle (the same one on every call, also MDGetEnvMode mode 9),
 * made empty on first use; null when `env` is null or memory is exhausted.  The handle keeps
 * the last table and column lists; MDK_DeAllocEnv frees it. */
MDNIO_API MdkCatalog* MDRequestHandle(MdkEnv* env);
/* Frees the handle and its lists, and the environment forgets it (the next MDRequestHandle
 * makes a new, empty one); 0, also for a null handle. */
MDNIO_API int32_t MDFreeHandle(MdkCatalog* handle);
/* Lists the tables of a dictionary (see "Dictionaries" above) into the handle, replacing the
 * table list, and keeps the three names (a null name keeps the one kept before; a null
 * dictionary name reads the kept dictionary again).  `extra` is not used.  1 with the number of
 * tables listed in *countOut (when not null); 0 when the dictionary cannot be read, is of no
 * known kind, is an .ini dictionary without tables, breaks a limit, or its name is longer than
 * 255 bytes or begins with "[rmt:" (remote dictionaries are not served by this build); the table
 * list is then empty. */
MDNIO_API int32_t MDGetTables(MdkCatalog* handle, const char* dictionaryName, const char* qualifier,
                              const char* tableName, int32_t extra, int32_t* countOut);
/* Lists the columns of table `tableName` (found in the table list without regard to case) into
 * the handle, replacing the column list.  A non-empty `dictionaryName` lists that dictionary's
 * tables first, as MDGetTables does; an empty or null one uses the tables listed last.  A
 * non-empty `fileSpec` replaces the table's.  The data file is opened read-only; the columns
 * come from the .ini dictionary (or the column source the fileSpec names) for .ini
 * dictionaries, else from the data file's own dictionary.  1 with the number of columns in
 * *countOut (when not null); 0 when the table is not listed, the data file or column source
 * cannot be read, the dictionary breaks a limit, or the name begins with "[rmt:". */
MDNIO_API int32_t MDGetColumns(MdkCatalog* handle, const char* dictionaryName,
                               const char* qualifier, const char* tableName, const char* fileSpec,
                               int32_t* countOut);
/* Copies the next listed table (column) into `record` and answers 1; 0 after the last, and the
 * next call starts again with the first.  A new or emptied list starts from its first record.
 * The record's own bufferA/bufferB pointers and capacities are kept: into each buffer given, at
 * most its capacity of the listed record's buffer contents is copied, and bufferALength and
 * bufferBLength tell how many bytes the listed record holds (more than the capacity: cut).
 * Safe against a listing running in another thread of the environment. */
MDNIO_API int32_t MDFetchTable(MdkCatalog* handle, MdkTableRecord* record);
MDNIO_API int32_t MDFetchColumn(MdkCatalog* handle, MdkColumnRecord* record);
/* Describes an open classic keyed or indexed file (see MdkFileInfo).  1, or 0 with code 5 for
 * a null `info` or a kind this build cannot describe. */
MDNIO_API int32_t MDDescribeFile(MdkFile* file, MdkFileInfo* info);
/* Describes keys from `firstKey` (counted from 0) on and their segments.
 *   keyCountInOut: how many keys to describe (keys firstKey to *keyCountInOut - 1); set to the
 *     file's number of keys when it has fewer, or when keyRecords is null, it is 0 and
 *     *segmentCountOut is not -1 (the way to ask for the counts).
 *   segmentCountOut: raised to the number of segments described.
 *   keyRecords, segmentRecords: null, or room for one record per key and per segment described.
 * Indexed files: one key of 8 bytes ("#1") and one segment, the counts left as they are.
 * 1, or 0 with code 5 (a null count pointer, firstKey below 0 or above the number of keys, a
 * kind this build cannot describe). */
MDNIO_API int32_t MDDescribeIndex(MdkFile* file, int32_t firstKey, int32_t* keyCountInOut,
                                  int32_t* segmentCountOut, MdkKeyInfo* keyRecords,
                                  MdkSegmentInfo* segmentRecords);

/* ------------------------------------------------------------------------------------------ */
/* Listing callbacks, called directly by a host program (no call frame)                       */

typedef struct MdkCallbacks {
    /* First name matching `pattern` ("*" and "?" in the last part) into `name` (256 bytes);
     * answers a search handle, or -1 when nothing matches. */
    intptr_t (*findFirst)(MdkEnv* env, const char* pattern, char* name);
    /* Next name into `name`; nonzero while a name was stored. */
    int32_t (*findNext)(MdkEnv* env, intptr_t search, char* name);
    /* Ends the search; 0. */
    int32_t (*findClose)(MdkEnv* env, intptr_t search);
    /* The file's mode word (16 bits: directory and regular-file bits), or -1. */
    int32_t (*fileMode)(MdkEnv* env, const char* name);
    /* A command to the environment's remote server: 16-bit answer, or -1 without a server. */
    int32_t (*serverCommand)(MdkEnv* env, const char* a, const char* b, const char* c,
                             const char* d, const char* e, const char* f);
} MdkCallbacks;

MDNIO_API extern const MdkCallbacks mdk_callback;

#ifdef __cplusplus
}
#endif

#endif /* MDNIO_H */
