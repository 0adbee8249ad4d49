/*
 * korvat_nfc_plugin.h - interface between korvat_nfc_library_for_vb.dll and a
 * reader plug-in.
 *
 * A reader plug-in is a DLL of the library's own architecture (x86 for the
 * 32-bit library, x64 for the 64-bit one) with the file extension ".gp", signed with
 * an Authenticode certificate whose signer is "Ravo Corporation", found below
 * the registry value plugins_home_directory. It exports the fourteen cdecl
 * entry points below under their plain names and serves one port category
 * (the 0-based position of its category name in category_name_list).
 *
 * Every entry point returns a one-byte boolean (nonzero = done). All but
 * gp_get_version_number take a pointer to an ErrorInfo as last argument: on
 * failure the plug-in writes its reason there (error code, detail code) and
 * the library hands both words to the application unchanged. The library
 * calls a plug-in from several threads but never from two at once. The
 * entry points and their contracts: GP_ENTRY_POINTS below.
 *
 * A complete plug-in to start from is the simulated reader (plugins/sim_reader
 * in the sources, share/korvat_nfc/examples/sim_reader in the SDK): it looks
 * its PortCategory up in category_name_list, reports found targets with the
 * status bits and additional-data layouts below, and answers commands through
 * gp_read. README.md, "Writing a plug-in", lists the rules and how to sign a
 * plug-in for testing.
 */
#ifndef KORVAT_NFC_PLUGIN_H
#define KORVAT_NFC_PLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GP_CALL __cdecl

typedef unsigned char GP_BOOL;

/* (error code, detail code) */
typedef struct ErrorInfo {
    uint32_t error_code;
    uint32_t detail_code;
} ErrorInfo;

/* Smallest version the library accepts from gp_get_version_number. */
#define GP_MINIMUM_VERSION 1000

/* ------------------------------------------------------------------ */
/* The fourteen entry points                                            */
/* ------------------------------------------------------------------ */
/* GP_ENTRY_POINTS(X) lists every entry point once, in the order in which
 * the library binds them, as X(name, parameters, arguments). The library
 * generates its types, its entry table, its binding and its forwarding
 * calls from this list; gp_<name>_t below is the type of each entry.
 *
 * Rules for all of them: the library calls them with its library lock
 * held (one process-wide lock), so never two at once, from an application
 * thread or from its notification thread. True (nonzero) means done; the
 * library then ignores the error record. False means not done: write the
 * reason into *error (code, detail); the library passes both words to the
 * application unchanged and never clears the record before a call.
 * Never call the library back from an entry point.
 *
 * Each entry's contract: what it must do; Given: what the library
 * guarantees before the call; Lock: the library lock and the calling
 * thread; Loader lock: whether the call may run while the calling thread
 * holds the Windows loader lock (see below); False: what a false result
 * means.
 *
 * The loader lock. Windows holds its loader lock while it runs any DLL's
 * DllMain, so a call made from a DllMain runs under it. The library makes
 * such calls itself:
 *   - At FreeLibrary of the library with the port still open (an
 *     application that unloads the library without korvatlib_nfc_close, as
 *     VB and .NET hosts do), the library's DllMain ends the notification
 *     thread and calls gp_close_port, then frees the plug-ins (whose own
 *     DllMain then runs, under the same lock).
 *   - When the library's notification thread does not start within its
 *     start-up time-out (the application called korvatlib_nfc_start_poll_mode
 *     from a DllMain, so no thread can start), gp_stop_poll_mode undoes
 *     gp_start_poll_mode, still under that lock.
 *   - An application may call any exported function from its own DllMain;
 *     every entry point then runs under the loader lock.
 *   - Every entry point the notification thread calls (gp_get_driver_status)
 *     runs while the library lock is held, and a thread that holds the
 *     loader lock may be waiting for that lock: at FreeLibrary of the library
 *     (the unloading thread waits for the running cycle), or when another
 *     DLL's DllMain calls the library. Such an entry point is "waited for
 *     under the loader lock": whatever it waits for must never need the
 *     loader lock, so it must never:
 *       - load or free a DLL (LoadLibrary, FreeLibrary, CoInitialize,
 *         anything that loads one on first use);
 *       - call GetModuleHandle, GetModuleHandleEx or GetModuleFileName, or
 *         GetProcAddress of an export that is forwarded to another DLL;
 *       - call a delay-loaded import (its first call loads the DLL);
 *       - start a thread and wait for it, or wait for any thread's start or
 *         end (both need the loader lock);
 *       - block without a bound (every wait and every I/O has a time-out far
 *         below a second).
 *     Do such work when the port is opened (gp_open_port_and_transition_nfc_mode,
 *     outside any DllMain) and keep its results. If such a call does not
 *     return within two seconds at FreeLibrary, the library gives it up: the
 *     port is not closed, the plug-in is not freed and stays loaded for the
 *     rest of the process, and the thread ends as soon as the call returns.
 *     korvat_nfc_plugin_check's step "lifetime.status_under_loader_lock"
 *     calls it while another thread holds the loader lock and fails a
 *     plug-in that waits there.
 * An entry point marked "Loader lock: may hold" must then never:
 *   - wait for the end of a thread (WaitForSingleObject on a thread handle,
 *     std::thread::join): a thread cannot end while the lock is held, so the
 *     wait never returns and the host hangs in FreeLibrary;
 *   - load or free a DLL (LoadLibrary, FreeLibrary, CoInitialize, anything
 *     that loads one on first use);
 *   - take a lock that a thread of its own may hold while that thread waits
 *     for the loader lock (thread start-up and end, DLL loading);
 *   - block without a bound (a serial read with no time-out, INFINITE waits).
 * The sound pattern for a plug-in with a thread of its own (the PN532
 * reader plug-in does it; NFCLibrary/NfcLifetime.cpp does it for the
 * library's own thread):
 *   - the thread holds a reference on the plug-in module of its own
 *     (GetModuleHandleExW with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS before
 *     it starts, handed to it) and leaves through FreeLibraryAndExitThread,
 *     so it never runs code of an unmapped module;
 *   - as its last act in the plug-in's logic it sets a "finished" event;
 *     after that it only calls FreeLibraryAndExitThread;
 *   - the closer signals the thread to stop, waits for "finished" with a
 *     bound (longer than the longest step the thread can be in, which every
 *     I/O time-out bounds), then closes the thread handle without waiting for
 *     it; if the bound runs out, it reports a device error and leaves the
 *     thread to end by itself (it holds its own reference).
 * At process exit (DllMain with a non-null reserved pointer) every other
 * thread has already been ended where it stood: a plug-in's DllMain then
 * waits for nothing and takes no lock; the library calls no entry point at
 * process exit. */
#define GP_ENTRY_POINTS(X)                                                                                             \
    /* Opens port_name (category prefix included) and switches the reader to NFC mode. Given: no port of this          \
       plug-in is open; port_name non-null. Lock: held, by the application thread. Loader lock: may hold only when the \
       application calls the library from a DllMain. False: the port is not open and the plug-in is not used for it.   \
       */                                                                                                              \
    X(gp_open_port_and_transition_nfc_mode, (const char *port_name, ErrorInfo *error), (port_name, error))             \
    /* Closes the port, ending poll mode and device access. Given: the port is open; the notification thread has       \
       ended. Lock: held, by the application thread. Loader lock: may hold: the library's DllMain calls it at          \
       FreeLibrary when the port is still open; the thread of a plug-in must then end without being waited for. False: \
       the port stays open and the library keeps using this plug-in for it. */                                         \
    X(gp_close_port, (ErrorInfo *error), (error))                                                                      \
    /* Starts polling for the kinds of target in target_device (DEVICE_TYPE_ bits, passed unchanged). Given: the       \
       port is open. Lock: held, by the application thread. Loader lock: may hold (only when the application calls     \
       from a DllMain; the library's thread then cannot start and gp_stop_poll_mode follows at once). False: not       \
       polling; the library starts no notification thread. */                                                          \
    X(gp_start_poll_mode, (uint32_t target_device, ErrorInfo *error), (target_device, error))                          \
    /* Stops polling. Given: the port is open; the notification thread has ended. Lock: held, by the application       \
       thread. Loader lock: may hold: the library calls it after its thread's start-up time-out, which happens when    \
       the caller holds the loader lock. False: still polling. */                                                      \
    X(gp_stop_poll_mode, (ErrorInfo *error), (error))                                                                  \
    /* Allows access to the target reported under target_number (passed unchanged). Given: the port is open. Lock:     \
       held, by the application thread. Loader lock: may hold only when the application calls the library from a       \
       DllMain. False: no access. */                                                                                   \
    X(gp_start_device_access, (uint32_t target_number, ErrorInfo *error), (target_number, error))                      \
    /* Ends access to the current target; the meaning of stop_mode is the plug-in's. Given: the port is open;          \
       stop_mode is 0 or 1. Lock: held, by the application thread. Loader lock: may hold only when the application     \
       calls the library from a DllMain. False: access goes on. */                                                     \
    X(gp_stop_device_access, (uint32_t stop_mode, ErrorInfo *error), (stop_mode, error))                               \
    /* Selects the current target. Given: the port is open. Lock: held, by the application thread. Loader lock: may    \
       hold only when the application calls the library from a DllMain. False: not selected. */                        \
    X(gp_select_device, (ErrorInfo *error), (error))                                                                   \
    /* Deselects the current target. Given: the port is open. Lock: held, by the application thread. Loader lock:      \
       may hold only when the application calls the library from a DllMain. False: still selected. */                  \
    X(gp_deselect_device, (ErrorInfo *error), (error))                                                                 \
    /* Sends a command packet and stores the response and its length; no capacity is passed, and only the low 16       \
       bits of the length slot count. Given: the port is open; all pointers non-null; the length is nonzero. Lock:     \
       held, by the application thread. Loader lock: may hold only when the application calls the library from a       \
       DllMain. False: no response. */                                                                                 \
    X(gp_read,                                                                                                         \
      (const uint8_t *command_packet_data, uint32_t command_packet_data_length, uint8_t *response_packet_data,         \
       uint16_t *response_packet_data_length, ErrorInfo *error),                                                       \
      (command_packet_data, command_packet_data_length, response_packet_data, response_packet_data_length, error))     \
    /* Sets the reader's time-out (unit and range are the plug-in's). Given: the port is open; right after opening     \
       the value is 6000. Lock: held, by the application thread. Loader lock: may hold only when the application calls \
       the library from a DllMain. False: the time-out is unchanged; right after opening, the library closes the port  \
       again. */                                                                                                       \
    X(gp_set_timeout, (int32_t timeout, ErrorInfo *error), (timeout, error))                                           \
    /* Writes the current time-out to *timeout. Given: the port is open; timeout non-null. Lock: held, by the          \
       application thread. Loader lock: may hold only when the application calls the library from a DllMain. False:    \
       nothing written. */                                                                                             \
    X(gp_get_timeout, (int32_t *timeout, ErrorInfo *error), (timeout, error))                                          \
    /* Writes the plug-in's version; GP_MINIMUM_VERSION or more is accepted. It has no error record. Given:            \
       *version_number is 0. Lock: held, by the application thread, while initialising. Loader lock: may hold only     \
       when the application calls the library from a DllMain. False: the plug-in is refused. */                        \
    X(gp_get_version_number, (int32_t *version_number), (version_number))                                              \
    /* Writes the five status values; *AdditionalData points to *AdditionalDataSize bytes that the plug-in owns and    \
       keeps unchanged until its next call. Given: poll mode was started; all pointers non-null. Lock: held, by the    \
       notification thread, every 600 ms. Loader lock: never held by the calling thread, but waited for under it (see  \
       "The loader lock" above): no loader work, no thread start or join, no unbounded wait. False: the library posts  \
       the error to the application and goes on polling. */                                                            \
    X(gp_get_driver_status,                                                                                            \
      (uint32_t *DriverStatus, uint32_t *PollModeCardType, uint32_t *ListenModeCardType,                               \
       uint32_t *AdditionalDataSize, uint8_t **AdditionalData, ErrorInfo *error),                                      \
      (DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize, AdditionalData, error))                 \
    /* Writes one byte: the plug-in's PortCategory (position of its name in category_name_list). Given:                \
       *PortCategory is 0. Lock: held, by the application thread, while initialising. Loader lock: may hold only when  \
       the application calls the library from a DllMain. False: the plug-in is refused. */                             \
    X(gp_get_plugin_information, (uint8_t *PortCategory, ErrorInfo *error), (PortCategory, error))

/* gp_<name>_t: pointer to the entry point <name>. */
#define GP_DECLARE_ENTRY_TYPE(name, parameters, arguments) typedef GP_BOOL(GP_CALL *name##_t) parameters;
GP_ENTRY_POINTS(GP_DECLARE_ENTRY_TYPE)
#undef GP_DECLARE_ENTRY_TYPE

/* ------------------------------------------------------------------ */
/* Optional entry points                                                 */
/* ------------------------------------------------------------------ */
/* A plug-in may export these besides the fourteen; the library finds them
 * with GetProcAddress when it loads the plug-in and uses them only when
 * the application opted in (registry values event_notification and
 * plug_and_play, see README). A plug-in without them stays valid: the
 * library then asks gp_get_driver_status every 50 ms in place of waiting
 * for the event, and lists no readers of the plug-in's category. The same
 * rules as for the fourteen hold: the library lock is held, one call at a
 * time, cdecl, false with the reason in *error. */
#define GP_OPTIONAL_ENTRY_POINTS(X)                                                                                    \
    /* Hands the plug-in an event (a Win32 event handle, auto-reset) that it sets with SetEvent whenever what          \
       gp_get_driver_status would report changes: a target found or gone, access enabled or waiting, an error. The     \
       plug-in only sets it: it never waits for it, closes it or calls back into the library (from any thread). NULL   \
       withdraws it: once that call returned true the plug-in never touches the handle again, so the library may close \
       it. Given: the port is open. The library hands the event over after gp_start_poll_mode and withdraws it before   \
       gp_stop_poll_mode and gp_close_port. Lock: held, by the application thread. Loader lock: may hold (the          \
       withdrawal is part of the library's stop at FreeLibrary): no wait for a thread, no loader work, no unbounded    \
       wait. False when handed an event: the plug-in keeps no reference to it (the library closes it again and         \
       asks for the status every 50 ms instead); false when withdrawing: the plug-in may still set it, and the         \
       library never closes it. */                                                                                     \
    X(gp_set_status_event, (void *event, ErrorInfo *error), (event, error))                                            \
    /* Lists the ports this plug-in can open now, as entries "port name" NUL "reader name" NUL, the list ended by an    \
       empty entry (one more NUL); the port name as gp_open_port_and_transition_nfc_mode takes it (category prefix     \
       included, at most 63 bytes), the reader's own name at most 127 bytes of UTF-8 (a PC/SC reader name, a COM port; \
       may be empty). Writes the list's whole size, final NUL included, to *needed_size; when it exceeds buffer_size,  \
       writes nothing else and still returns true (the library asks again with room). A port that is open counts as   \
       present. Given: needed_size non-null; buffer non-null when buffer_size > 0; the port may be open or not. Lock:   \
       held, by the library's plug-and-play thread, every 250 ms while plug-and-play runs, and by the application      \
       thread for korvatlib_nfc_list_readers. Loader lock: the watcher never holds it but is waited for under it (see  \
       "The loader lock" above); the application thread may hold it only when the application calls the library        \
       from a DllMain: no loader work, no unbounded wait. Unlike gp_get_driver_status, a call that hangs is not given   \
       up at FreeLibrary: the unload waits for it, so a plug-in that breaks these rules here hangs its host. False:    \
       the library keeps the last list and posts the error to the trace log only (korvatlib_nfc_list_readers leaves    \
       the plug-in's ports out). */                                                                                    \
    X(gp_list_ports, (char *buffer, uint32_t buffer_size, uint32_t *needed_size, ErrorInfo *error),                    \
      (buffer, buffer_size, needed_size, error))

#define GP_DECLARE_ENTRY_TYPE(name, parameters, arguments) typedef GP_BOOL(GP_CALL *name##_t) parameters;
GP_OPTIONAL_ENTRY_POINTS(GP_DECLARE_ENTRY_TYPE)
#undef GP_DECLARE_ENTRY_TYPE

/* ------------------------------------------------------------------ */
/* DriverStatus word                                                     */
/* ------------------------------------------------------------------ */
#define GP_STATUS_STATE_MASK               0x0000000Fu /* 1 or 2: no error */
#define GP_STATUS_STATE_IDLE               0x00000001u
#define GP_STATUS_STATE_ACTIVE             0x00000002u
#define GP_STATUS_CARD_ERROR               0x0000000Eu /* detail in bits 20-23 */
#define GP_STATUS_DEVICE_ERROR             0x0000000Fu /* detail in bits 24-27 */
#define GP_CONNECT_REPORT_POLL_MODE        0x00000040u /* a target was found in poll mode */
#define GP_CONNECT_REPORT_LISTEN_MODE      0x00000080u /* reported as an error */
#define GP_ACCESS_ENABLED                  0x00000100u
#define GP_ACCESS_WAITING                  0x00000200u
/* With a card error state: the error is the departure of the last target
 * found (it left the field), once, with the target's number at
 * GP_AD_TARGET_NUMBER when AdditionalDataSize is 9 or more. A library
 * that does not know the bit sees the card error as before; with
 * event_notification = 1 the library reports a lost target instead.
 * A plug-in that never sets it is valid: its departures stay card errors. */
#define GP_TARGET_DEPARTED                 0x00000400u
#define GP_CARD_ERROR_DETAIL_SHIFT         20
#define GP_CARD_ERROR_DETAIL_MASK          0x00F00000u
#define GP_DEVICE_ERROR_DETAIL_SHIFT       24
#define GP_DEVICE_ERROR_DETAIL_MASK        0x0F000000u

/* ------------------------------------------------------------------ */
/* AdditionalData layout (little-endian, unaligned)                      */
/* ------------------------------------------------------------------ */
/* common head */
#define GP_AD_ID_BYTE             4   /* card types 2/4: value 4 gives record id 0, else 1 */
#define GP_AD_TARGET_NUMBER       5   /* uint32 */
/* card type 1 (14443 A / 18092 106 kbit/s): size = 25 + ATS_size */
#define GP_AD_A_SENS_RES          10  /* uint16 */
#define GP_AD_A_SEL_RES           12
#define GP_AD_A_NFCID1_SIZE       13  /* at most 10 */
#define GP_AD_A_NFCID1            14  /* 10 bytes */
#define GP_AD_A_ATS_SIZE          24
#define GP_AD_A_ATS               25
/* card type 8 (14443 B): size = 23 + ATTRIB_size */
#define GP_AD_B_ATQB              10  /* 12 bytes */
#define GP_AD_B_ATTRIB_SIZE       22
#define GP_AD_B_ATTRIB            23
/* card types 2 and 4 (18092 212/424 kbit/s): size = 27 + RD_size */
#define GP_AD_F_NFCID2            10  /* 8 bytes */
#define GP_AD_F_PAD               18  /* 8 bytes */
#define GP_AD_F_RD_SIZE           26
#define GP_AD_F_RD                27

#ifdef __cplusplus
}
#endif

#endif /* KORVAT_NFC_PLUGIN_H */
