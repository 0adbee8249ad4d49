/*
 * korvat_nfc.h - application interface of korvat_nfc_library_for_vb.dll
 *
 * Everything an application needs besides the DLL: the twenty exported
 * functions and those added after them (event queue, reader list), the error codes read back with korvatlib_nfc_get_last_error(),
 * the window messages posted while poll mode runs and the target information
 * records they carry.
 *
 * All functions use the cdecl convention and return a one-byte boolean:
 * 1 on success, 0 on failure. After a failure, korvatlib_nfc_get_last_error()
 * gives the pair (error code, detail code). Plug-ins may report codes of
 * their own; the library passes them on unchanged.
 */
#ifndef KORVAT_NFC_H
#define KORVAT_NFC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KORVAT_NFC_BUILDING_LIBRARY)
#define KORVAT_NFC_API __declspec(dllexport)
#elif defined(KORVAT_NFC_STATIC_DECLARATIONS)
#define KORVAT_NFC_API
#else
#define KORVAT_NFC_API __declspec(dllimport)
#endif
#define KORVAT_NFC_CALL __cdecl

/* One-byte boolean result of every exported function. */
typedef unsigned char KORVAT_NFC_BOOL;
#define KORVAT_NFC_TRUE  ((KORVAT_NFC_BOOL)1)
#define KORVAT_NFC_FALSE ((KORVAT_NFC_BOOL)0)

/* ------------------------------------------------------------------ */
/* Error codes: error_info[0] of korvatlib_nfc_get_last_error().        */
/* error_info[1] (detail) is 0 for the library's own errors.            */
/* ------------------------------------------------------------------ */
#define KORVAT_NFC_E_INVALID_ARGUMENT          0x80C00001u /* null pointer, zero command length, stop_mode not 0/1 */
#define KORVAT_NFC_E_NOT_IMPLEMENTED           0x80C00002u /* plug-and-play functions without plug_and_play = 1; port names containing "F2PORT" */
#define KORVAT_NFC_E_OUT_OF_MEMORY             0x80C00004u /* no memory for a target information record */
#define KORVAT_NFC_E_NOT_INITIALIZED           0x80C00005u /* library not initialised */
#define KORVAT_NFC_E_INVALID_PORT_LIST         0x80C00006u /* no port of port_name_list could be opened */
#define KORVAT_NFC_E_UNSUPPORTED_CATEGORY      0x80C00007u /* port name matches no category of category_name_list */
#define KORVAT_NFC_E_PLUGIN_HOME_DIRECTORY     0x80C00008u /* plugins_home_directory unreadable or not a directory */
#define KORVAT_NFC_E_PLUGIN_FUNCTION_MISSING   0x80C0000Au /* the plug-in lacks the entry point the operation needs */
#define KORVAT_NFC_E_NO_PLUGIN                 0x80C0000Bu /* no plug-in loaded, or none serves the port's category */
#define KORVAT_NFC_E_THREAD_CREATE             0x80C0000Cu /* the notification thread cannot be created, or a stop cannot confirm its end (stop_poll_mode, close, start_poll_mode after such a stop: try again) */
#define KORVAT_NFC_E_PORT_NOT_OPEN             0x80C0000Du /* the operation needs an open port */
#define KORVAT_NFC_E_NO_CALLBACK_PARAM         0x80C0000Eu /* poll mode started before the poll callback parameters */
#define KORVAT_NFC_E_REGISTER_MESSAGE          0x80C0000Fu /* a window message name cannot be registered */
#define KORVAT_NFC_E_ALREADY_INITIALIZED       0x80C00012u /* initialise called twice */
#define KORVAT_NFC_E_PORT_OPEN                 0x80C00013u /* not allowed while a port is open */
#define KORVAT_NFC_E_DRIVER_STATUS             0x80C00014u /* driver status not interpretable, or malformed target data */
#define KORVAT_NFC_E_UNSUPPORTED_TARGET        0x80C00015u /* found target has no target information record */
#define KORVAT_NFC_E_PROCESS_EXITING           0x80C00016u /* called while the process is exiting; nothing was done */
#define KORVAT_NFC_E_NO_EVENT                  0x80C00017u /* korvatlib_nfc_get_next_event: no event came within the time-out */
#define KORVAT_NFC_E_BUFFER_TOO_SMALL          0x80C00018u /* korvatlib_nfc_list_readers: more readers than records; detail: how many */
#define KORVAT_NFC_E_CARD_ERROR_1              0x80C00051u /* card error reported by the reader, kind 1 */
#define KORVAT_NFC_E_CARD_ERROR_2              0x80C00052u /* card error, kind 2 */
#define KORVAT_NFC_E_CARD_ERROR_OTHER          0x80C00053u /* card error of any other kind */
#define KORVAT_NFC_E_DEVICE_ERROR_1            0x80C00071u /* device error reported by the reader, kind 1 */
#define KORVAT_NFC_E_DEVICE_ERROR_2            0x80C00072u /* device error, kind 2 */
#define KORVAT_NFC_E_DEVICE_ERROR_3            0x80C00073u /* device error, kind 3 */
#define KORVAT_NFC_E_DEVICE_ERROR_4            0x80C00074u /* device error, kind 4 */
#define KORVAT_NFC_E_DEVICE_ERROR_5            0x80C00075u /* device error, kind 5 */
#define KORVAT_NFC_E_DEVICE_ERROR_OTHER        0x80C00076u /* device error of any other kind */
#define KORVAT_NFC_E_LOG_RELATIVE_PATH         0x80C00102u /* log file name is relative or empty */
#define KORVAT_NFC_E_LOG_FILE_MISSING          0x80C00103u /* debug log file does not exist */
#define KORVAT_NFC_E_LOG_FILE_OPEN             0x80C00104u /* log already started, or file cannot be opened */

/* ------------------------------------------------------------------ */
/* Poll mode targets (target_device of korvatlib_nfc_start_poll_mode,   */
/* and the target_device field of the records below).                   */
/* ------------------------------------------------------------------ */
#define DEVICE_TYPE_NFC_14443A_18092_106K  0x00000001u /* ISO/IEC 14443 A or ISO/IEC 18092 at 106 kbit/s */
#define DEVICE_TYPE_NFC_18092_212K         0x00000002u /* ISO/IEC 18092 at 212 kbit/s */
#define DEVICE_TYPE_NFC_18092_424K         0x00000004u /* ISO/IEC 18092 at 424 kbit/s */
#define DEVICE_TYPE_NFC_14443B_106K        0x00000008u /* ISO/IEC 14443 B at 106 kbit/s */

/* ------------------------------------------------------------------ */
/* Window messages (names registered with RegisterWindowMessageA).      */
/*                                                                      */
/* find message:   wParam KORVAT_NFC_FIND_TARGET -> lParam points to a  */
/*                 target information record (owned by the library,     */
/*                 valid until the next find message, about 600 ms);    */
/*                 wParam KORVAT_NFC_FIND_ERROR  -> lParam points to    */
/*                 two uint32_t words (error code, detail code).        */
/* enable message: wParam ENABLE_ACCESS_TO_TARGET or                    */
/*                 WAITING_ACCESS_TO_TARGET -> lParam is target_number. */
/* ------------------------------------------------------------------ */
#define KORVAT_NFC_FIND_ERROR     0
#define KORVAT_NFC_FIND_TARGET    1
#define ENABLE_ACCESS_TO_TARGET   1
#define WAITING_ACCESS_TO_TARGET  2
/* With the registry value event_notification = 1 (see README): the find  */
/* message with wParam KORVAT_NFC_LOST_TARGET reports, once, a target     */
/* that left the field; lParam is its target_number.                     */
#define KORVAT_NFC_LOST_TARGET    2

/* Plug-and-play messages (registry value plug_and_play = 1, the names of */
/* korvatlib_nfc_set_pnp_callback_parameters): the find message with      */
/* wParam KORVAT_NFC_READER_FOUND and the loss message with wParam         */
/* KORVAT_NFC_READER_LOST; lParam points to a KORVAT_NFC_READER_RECORD     */
/* owned by the library, in the same never-freed ring as the target       */
/* records (valid for at least as long as a target record).              */
#define KORVAT_NFC_READER_FOUND   1
#define KORVAT_NFC_READER_LOST    2

/* ------------------------------------------------------------------ */
/* Target information records (little-endian, packed).                  */
/* The last member is the first byte of a variable-length field.        */
/* ------------------------------------------------------------------ */
#pragma pack(push, 1)

/* target_device 1: 23 + ATS_size bytes */
typedef struct DEVICE_DATA_NFC_14443A_18092_106K {
    uint32_t target_device;   /* offset  0 */
    uint32_t target_number;   /* offset  4 */
    uint16_t sens_res;        /* offset  8 */
    uint8_t  sel_res;         /* offset 10 */
    uint8_t  NFCID1_size;     /* offset 11: 0..10 */
    uint8_t  NFCID1[10];      /* offset 12: first NFCID1_size bytes are the identifier */
    uint8_t  ATS_size;        /* offset 22 */
    uint8_t  ATS[1];          /* offset 23: ATS_size bytes */
} DEVICE_DATA_NFC_14443A_18092_106K;

/* target_device 8: 21 + ATTRIB_size bytes */
typedef struct DEVICE_DATA_NFC_14443B_106K {
    uint32_t target_device;   /* offset  0 */
    uint32_t target_number;   /* offset  4 */
    uint8_t  ATQB[12];        /* offset  8 */
    uint8_t  ATTRIB_size;     /* offset 20 */
    uint8_t  ATTRIB[1];       /* offset 21: ATTRIB_size bytes */
} DEVICE_DATA_NFC_14443B_106K;

/* target_device 2 or 4: 29 + RD_size bytes */
typedef struct DEVICE_DATA_NFC_18092_212_424K {
    uint32_t target_device;   /* offset  0 */
    uint8_t  id;              /* offset  4 */
    uint8_t  reserved[3];     /* offset  5: padding, not written */
    uint32_t target_number;   /* offset  8 */
    uint8_t  NFCID2[8];       /* offset 12 */
    uint8_t  Pad[8];          /* offset 20 */
    uint8_t  RD_size;         /* offset 28 */
    uint8_t  RD[1];           /* offset 29: RD_size bytes */
} DEVICE_DATA_NFC_18092_212_424K;

/* A reader that can be opened now (plug-and-play messages, the reader events
 * of the event queue, korvatlib_nfc_list_readers): 200 bytes. */
#define KORVAT_NFC_PORT_NAME_SIZE   64
#define KORVAT_NFC_READER_NAME_SIZE 128
typedef struct KORVAT_NFC_READER_RECORD {
    uint32_t record_size;                           /* offset   0: 200 */
    uint8_t  category;                              /* offset   4: PortCategory of the plug-in that serves it */
    uint8_t  reserved[3];                           /* offset   5: 0 */
    char     port_name[KORVAT_NFC_PORT_NAME_SIZE];  /* offset   8: NUL-terminated, as korvatlib_nfc_open takes it */
    char     reader_name[KORVAT_NFC_READER_NAME_SIZE]; /* offset 72: NUL-terminated, the reader's own name
                                                       (a PC/SC reader name, a COM port), UTF-8 */
} KORVAT_NFC_READER_RECORD;

/* One event of the event queue (korvatlib_nfc_get_next_event), returned by
 * value: 312 bytes, all fields 4-byte aligned (a VBA Type can mirror it). */
#define KORVAT_NFC_EVENT_TARGET_FOUND    1 /* data: the target information record (data_size bytes) */
#define KORVAT_NFC_EVENT_TARGET_LOST     2 /* target_number: the target that left */
#define KORVAT_NFC_EVENT_ACCESS_ENABLED  3 /* target_number: ENABLE_ACCESS_TO_TARGET */
#define KORVAT_NFC_EVENT_ACCESS_WAITING  4 /* target_number: WAITING_ACCESS_TO_TARGET */
#define KORVAT_NFC_EVENT_ERROR           5 /* error_code, detail_code: the pair of the error message */
#define KORVAT_NFC_EVENT_READER_FOUND    6 /* data: a KORVAT_NFC_READER_RECORD */
#define KORVAT_NFC_EVENT_READER_LOST     7 /* data: a KORVAT_NFC_READER_RECORD */
#define KORVAT_NFC_EVENT_DATA_SIZE       288
#define KORVAT_NFC_EVENT_QUEUE_LENGTH    64  /* when full, the oldest event is dropped */
#define KORVAT_NFC_EVENT_WAIT_LIMIT_MS   60000 /* the longest time-out of korvatlib_nfc_get_next_event */
typedef struct KORVAT_NFC_EVENT {
    uint32_t kind;           /* offset  0: KORVAT_NFC_EVENT_ */
    uint32_t lost_before;    /* offset  4: events dropped (queue full) right before this one */
    uint32_t target_number;  /* offset  8 */
    uint32_t error_code;     /* offset 12 */
    uint32_t detail_code;    /* offset 16 */
    uint32_t data_size;      /* offset 20: bytes of data in use */
    uint8_t  data[KORVAT_NFC_EVENT_DATA_SIZE]; /* offset 24 */
} KORVAT_NFC_EVENT;

#pragma pack(pop)

/* Size of a record: its fixed part (up to its variable field) and the variable field. */
#define KORVAT_NFC_14443A_RECORD_SIZE(ats_size) \
    ((unsigned)offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS) + (unsigned)(ats_size))
#define KORVAT_NFC_14443B_RECORD_SIZE(attrib_size) \
    ((unsigned)offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB) + (unsigned)(attrib_size))
#define KORVAT_NFC_18092_RECORD_SIZE(rd_size) \
    ((unsigned)offsetof(DEVICE_DATA_NFC_18092_212_424K, RD) + (unsigned)(rd_size))
/* The largest record of any kind (a variable field holds at most 255 bytes). */
#define KORVAT_NFC_MAXIMUM_RECORD_SIZE KORVAT_NFC_18092_RECORD_SIZE(255)

/* ------------------------------------------------------------------ */
/* Exported functions                                                    */
/* ------------------------------------------------------------------ */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_initialize(void);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_uninitialize(void);
/* port_name: a name, NULL (first configured port) or "" (first configured
 * port; its name is written back, the buffer must hold 16 bytes). */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_open(char *port_name);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_close(void);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_poll_mode(uint32_t target_device);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_poll_mode(void);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_dev_access(uint32_t target_number);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_dev_access(uint32_t stop_mode);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_select_device(void);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_deselect_device(void);
/* The response buffer must hold the largest response the plug-in returns. */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_thru(const uint8_t *command_packet_data,
                                                                uint16_t command_packet_data_length,
                                                                uint8_t *response_packet_data,
                                                                uint16_t *response_packet_data_length);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_timeout(int32_t timeout);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_get_timeout(int32_t *timeout);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_poll_callback_parameters(void *handle,
                                                                                        const char *msg_str_of_find,
                                                                                        const char *msg_str_of_enable);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_pnp_callback_parameters(void *handle,
                                                                                       const char *msg_str_of_find,
                                                                                       const char *msg_str_of_loss);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_plug_and_play(void);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_plug_and_play(void);
/* error_info: two uint32_t words, (error code, detail code). */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_get_last_error(uint32_t *error_info);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_start_logging(const char *filename);
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_stop_logging(void);

/* ------------------------------------------------------------------ */
/* Exports after ordinal 20 (the twenty above keep theirs).              */
/* ------------------------------------------------------------------ */
/* enabled 1: from now on every event that a window message carries is
 * also queued (at most KORVAT_NFC_EVENT_QUEUE_LENGTH), and poll mode and
 * plug-and-play may start without a window handle; 0: no queue (the
 * default), the queue is emptied. Needs korvatlib_nfc_initialize. */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_set_event_queue(uint32_t enabled);
/* Takes the oldest queued event. timeout_ms 0 returns at once; up to
 * KORVAT_NFC_EVENT_WAIT_LIMIT_MS waits for one, without holding the
 * library's lock. No event: false with KORVAT_NFC_E_NO_EVENT (at once
 * while the queue is off, and as soon as it is switched off or the
 * library uninitialised during the wait); a null event or a longer time-out:
 * KORVAT_NFC_E_INVALID_ARGUMENT. Needs korvatlib_nfc_initialize. */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_get_next_event(KORVAT_NFC_EVENT *event,
                                                                          uint32_t timeout_ms);
/* The readers that can be opened now, from every plug-in that can list
 * them: up to capacity records, *count set to how many there are (also
 * when they do not fit: false with KORVAT_NFC_E_BUFFER_TOO_SMALL).
 * records may be NULL when capacity is 0. */
KORVAT_NFC_API KORVAT_NFC_BOOL KORVAT_NFC_CALL korvatlib_nfc_list_readers(KORVAT_NFC_READER_RECORD *records,
                                                                        uint32_t capacity, uint32_t *count);

#ifdef __cplusplus
}
#endif

/* Layout checks: an application compiled with this header reads the
 * records at the offsets the library writes them. */
#if defined(__cplusplus)
#define KORVAT_NFC_STATIC_ASSERT(c, m) static_assert(c, m)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KORVAT_NFC_STATIC_ASSERT(c, m) _Static_assert(c, m)
#else
#define KORVAT_NFC_STATIC_ASSERT(c, m)
#endif
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443A_18092_106K, sens_res) == 8, "14443A sens_res");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443A_18092_106K, NFCID1) == 12, "14443A NFCID1");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS_size) == 22, "14443A ATS_size");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443A_18092_106K, ATS) == 23, "14443A ATS");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443B_106K, ATQB) == 8, "14443B ATQB");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB_size) == 20, "14443B ATTRIB_size");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_14443B_106K, ATTRIB) == 21, "14443B ATTRIB");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_18092_212_424K, id) == 4, "18092 id");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_18092_212_424K, target_number) == 8, "18092 target_number");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_18092_212_424K, NFCID2) == 12, "18092 NFCID2");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_18092_212_424K, Pad) == 20, "18092 Pad");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_18092_212_424K, RD_size) == 28, "18092 RD_size");
KORVAT_NFC_STATIC_ASSERT(offsetof(DEVICE_DATA_NFC_18092_212_424K, RD) == 29, "18092 RD");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NFC_READER_RECORD, port_name) == 8, "reader port_name");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NFC_READER_RECORD, reader_name) == 72, "reader reader_name");
KORVAT_NFC_STATIC_ASSERT(sizeof(KORVAT_NFC_READER_RECORD) == 200, "reader record size");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NFC_EVENT, data_size) == 20, "event data_size");
KORVAT_NFC_STATIC_ASSERT(offsetof(KORVAT_NFC_EVENT, data) == 24, "event data");
KORVAT_NFC_STATIC_ASSERT(sizeof(KORVAT_NFC_EVENT) == 312, "event size");
KORVAT_NFC_STATIC_ASSERT(KORVAT_NFC_MAXIMUM_RECORD_SIZE <= KORVAT_NFC_EVENT_DATA_SIZE, "event holds any record");

#endif /* KORVAT_NFC_H */
