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
 *                               Every status call reports it for as long as
 *                               the reader fails: every 500 ms the thread
 *                               reopens the port (an adapter unplugged and
 *                               plugged in again), wakes and sets up the chip
 *                               again (it may have reset) and lists; once a
 *                               listing is answered the status is state 1 and
 *                               targets are found again (with new numbers).
 * The status is the reader's state at the call, not a queue of what happened:
 * a target that came and left between two calls is not reported at all, a
 * departure only for a target that was reported, and a newer arrival replaces
 * an older one not yet reported; a device error is reported at least once.
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
 *
 * A type A target without ISO/IEC 14443-4 (SEL_RES bit 0x20 clear: an NFC
 * Forum Type 2 Tag has SEL_RES 00, SENS_RES 00 44 and a 7-byte NFCID1) is
 * found with the same record, its ATS size 0. gp_read hands its command
 * packet to it raw, in one InDataExchange, without ISO/IEC 14443-4 blocks;
 * the chip adds and checks the CRC. Type 2 Tag commands and what gp_read
 * returns for them:
 *   READ 30 pp                the tag's 16 bytes (pages pp to pp+3)
 *   FAST_READ 3A ss ee        (ee-ss+1) x 4 bytes; the largest answer the chip
 *                             carries is 262 bytes (TFI, command code and status
 *                             fill the rest of its 265-byte frame): 65 pages,
 *                             260 bytes. A longer one fails with the chip's
 *                             status (PN532_E_CHIP_ERROR, detail 0x0E on the
 *                             emulator: internal buffer overflow)
 *   WRITE A2 pp d0..d3        one byte, the tag's 4-bit ACK 0x0A
 *   COMPATIBILITY_WRITE       A0 pp followed by the 16 data bytes in the same
 *                             packet (the chip runs both phases): one byte 0x0A
 *   GET_VERSION 60            the tag's 8 bytes
 *   READ_SIG 3C 00            the tag's 32 bytes
 * The largest gp_read command and answer for such a target is 262 bytes; a
 * longer command fails with PN532_E_TOO_LONG (detail: its length), as there
 * is no chaining without ISO/IEC 14443-4. A tag that refuses a command with
 * its 4-bit NAK is reported by the chip in its status byte, not as data: the
 * call fails with the pair of that status byte, the status as detail (the
 * emulator reports a NAK as 0x13, invalid frame received, as the chip does
 * for a refused MIFARE command: PN532_E_CARD_TRANSMISSION, detail 0x13); the
 * NAK's own 4-bit value does not cross the chip. A tag that does not answer at all (an unknown
 * command, a tag gone) fails with PN532_E_CARD_NO_ANSWER, detail 0x01. While
 * a found Type 2 Tag waits for access, the poll thread checks that it is still
 * there with READ of page 0, which changes nothing on the tag.
 * gp_deselect_device sends InDeselect, gp_select_device InSelect.
 * gp_stop_device_access sends InRelease; stop_mode 0: the target is not found
 * again until it has left the field, 1: it may be found again at once.
 *
 * The loader lock, and how this plug-in keeps the rule (a pattern to copy):
 * gp_stop_poll_mode, gp_close_port and gp_stop_device_access may be called from
 * the library's DllMain at FreeLibrary, and gp_start_poll_mode and
 * gp_stop_poll_mode from an application's DllMain, with the loader lock held.
 * There a plug-in must never wait for a thread's end, load or free a DLL, take
 * a lock that a thread of its own may hold, or block without a bound. So:
 *   - gp_start_poll_mode takes a reference on this module for the poll thread
 *     (GetModuleHandleExW with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) before
 *     creating it; the thread leaves through FreeLibraryAndExitThread, so its
 *     code stays mapped until it is gone, whoever frees the module meanwhile.
 *   - A closer signals stop, cancels the serial line (reads wait in 50 ms
 *     slices and fail at once when cancelled) and waits at most 2 s for a
 *     "finished" event that the thread sets when it is done with the plug-in's
 *     state; it never waits for the thread's handle. A thread that has not
 *     started yet is abandoned without a wait, and only leaves when it starts.
 *   - The I/O lock is taken only after "finished" (gp_stop_device_access, which
 *     leaves the thread running, tries it for at most 2 s). A bound that runs
 *     out fails the call with PN532_E_POLL_THREAD_BUSY, changing nothing.
 *   - Commands of a close (release, RF off, PowerDown) wait at most 500 ms each.
 *   - At process exit the thread is already gone; nothing waits.
 *
 * Time-out: gp_set_timeout(milliseconds), 1 to 60000, bounds every exchange
 * with the chip (each InDataExchange of a gp_read, each listing). When it
 * expires, the command is aborted with an ACK frame, the link is
 * resynchronised (what the chip still sends is dropped for a short settle
 * time, never past the time-out), and the call fails with PN532_E_TIMEOUT. A damaged answer
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
