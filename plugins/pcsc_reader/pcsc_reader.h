/*
 * pcsc_reader.h - the PC/SC reader plug-in (pcsc_reader.gp)
 *
 * A reader plug-in for the contactless readers of the smart-card resource manager (winscard.dll:
 * a USB reader with its CCID or vendor driver, as Windows lists it under "Smart card readers").
 * It implements the interface of korvat_nfc_plugin.h and imports winscard.dll, a system DLL.
 *
 * Configuration (HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library; on 64-bit Windows the x86
 * DLL reads the key below WOW6432Node)
 *   category_name_list  must contain the item "PCSC" (PCSC_CATEGORY_NAME); its 0-based position
 *                       is the plug-in's PortCategory. Read as the library reads it.
 *   port_name_list      e.g. "PCSC0" or "PCSC0, PCSC1".
 *   pcsc_reader_filter  optional string (PCSC_READER_FILTER_VALUE), read at each open: only
 *                       readers whose name contains it (letter case counts) are numbered, so
 *                       "ACR122" or "Contactless" keeps contact readers and other makes out.
 *                       Absent or empty: every reader.
 * A port name is "PCSC" and one digit: PCSCn is the n-th reader (from 0) in the order
 * SCardListReaders gives, after the filter. Any other name fails with PCSC_E_UNKNOWN_PORT.
 *
 * Opening a port establishes a resource-manager context (PCSC_E_SERVICE when it cannot) and finds
 * the port's reader (PCSC_E_READER_GONE, detail 0, when there are fewer readers). When a card is
 * in the field then, the reader's profile is probed at once; otherwise with the first card that
 * is identified. Closing disconnects the card and releases the context.
 *
 * Reader profiles, probed once per open port (the probe needs a card) in this order, the first
 * that answers in form winning (PcscProfile.h has the answers):
 *   Pn532               a reader built on a PN532 that passes FF 00 00 00 Lc D4 .. to the chip
 *                       (GetFirmwareVersion answered);
 *   TransparentSession  the storage-card transparent session FF C2 (start session answered with
 *                       the status object C0 03 00 90 00);
 *   StoragePages        FF B0 page reads answered with 16 bytes (asked only with a type A
 *                       storage card);
 *   PlainApdu           none of these.
 * Each probe command, its answer and the profile found are traced with OutputDebugString
 * ("pcsc_reader: PCSC0: profile of "<reader>": PN532 pseudo-APDU, firmware 32010607"), as are
 * every target found (its record in hex and the notes of the fields derived), the reader's
 * loss and return, and every failed call with its error pair.
 *
 * Poll mode: a thread of the plug-in asks for the reader's state every 50 ms with
 * SCardGetStatusChange and a zero time-out, passing the last event state back as the current
 * state. A change is judged by the state bits and the event counter (upper 16 bits) against the
 * last state seen: CHANGED alone is not trusted, as some stacks set it on every call and do not
 * block. A card present when poll mode starts is found at the first step. A new card (present,
 * not mute, a counter not seen) is connected (shared, T=0 or T=1), identified and, when its kind
 * is in target_device, found. gp_get_driver_status reports the state at the call
 * (reader::StatusMailbox, as the PN532 reader):
 *   no target                  state 1
 *   a target was found         state 2 | bit 6, PollModeCardType and the additional data, once
 *                              per arrival, with a new target_number
 *   found, access not started  state 2 | bit 9 (waiting for access)
 *   access started             state 2 | bit 8 (access enabled)
 *   the card left the field    state 14 (card error), detail PCSC_CARD_ERROR_REMOVED (1), the
 *                              pair PCSC_E_CARD_REMOVED / SCARD_W_REMOVED_CARD; reported once.
 *                              An exchange of an access whose card left fails with that pair
 *                              too, until gp_stop_device_access (which then succeeds); the same
 *                              with the device error's pair when the reader or the resource
 *                              manager went away during an access.
 *   the reader is gone         state 15 (device error), detail PCSC_DEVICE_ERROR_READER_GONE (1)
 *                              with PCSC_E_READER_GONE (reader unplugged: SCARD_E_UNKNOWN_READER,
 *                              SCARD_E_READER_UNAVAILABLE, or a state of UNKNOWN / UNAVAILABLE),
 *                              or PCSC_DEVICE_ERROR_SERVICE (2) with PCSC_E_SERVICE (the resource
 *                              manager went away: SCARD_E_NO_SERVICE, SCARD_E_SERVICE_STOPPED,
 *                              any other failure of the call). Every status call reports it for
 *                              as long as it lasts; every 500 ms the thread looks for the reader
 *                              again, with a new context when the old one failed (Windows stops
 *                              the service with the last reader); once the reader answers the
 *                              state is 1 and a card in the field is found again (new number).
 *
 * Target records. The additional data have the layout of korvat_nfc_plugin.h (bytes 0-3 and 4
 * the card type, 5-8 target_number, 9 the reader's target number 01). Through the Pn532 profile
 * they come from the chip's InListPassiveTarget of the card's kind: every field as the card sent
 * it. Otherwise from the ATR (3B 8F 80 01 80 4F 0C A0 00 00 03 06 SS NN NN 00 00 00 00 TCK for
 * storage cards, 3B 8n 80 01 + historical bytes + TCK for ISO/IEC 14443-4 cards), GET DATA
 * FF CA 00 00 00 (UID, PUPI or IDm) and, for a -4 card, FF CA 01 00 00 (the ATS). What PC/SC
 * cannot tell, and what the record then holds (PcscTargetRecord.h):
 *   type A SENS_RES   only its UID size bits, from the UID's length: 0000 (4 bytes), 0040 (7),
 *                     0080 (10); the anticollision bits stay 0, which no card sends, so a
 *                     derived SENS_RES can be told from a received one;
 *   type A SEL_RES    from the ATR: 20 for a -4 card; a storage card by its name: 00 03 (Type 2
 *                     Tag) 00, 00 01 08, 00 02 18, 00 26 09, any other 00;
 *   type A ATS        the reader's GET DATA answer when it gives a well-formed one (first byte
 *                     TL equal to its length), else none (ATS_size 0);
 *   type B ATQB       50, the PUPI, the application data and protocol info (the ATR's
 *                     historical bytes 1-7): all twelve bytes are the card's; ATTRIB_RES one
 *                     byte, the ATR's 8th historical byte (MBLI and CID);
 *   FeliCa Pad (PMm)  eight bytes FF; RD (system code) none (RD_size 0);
 *   FeliCa bit rate   from the ATR's name F0 11 (212) / F0 12 (424); 212 kbit/s for SS 11.
 * The card types: 1 (type A, also a Type 2 Tag), 8 (type B -4), 2 or 4 (FeliCa). A card whose
 * ATR has neither form (a contact card, ISO/IEC 15693, Type 1) is not found; the trace says why.
 *
 * Device access: gp_start_device_access(target_number); with the TransparentSession profile and
 * a storage card it starts the session (and switches to FeliCa for a FeliCa card) and sets the
 * session's timer to the time-out in force; gp_stop_device_access ends it. Stop mode 0: the card
 * is not found again until it has left the field; 1: it is found again at once (a new number).
 * gp_select_device and gp_deselect_device only check that an access is open: the reader keeps
 * the card selected.
 *
 * gp_read by profile and card (PCSC_MAXIMUM_COMMAND_SIZE 4096 bytes in, at most
 * PCSC_MAXIMUM_RESPONSE_SIZE 4096 bytes out: the response buffer must hold that many):
 *   ISO/IEC 14443-4 card (A or B), every profile but Pn532: the APDU through SCardTransmit; the
 *                     answer is the card's, status word included. A command of class FF would
 *                     be the reader's: PCSC_E_READER_CLASS.
 *   Pn532, any card:  InDataExchange FF 00 00 00 Lc D4 40 01 <frame> (APDU, FeliCa frame with its
 *                     length byte, Type 2 Tag command); the chip's status byte is judged
 *                     (PCSC_E_CHIP_STATUS), its chained answers gathered; frames of at most 252
 *                     bytes (PCSC_E_TOO_LONG).
 *   TransparentSession, FeliCa or Type 2 Tag: FF C2 00 01 Lc 95 len <frame>, the card's answer
 *                     from object 97 (PCSC_E_SESSION_STATUS, PCSC_E_CARD_NO_ANSWER).
 *   StoragePages, Type 2 Tag: READ 30 pp as FF B0 00 pp 10 (16 bytes back), WRITE A2 pp d0..d3
 *                     as FF D6 00 pp 04 d0..d3 (the ACK 0A back when the reader says 90 00).
 *   Anything else (a FeliCa frame to a plain reader, FAST_READ or GET_VERSION through
 *                     storage pages, ...) fails with PCSC_E_NOT_CARRIED, detail: the frame's
 *                     first byte in bits 16-23, the profile (0 plain, 1 storage pages, 2 PN532,
 *                     3 transparent session) in bits 8-15, the card kind (1 A part 3, 2 A -4,
 *                     3 B -4, 4 FeliCa 212, 5 FeliCa 424) in bits 0-7. Nothing is guessed.
 * A transmit that fails gives PCSC_E_CARD_REMOVED, PCSC_E_READER_GONE, PCSC_E_SERVICE or
 * PCSC_E_TRANSMIT with the SCARD_ code as detail; a reader's refusal of its pseudo-APDU
 * PCSC_E_READER_REFUSED with its status word.
 *
 * Time-out: gp_set_timeout(milliseconds), PCSC_MINIMUM_TIMEOUT to PCSC_MAXIMUM_TIMEOUT, default
 * PCSC_DEFAULT_TIMEOUT: the transparent session's timer (set at the start of an access). The
 * resource manager bounds every other transmit by the reader driver's own time-outs.
 *
 * The loader lock (gp_stop_poll_mode, gp_close_port and gp_stop_device_access may run in the
 * library's DllMain): the poll thread holds its own reference on this module and leaves through
 * FreeLibraryAndExitThread; a closer waits at most 2 s for its "finished" event, never for its
 * handle (PCSC_E_POLL_THREAD_BUSY when the bound runs out, changing nothing); the thread never
 * blocks in the resource manager (zero time-outs), so a closer waits one step at most; then the
 * closer disconnects the card and releases the context, calls that load and free nothing.
 * The same pattern as the PN532 reader (plugins/common/PluginPollThread.h).
 *
 * Error pairs: PcscErrorCodes.h (0xE054xxxx). Names and limits: PcscLimits.h.
 */
#ifndef KORVAT_PCSC_READER_H
#define KORVAT_PCSC_READER_H

/* Category name, registry value of the reader filter, time-out range, largest command and
 * answer. */
#include "PcscLimits.h"
/* The error pairs the plug-in writes, and the details of its error states. */
#include "PcscErrorCodes.h"

/* Version reported by gp_get_version_number. */
#define PCSC_VERSION_NUMBER 1000

#endif /* KORVAT_PCSC_READER_H */
