/*
 * Pn532ErrorCodes.h - the error pairs (error code, detail code) of the PN532 reader, and the
 * details of its device and card error states. The chip dialogue writes them; the plug-in passes
 * them on and its public header includes this one. Plain C.
 */
#ifndef KORVAT_PN532_ERROR_CODES_H
#define KORVAT_PN532_ERROR_CODES_H

/* ------------------------------------------------------------------ */
/* Error pairs written by the plug-in (error code, detail code).         */
/* The codes have the customer bit set, so that they never collide with */
/* the library's own 0x80C0xxxx codes.                                  */
/* ------------------------------------------------------------------ */
/* An argument is null or out of range; detail: its 1-based position. */
#define PN532_E_INVALID_ARGUMENT     0xE0500001u
/* "COM" is not an item of category_name_list; detail: 0 list absent or empty, 1 not listed. */
#define PN532_E_CATEGORY_NOT_LISTED  0xE0500002u
/* The port name is not "COM" and a number from 1 to 255; detail 0. */
#define PN532_E_UNKNOWN_PORT         0xE0500003u
/* gp_open_port_and_transition_nfc_mode while the port is open; detail 0. */
#define PN532_E_PORT_ALREADY_OPEN    0xE0500004u
/* The operation needs the open port; detail 0. */
#define PN532_E_PORT_NOT_OPEN        0xE0500005u
/* The serial port cannot be opened or set up; detail: the Windows error code. */
#define PN532_E_PORT                 0xE0500006u
/* The chip is not a PN532; detail: its GetFirmwareVersion answer IC, Ver, Rev, Support
 * (IC in the high byte). */
#define PN532_E_NOT_PN532            0xE0500007u
/* gp_start_poll_mode while poll mode runs / the operation needs poll mode; detail 0. */
#define PN532_E_ALREADY_POLLING      0xE0500008u
#define PN532_E_NOT_POLLING          0xE0500009u
/* No found target has this number; detail: the number asked for. */
#define PN532_E_NO_TARGET            0xE050000Au
/* The operation needs device access (or it has already started); detail: the accessed
 * target number, 0 when none. */
#define PN532_E_NOT_ACCESSING        0xE050000Bu
#define PN532_E_ALREADY_ACCESSING    0xE050000Cu
/* The chip did not answer within the time-out; detail: the PN532 command code. */
#define PN532_E_TIMEOUT              0xE050000Du
/* The serial link failed; detail: PN532_LINK_*. */
#define PN532_E_LINK                 0xE050000Eu
#define PN532_LINK_WRITE_FAILED      1u  /* the port refused the bytes (reader unplugged?) */
#define PN532_LINK_READ_FAILED       2u  /* reading the port failed (reader unplugged?) */
#define PN532_LINK_DAMAGED_FRAMES    3u  /* answers stayed damaged after two NACKs */
#define PN532_LINK_SYNTAX_ERROR      4u  /* the chip answered with its syntax error frame */
#define PN532_LINK_UNEXPECTED_ANSWER 5u  /* an answer to another command, or malformed */
/* The chip reports an error in its status byte; detail: the status byte. By its error
 * code (bits 5..0): */
#define PN532_E_CARD_NO_ANSWER       0xE050000Fu /* 01: the target did not answer (left the field?) */
#define PN532_E_CARD_TRANSMISSION    0xE0500010u /* 02-06, 0A, 0B, 12, 13, 23, 25, 2A, 2C, 2E */
#define PN532_E_CHIP_ERROR           0xE0500011u /* 07, 09, 0D, 0E, 2D and codes not listed */
#define PN532_E_CHIP_REFUSED         0xE0500012u /* 10, 26, 27: command not acceptable now */
#define PN532_E_TARGET_RELEASED      0xE0500013u /* 29, 2B: the target is gone */
#define PN532_E_AUTHENTICATION       0xE0500014u /* 14: MIFARE authentication error */
/* The command or its answer exceeds the sizes above; detail: the length. */
#define PN532_E_TOO_LONG             0xE0500015u
/* gp_stop_poll_mode, gp_close_port or gp_stop_device_access: the poll thread did not give the
 * serial line up within the bound; it ends on its own, nothing was changed. Detail: the bound
 * in milliseconds. */
#define PN532_E_POLL_THREAD_BUSY     0xE0500016u

/* Detail of the device error state (driver status bits 24-27) and of the card error
 * state (bits 20-23). */
#define PN532_DEVICE_ERROR_TIMEOUT    1u
#define PN532_DEVICE_ERROR_LINK       2u
#define PN532_DEVICE_ERROR_PORT_LOST  3u
#define PN532_DEVICE_ERROR_CHIP       4u
#define PN532_CARD_ERROR_LEFT_FIELD   1u

#endif /* KORVAT_PN532_ERROR_CODES_H */
