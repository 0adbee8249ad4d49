/*
 * korvat_nfc_tags.h - application interface of korvat_nfc_tags.dll
 *
 * The NDEF message of NFC Forum Type 2, Type 3 and Type 4 Tags, read and
 * written with a handful of calls, and NDEF messages built and walked without
 * any tag. The DLL drives a tag through korvat_nfc_library_for_vb.dll: each
 * tag call takes a reference on the main DLL loaded in the process (or, when
 * it is not loaded, loads the one beside korvat_nfc_tags.dll, which nobody has
 * initialised) and gives it back when the call returns, so the main DLL stays
 * loaded exactly as long as the application keeps it. Every command is sent
 * with korvatlib_nfc_thru.
 *
 * Device access is the application's. The tag calls (identify, read_ndef,
 * write_ndef, format) use korvatlib_nfc_thru only, and only for the target
 * whose access the application has enabled: call them after
 * korvatlib_nfc_start_dev_access() and the enable message
 * ENABLE_ACCESS_TO_TARGET, before korvatlib_nfc_stop_dev_access(), with the
 * target information record that the find message carried (copy it while
 * handling that message: the library reuses its memory).
 *
 * Conventions, as in korvat_nfc.h: cdecl, a one-byte boolean result (1 on
 * success, 0 on failure), then korvatlib_tags_get_last_error() gives the pair
 * (error code, detail code). Buffers belong to the caller; nothing is kept
 * between calls and nothing calls back. When korvatlib_nfc_thru fails, the
 * pair is the main library's pair unchanged (see korvat_nfc.h). A successful
 * call leaves the last error as it was.
 *
 * A call that fails because a buffer is too small fails with
 * KORVAT_TAGS_E_BUFFER_TOO_SMALL, the detail is the number of bytes needed and
 * the size out-parameter is set to it as well; call again with a buffer of
 * that size. Strings are UTF-8, written with a terminating NUL; their size
 * out-parameters count the bytes without the NUL on success.
 *
 * Every call may be made from any thread; the tag calls of different threads
 * go to the one target that has access, so make them from one thread at a time.
 */
#ifndef KORVAT_NFC_TAGS_H
#define KORVAT_NFC_TAGS_H

#include <stddef.h>
#include <stdint.h>

#include "korvat_nfc.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORVAT_TAGS_BUILDING_LIBRARY)
#define KORVAT_TAGS_API __declspec(dllexport)
#elif defined(KORVAT_NFC_STATIC_DECLARATIONS)
#define KORVAT_TAGS_API
#else
#define KORVAT_TAGS_API __declspec(dllimport)
#endif

/* ------------------------------------------------------------------ */
/* Error codes: error_info[0] of korvatlib_tags_get_last_error().       */
/* error_info[1] (detail) is 0 unless the line says otherwise.          */
/* ------------------------------------------------------------------ */
#define KORVAT_TAGS_E_INVALID_ARGUMENT         0x80C00201u /* null pointer, a malformed target record, or a text the builder refuses */
#define KORVAT_TAGS_E_UNSUPPORTED_TARGET       0x80C00202u /* the target is no kind of tag this library drives, or the operation does not apply to it */
#define KORVAT_TAGS_E_NOT_NDEF_FORMATTED       0x80C00203u /* the tag has no NDEF capability container, application or service */
#define KORVAT_TAGS_E_READ_ONLY                0x80C00204u /* the tag or its NDEF data is read-only; nothing was written */
#define KORVAT_TAGS_E_TOO_LARGE                0x80C00205u /* the message does not fit the tag (detail: its capacity in bytes); nothing was written */
#define KORVAT_TAGS_E_REFUSED                  0x80C00206u /* the tag refused a command (detail: the NAK, status word or status flags) */
#define KORVAT_TAGS_E_INVALID_TAG              0x80C00207u /* the tag answered something impossible or unsupported */
#define KORVAT_TAGS_E_BUFFER_TOO_SMALL         0x80C00208u /* a buffer is too small (detail: bytes needed) */
#define KORVAT_TAGS_E_INVALID_NDEF             0x80C00209u /* the bytes are not a valid NDEF message (detail: byte offset of the fault) */
#define KORVAT_TAGS_E_NO_SUCH_RECORD           0x80C0020Au /* the message has no record of that index */
#define KORVAT_TAGS_E_WRONG_RECORD_TYPE        0x80C0020Bu /* the record is not a URI record (get_uri) or a Text record (get_text) */
#define KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND   0x80C0020Cu /* korvat_nfc_library_for_vb.dll is neither loaded nor beside this DLL */

/* tag_type of KORVAT_TAG_INFO */
#define KORVAT_TAG_TYPE_UNKNOWN 0u
#define KORVAT_TAG_TYPE_2       2u /* ISO/IEC 14443 A without ISO-DEP (no ATS, SEL_RES bit 0x20 clear) */
#define KORVAT_TAG_TYPE_3       3u /* ISO/IEC 18092 212 or 424 kbit/s */
#define KORVAT_TAG_TYPE_4       4u /* ISO/IEC 14443 A with ISO-DEP, or ISO/IEC 14443 B */

/* Type name formats of KORVAT_NDEF_RECORD.tnf */
#define KORVAT_NDEF_TNF_EMPTY        0u
#define KORVAT_NDEF_TNF_WELL_KNOWN   1u
#define KORVAT_NDEF_TNF_MEDIA        2u
#define KORVAT_NDEF_TNF_ABSOLUTE_URI 3u
#define KORVAT_NDEF_TNF_EXTERNAL     4u
#define KORVAT_NDEF_TNF_UNKNOWN      5u

#pragma pack(push, 1)

/* What korvatlib_tags_identify() found: 16 bytes. */
typedef struct KORVAT_TAG_INFO {
    uint32_t tag_type;      /* offset  0: KORVAT_TAG_TYPE_2, _3, _4 */
    uint32_t capacity;      /* offset  4: most bytes of an NDEF message the tag holds (0 without NDEF) */
    uint32_t message_size;  /* offset  8: bytes of the message it holds now (0: initialised, empty) */
    uint8_t  writable;      /* offset 12: 1: a message can be written; without NDEF: korvatlib_tags_format() can make the tag NDEF-ready */
    uint8_t  ndef_present;  /* offset 13: 1: the tag is NDEF formatted */
    uint8_t  reserved[2];   /* offset 14: 0 */
} KORVAT_TAG_INFO;

/* One record of an NDEF message, chunks joined: 521 bytes. */
typedef struct KORVAT_NDEF_RECORD {
    uint8_t  tnf;           /* offset   0: type name format, KORVAT_NDEF_TNF_* */
    uint8_t  type_size;     /* offset   1 */
    uint8_t  id_size;       /* offset   2 */
    uint8_t  type[255];     /* offset   3: the first type_size bytes */
    uint8_t  id[255];       /* offset 258: the first id_size bytes */
    uint32_t payload_size;  /* offset 513: bytes of the payload (written to the payload buffer) */
    uint32_t chunk_count;   /* offset 517: 1, or the number of chunks that were joined */
} KORVAT_NDEF_RECORD;

#pragma pack(pop)

/* ------------------------------------------------------------------ */
/* Tags. target_record: a target information record of the find        */
/* message (korvat_nfc.h), record_size: its size, at least the size of  */
/* its fixed part and its variable field (more bytes are ignored).      */
/* ------------------------------------------------------------------ */

/* Kind, capacity, whether it is writable, whether it holds NDEF and the
 * size of its message. A tag without NDEF succeeds with ndef_present 0. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_identify(const uint8_t *target_record, uint32_t record_size,
                                                                      KORVAT_TAG_INFO *info);
/* The NDEF message into message[0..message_capacity). *message_size 0: the
 * tag is initialised but holds no message. message may be NULL when
 * message_capacity is 0 (to learn the size: KORVAT_TAGS_E_BUFFER_TOO_SMALL). */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_read_ndef(const uint8_t *target_record, uint32_t record_size,
                                                                       uint8_t *message, uint32_t message_capacity,
                                                                       uint32_t *message_size);
/* Writes a valid NDEF message (message_size 0: the tag is left initialised
 * and empty), in the order that leaves the old, an empty or the new message
 * if the write is cut (a Type 3 Tag cut while its WriteFlag is set reads as
 * empty until the next write). */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_write_ndef(const uint8_t *target_record, uint32_t record_size,
                                                                        const uint8_t *message, uint32_t message_size);
/* Makes a tag NDEF-ready: a blank Type 2 Tag (capability container all zero)
 * gets an empty NDEF TLV and its capability container (an NDEF-ready Type 2
 * Tag keeps its message); a Type 4 Tag with a writable NDEF file gets NLEN 0
 * (its message is cleared). Type 3 Tags: KORVAT_TAGS_E_UNSUPPORTED_TARGET.
 * The size of a blank Type 2 Tag comes from its GET_VERSION answer: a blank
 * tag that falls silent when asked it cannot be made NDEF-ready. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_format(const uint8_t *target_record, uint32_t record_size);

/* ------------------------------------------------------------------ */
/* Building NDEF messages: each call appends one record to the message  */
/* in message[0..*message_size) (*message_size 0: a new message), sets  */
/* the message begin, message end and short record flags, and updates   */
/* *message_size. On KORVAT_TAGS_E_BUFFER_TOO_SMALL the buffer and      */
/* *message_size are left as they were (the detail gives the size).     */
/* ------------------------------------------------------------------ */

/* A URI record (UTF-8: anything else is KORVAT_TAGS_E_INVALID_ARGUMENT); the
 * longest URI prefix it starts with is abbreviated. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_add_uri(uint8_t *message, uint32_t capacity,
                                                                          uint32_t *message_size, const char *uri);
/* A Text record: language such as "en" or "pt-BR" (1 to 63 letters,
 * digits and hyphens), the text in UTF-8. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_add_text(uint8_t *message, uint32_t capacity,
                                                                           uint32_t *message_size, const char *language,
                                                                           const char *utf8_text);
/* A MIME record: mime_type such as "text/plain", payload of payload_size
 * bytes (payload may be NULL when payload_size is 0). */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_add_mime(uint8_t *message, uint32_t capacity,
                                                                           uint32_t *message_size, const char *mime_type,
                                                                           const uint8_t *payload, uint32_t payload_size);

/* ------------------------------------------------------------------ */
/* Walking NDEF messages. A message that is not valid fails with        */
/* KORVAT_TAGS_E_INVALID_NDEF and the offset of the fault. Chunked      */
/* records count as one record, their payloads joined.                  */
/* ------------------------------------------------------------------ */

KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_record_count(const uint8_t *message, uint32_t message_size,
                                                                               uint32_t *count);
/* Record `index` (from 0) into *record, its payload into
 * payload[0..payload_capacity) (payload may be NULL when the capacity is 0).
 * On KORVAT_TAGS_E_BUFFER_TOO_SMALL *record is filled and
 * record->payload_size gives the bytes needed. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_get_record(const uint8_t *message, uint32_t message_size,
                                                                             uint32_t index, KORVAT_NDEF_RECORD *record,
                                                                             uint8_t *payload, uint32_t payload_capacity);
/* The full URI of the URI record `index` (its prefix expanded). */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_get_uri(const uint8_t *message, uint32_t message_size,
                                                                          uint32_t index, char *uri, uint32_t capacity,
                                                                          uint32_t *uri_size);
/* The language and the text (UTF-16 texts are converted to UTF-8) of the
 * Text record `index`. 64 bytes always hold the language; when they are too
 * few the detail gives the bytes the language needs and *text_size is left
 * as it was. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_ndef_get_text(const uint8_t *message, uint32_t message_size,
                                                                           uint32_t index, char *language,
                                                                           uint32_t language_capacity, char *utf8_text,
                                                                           uint32_t text_capacity, uint32_t *text_size);

/* error_info: two uint32_t words, (error code, detail code) of the last
 * failed call of this DLL. */
KORVAT_TAGS_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_tags_get_last_error(uint32_t *error_info);

#ifdef __cplusplus
}
#endif

KORVAT_NFC_STATIC_ASSERT(sizeof(KORVAT_TAG_INFO) == 16, "KORVAT_TAG_INFO size");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_TAG_INFO, writable) == 12, "KORVAT_TAG_INFO writable");
KORVAT_NFC_STATIC_ASSERT(sizeof(KORVAT_NDEF_RECORD) == 521, "KORVAT_NDEF_RECORD size");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NDEF_RECORD, id) == 258, "KORVAT_NDEF_RECORD id");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NDEF_RECORD, payload_size) == 513, "KORVAT_NDEF_RECORD payload_size");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NDEF_RECORD, chunk_count) == 517, "KORVAT_NDEF_RECORD chunk_count");

#endif /* KORVAT_NFC_TAGS_H */
