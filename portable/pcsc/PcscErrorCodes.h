/*
 * PcscErrorCodes.h - the error pairs (error code, detail code) of the PC/SC reader, and the
 * details of its device and card error states. The portable core writes them; the plug-in
 * passes them on and its public header includes this one. Plain C.
 */
#ifndef KORVAT_PCSC_ERROR_CODES_H
#define KORVAT_PCSC_ERROR_CODES_H

/* ------------------------------------------------------------------ */
/* Error pairs (error code, detail code). The customer bit is set, so   */
/* they never collide with the library's own 0x80C0xxxx codes; the      */
/* range 0xE054xxxx is this reader's alone.                             */
/* ------------------------------------------------------------------ */
/* An argument is null or out of range; detail: its 1-based position. */
#define PCSC_E_INVALID_ARGUMENT      0xE0540001u
/* "PCSC" is not an item of category_name_list; detail: 0 list absent or empty, 1 not listed. */
#define PCSC_E_CATEGORY_NOT_LISTED   0xE0540002u
/* The port name is not "PCSC" and one digit; detail 0. */
#define PCSC_E_UNKNOWN_PORT          0xE0540003u
/* Port, poll mode and access states; detail 0, or the target number asked for. */
#define PCSC_E_PORT_ALREADY_OPEN     0xE0540004u
#define PCSC_E_PORT_NOT_OPEN         0xE0540005u
#define PCSC_E_ALREADY_POLLING       0xE0540006u
#define PCSC_E_NOT_POLLING           0xE0540007u
#define PCSC_E_NO_TARGET             0xE0540008u
#define PCSC_E_NOT_ACCESSING         0xE0540009u
#define PCSC_E_ALREADY_ACCESSING     0xE054000Au
/* The resource manager cannot be reached (no context, service stopped); detail: the SCARD_
 * code. */
#define PCSC_E_SERVICE               0xE054000Bu
/* The port's reader is not there (fewer readers than the port number, or it was unplugged);
 * detail: the SCARD_ code, or 0 when the list has no reader for the port. */
#define PCSC_E_READER_GONE           0xE054000Cu
/* The card left the field during the exchange (SCARD_W_REMOVED_CARD and the like); detail:
 * the SCARD_ code. */
#define PCSC_E_CARD_REMOVED          0xE054000Du
/* A transmit failed for another reason; detail: the SCARD_ code. */
#define PCSC_E_TRANSMIT              0xE054000Eu
/* The reader's profile cannot carry this command to this kind of card; detail: profile in
 * bits 8-15 (PcscProfile.h), card kind in bits 0-7 (PcscAtr.h), the command's first byte in
 * bits 16-23. */
#define PCSC_E_NOT_CARRIED           0xE054000Fu
/* A command of class FF would be taken by the reader, not by the card; detail: INS. */
#define PCSC_E_READER_CLASS          0xE0540010u
/* The command or the answer exceeds what the profile carries; detail: the length. */
#define PCSC_E_TOO_LONG              0xE0540011u
/* The reader reports that its pseudo-APDU for the card failed: the status word of the answer
 * to FF B0 / FF D6 / FF CA or of the PN532 pseudo-APDU (63 00 failed, 63 01 chip time-out,
 * 63 27 checksum, 63 7F bad command); detail: SW1 SW2. */
#define PCSC_E_READER_REFUSED        0xE0540012u
/* The PN532 inside the reader reports an error in its InDataExchange status byte; detail: the
 * status byte (its error code in bits 5..0; 01 = the card did not answer). */
#define PCSC_E_CHIP_STATUS           0xE0540013u
/* The transparent session reports an error in its status object C0; detail: its three bytes
 * (object number in bits 16-23, then the status word). */
#define PCSC_E_SESSION_STATUS        0xE0540014u
/* The card gave no answer through the transparent session (no object 97); detail 0. */
#define PCSC_E_CARD_NO_ANSWER        0xE0540015u
/* The reader's answer does not have the form its command demands; detail: PCSC_MALFORMED_*. */
#define PCSC_E_MALFORMED_ANSWER      0xE0540016u
#define PCSC_MALFORMED_NO_STATUS_WORD 1u /* fewer than two bytes */
#define PCSC_MALFORMED_PN532_HEADER   2u /* not D5 and the command code plus one */
#define PCSC_MALFORMED_DATA_OBJECTS   3u /* the BER-TLV objects do not parse */
#define PCSC_MALFORMED_NO_SESSION_STATUS 4u /* a session answer without its C0 object */
#define PCSC_MALFORMED_PAGE_LENGTH    5u /* a page read not of 16 bytes */
#define PCSC_MALFORMED_TARGET_DATA    6u /* InListPassiveTarget target data that do not parse */
#define PCSC_MALFORMED_GET_DATA       7u /* a UID / ATS of impossible length */
#define PCSC_MALFORMED_EMPTY_CHAIN    8u /* a chained PN532 answer piece (MI set) without data */
/* The card's ATR has no form a contactless card of the library can have; detail:
 * PcscAtrCheck (PcscAtr.h) in bits 0-7, the standard byte SS in bits 8-15. */
#define PCSC_E_UNSUPPORTED_CARD      0xE0540017u
/* The PN532 inside the reader listed no target of the card's kind; detail: BrTy. */
#define PCSC_E_NOT_LISTED            0xE0540018u
/* The reader gives no identifier (GET DATA FF CA 00 00 refused); detail: SW1 SW2. */
#define PCSC_E_NO_IDENTIFIER         0xE0540019u

/* A closer waited PCSC_E_POLL_THREAD_BUSY's detail in milliseconds for the poll thread (or the
 * I/O lock) without getting it; nothing was changed, the call may be repeated. */
#define PCSC_E_POLL_THREAD_BUSY      0xE054001Au
/* The poll thread cannot be started; detail: the Windows error. */
#define PCSC_E_POLL_THREAD           0xE054001Bu

/* Detail of the device error state (driver status bits 24-27) and of the card error
 * state (bits 20-23). */
#define PCSC_DEVICE_ERROR_READER_GONE 1u
#define PCSC_DEVICE_ERROR_SERVICE     2u
#define PCSC_DEVICE_ERROR_TRANSMIT    3u
#define PCSC_CARD_ERROR_REMOVED       1u

#endif /* KORVAT_PCSC_ERROR_CODES_H */
