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

/* Category name, time-out range, largest command and answer. */
#include "Pn532Limits.h"
/* The error pairs the plug-in writes, and the details of its error states. */
#include "Pn532ErrorCodes.h"

/* Version reported by gp_get_version_number. */
#define PN532_VERSION_NUMBER 1000

#endif /* KORVAT_PN532_READER_H */
