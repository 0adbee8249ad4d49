/*
 * pn532_reader.h - the PN532 reader plug-in (pn532_reader.gp)
 *
 * A reader plug-in for an NXP PN532 NFC controller on a serial port: a PN532
 * breakout board behind a USB-serial adapter, or any reader that exposes the
 * chip's HSU link (115200 baud, 8N1, no flow control) as a COM port. It
 * implements the interface of korvat_nfc_plugin.h.
 *
 * Configuration (HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library)
 *   category_name_list  must contain the item "COM"; its 0-based position is
 *                       the plug-in's PortCategory. The list is read as the
 *                       library reads it (first 4096 characters, items split
 *                       at ",", spaces around items removed, at most 256).
 *   port_name_list      the reader's ports, e.g. "COM3" or "COM3, COM12".
 *                       A port name is "COM" followed by the port number
 *                       (1 to 255); it is opened as the Windows serial device
 *                       \\.\COMn, so COM10 and above work as well.
 *
 * Opening a port: the serial line is set to 115200 8N1 without flow control
 * and purged, the chip is woken (0x55 0x55 and fourteen 0x00 before its first
 * frame), SAMConfiguration (normal mode), GetFirmwareVersion (a chip that is
 * not a PN532 is refused with PN532_E_NOT_PN532), SetParameters (automatic
 * RATS), RFConfiguration (finite retries, so that a listing with no card ends
 * at once) and the RF field is switched on. Closing releases the targets,
 * switches the RF field off, sends PowerDown and closes the port.
 *
 * Poll mode: a thread of the plug-in lists targets with InListPassiveTarget,
 * one kind of target_device after the other (1: 106 kbit/s type A, 8: type B,
 * 2: FeliCa 212 kbit/s, 4: FeliCa 424 kbit/s). gp_get_driver_status only reads
 * the latest result of that thread and returns at once. It reports:
 *   no target                   state 1
 *   a target was found          state 2 | bit 6, PollModeCardType and the
 *                               additional data, once per arrival, with a new
 *                               target_number
 *   found, access not started   state 2 | bit 9 (waiting for access)
 *   access started              state 2 | bit 8 (access enabled)
 *   the target left the field   state 14 (card error), detail 1; reported
 *                               once, then the next target is looked for
 *   the reader failed           state 15 (device error), detail 1 time-out,
 *                               2 link error, 3 port lost, 4 chip error;
 *                               the error record holds the error pair below.
 *                               The thread keeps trying; the status returns
 *                               to state 1 once the reader answers again.
 * Additional data: bytes 0-3 the card type, byte 4 the card type as well (so
 * a 424 kbit/s target gives id 0), bytes 5-8 target_number, byte 9 the PN532's
 * own target number (Tg); then the fields of each kind:
 *   type A  SENS_RES as the PN532 gives it (first byte high: 03 44 -> 0x0344),
 *           SEL_RES, NFCID1 (4, 7 or 10 bytes), the ATS including its length
 *           byte TL (empty when the card has none)
 *   type B  ATQB (12 bytes), ATTRIB_RES (its first byte MBLI | CID)
 *   FeliCa  NFCID2 (IDm), Pad (PMm), RD: the system code when the card gave one
 *
 * Device access: gp_start_device_access(target_number) of the found target.
 * gp_read sends the command packet to the target with InDataExchange: an
 * APDU to an ISO/IEC 14443-4 card of type A or B, a FeliCa frame beginning with
 * its length byte to a FeliCa card. Commands longer than one frame are
 * chained (the MI bit of the target byte), answers with the MI bit are
 * gathered. Commands up to PN532_MAXIMUM_COMMAND_SIZE bytes, answers up to
 * PN532_MAXIMUM_RESPONSE_SIZE bytes: the response buffer must hold that many.
 * gp_deselect_device sends InDeselect, gp_select_device InSelect.
 * gp_stop_device_access sends InRelease; stop_mode 0: the target is not found
 * again until it has left the field, 1: it may be found again at once.
 *
 * Time-out: gp_set_timeout(milliseconds), 1 to 60000, bounds every exchange
 * with the chip (each InDataExchange of a gp_read, each listing). When it
 * expires, the command is aborted with an ACK frame, the link is
 * resynchronised, and the call fails with PN532_E_TIMEOUT. A damaged answer
 * (bad checksum, lost byte) is asked for again with a NACK frame, twice at
 * most; garbage between frames is skipped.
 */
#ifndef KORVAT_PN532_READER_H
#define KORVAT_PN532_READER_H

/* The category name looked up in category_name_list, and the prefix of port names. */
#define PN532_CATEGORY_NAME "COM"
/* Version reported by gp_get_version_number. */
#define PN532_VERSION_NUMBER 1000
/* Time-out before the first gp_set_timeout, and its range (milliseconds). */
#define PN532_DEFAULT_TIMEOUT 6000
#define PN532_MINIMUM_TIMEOUT 1
#define PN532_MAXIMUM_TIMEOUT 60000
/* Largest command packet and largest answer of gp_read. */
#define PN532_MAXIMUM_COMMAND_SIZE 4096
#define PN532_MAXIMUM_RESPONSE_SIZE 4096

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

/* Detail of the device error state (driver status bits 24-27) and of the card error
 * state (bits 20-23). */
#define PN532_DEVICE_ERROR_TIMEOUT    1u
#define PN532_DEVICE_ERROR_LINK       2u
#define PN532_DEVICE_ERROR_PORT_LOST  3u
#define PN532_DEVICE_ERROR_CHIP       4u
#define PN532_CARD_ERROR_LEFT_FIELD   1u

#endif /* KORVAT_PN532_READER_H */
