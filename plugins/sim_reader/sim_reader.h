/*
 * sim_reader.h - the simulated reader plug-in (sim_reader.gp)
 *
 * A reader plug-in with no hardware behind it: virtual cards enter and leave
 * the field of a virtual reader on a schedule, and answer the commands sent
 * to them through korvatlib_nfc_thru(). It is the worked example of a plug-in
 * (see korvat_nfc_plugin.h for the interface it implements) and the reader of
 * the demo application.
 *
 * Configuration (HKLM\SOFTWARE\Ravo Corporation\Korvat NFC Library)
 *   category_name_list  must contain the item "SIM"; its 0-based position is
 *                       the plug-in's PortCategory, read each time the library
 *                       loads the plug-in. The list is read as the library reads
 *                       it: first 4096 characters, items split at ",", spaces
 *                       around items removed, empty items keep their position,
 *                       at most 256 items.
 *   port_name_list      e.g. "SIM0": every port name that begins with "SIM"
 *                       opens the one simulated reader.
 *   sim_scenario_file   optional: absolute path of a scenario file. When the
 *                       value is absent or empty, "sim_reader.scenario" beside
 *                       the plug-in file is used if it exists, otherwise the
 *                       built-in scenario (default.scenario in the sources).
 *                       The scenario is read when the port is opened.
 *
 * Scenario file: one directive per line, "#" starts a comment.
 *   card <kind> <enter ms> <leave ms> [key=hex ...]
 *       A card that is in the field from <enter> until <leave> milliseconds
 *       after gp_start_poll_mode. <kind> is A (ISO/IEC 14443 A, card type 1),
 *       B (ISO/IEC 14443 B, card type 8), F (ISO/IEC 18092 212 kbit/s, card
 *       type 2) or F424 (424 kbit/s, card type 4). Keys (hex bytes, optional,
 *       defaults in default.scenario):
 *         A:      nfcid1 (1..10 bytes), sens_res (2 bytes), sel_res (1), ats (0..64)
 *         B:      atqb (12 bytes), attrib (0..64)
 *         F/F424: nfcid2 (8 bytes), pad (8 bytes), rd (0..16)
 *       and, for every kind of these:
 *         writable     the tag is writable (see Commands) and keeps what is
 *                      written until the port is closed; without it the tag
 *                      is read only
 *         ndef_size=N  decimal, 16..8192, only with "writable" (default 1024):
 *                      the NDEF file size, NLEN included (A, B: the message
 *                      holds at most N - 2 bytes), or the data capacity
 *                      rounded up to whole 16-byte blocks (F, F424: Nmaxb)
 *   card T2 <enter ms> <leave ms> [size=144|504|888] [uid=hex] [sig=hex] [readonly|blank]
 *           [image=hex] [strict]
 *       An NFC Forum Type 2 Tag, found as an ISO/IEC 14443 A target (card
 *       type 1: SENS_RES 0044, SEL_RES 00, the 7-byte NFCID1, no ATS). size:
 *       bytes of its data area (decimal, default 144); uid: its 7-byte UID
 *       (default 046B2D1A5C7380); sig: the 32 bytes READ_SIG answers (default
 *       32 bytes 00); readonly: every lock bit set and write access 0F in the
 *       capability container; blank: a tag as it leaves the factory, the
 *       capability container (page 3) and the data area all 00 (no TLVs, no
 *       NDEF message), which a formatter makes NDEF-ready by writing the
 *       capability container and an NDEF TLV. Without "readonly" the tag is
 *       writable and keeps what is written until the port is closed.
 *       image: the capability container (page 3) and the data area, whole
 *       pages, as the tag holds them instead of its own layout (any TLVs;
 *       not with readonly, blank or message lines; zero pages follow up to
 *       page 15, never written). strict: a tag of the family's first kind,
 *       without GET_VERSION, FAST_READ and READ_SIG: a command it does not
 *       know, or a NAK it sends, puts it to sleep until it is selected again
 *       (no answer, as a real tag gone IDLE).
 *   uri <URI>                  adds a URI record to the last card's NDEF message
 *   text <language> <text...>  adds a text record (UTF-8) to it
 *   empty                      adds the NDEF empty record to it (alone: D0 00 00)
 *   repeat <period ms>         the whole schedule repeats with this period
 *   port <name> <present ms> <absent ms> [reader name...]
 *       A reader that is plugged in for <present> ms (at least 1), then
 *       pulled out for <absent> ms, over and over, counted from the moment
 *       the plug-in was loaded; <absent> 0: always plugged in. <name> is a
 *       port name beginning with "SIM" (at most 63 bytes, one line each);
 *       the reader name (rest of the line, at most 127 bytes) defaults to
 *       "Simulated reader". With port lines, gp_list_ports lists the ports
 *       whose reader is plugged in now (and the open port), and a port opens
 *       only while its reader is plugged in (SIM_E_NO_READER otherwise, also
 *       for a SIM port without a line); the port, once open, stays usable.
 *       Without port lines every SIM port opens, and gp_list_ports lists
 *       the SIM ports of port_name_list (SIM0 when it names none).
 *       The scenario is read again at each gp_list_ports.
 * Cards of kinds A and B are NFC Forum Type 4 Tags, cards of kinds F and F424
 * Type 3 Tags; each holds the NDEF message of its uri/text/empty lines (at
 * most 1024 bytes on a read only card, what ndef_size allows on a writable
 * one). A card without such lines is initialised but holds no NDEF message
 * (NLEN 0 / Ln 0 / an NDEF TLV of length 0). On a T2 card the message fits
 * the data area beside the control TLVs: at most 132, 490 or 874 bytes for
 * the three sizes; a blank T2 card holds no message lines.
 *
 * What the reader reports through gp_get_driver_status, while poll mode runs:
 *   no target in the field      state 1, no other bit
 *   a target was found          state 2 | bit 6, PollModeCardType and the
 *                               additional data of the card; reported once
 *                               per arrival, with a new target_number
 *   found, access not started   state 2 | bit 9 (waiting for access)
 *   access started              state 2 | bit 8 (access enabled), after
 *                               gp_start_device_access(target_number)
 *   the target left the field   state E | SIM_CARD_ERROR_LEFT_FIELD << 20 |
 *                               GP_TARGET_DEPARTED, the pair SIM_E_NO_RESPONSE,
 *                               SIM_NO_RESPONSE_LEFT_FIELD, and the card's
 *                               type and additional data (its target_number);
 *                               once, and only while a status event is handed
 *                               over (gp_set_status_event): without one a
 *                               departure is not reported, as before
 * gp_set_status_event: while poll mode runs, a thread of the plug-in looks at
 * the schedule every 5 ms and sets the event when the next status call would
 * answer something new (a card found or gone, access enabled); it sets it
 * once per change.
 * Only cards whose card type bit is in gp_start_poll_mode's target_device are
 * found. When several cards are in the field, the first of the scenario is
 * served; the next one is found after the first is released
 * (gp_stop_device_access) or has left the field.
 * Additional data bytes 0-3 hold the card type, byte 4 the card type as well
 * (so a 424 kbit/s card gives id 0), byte 9 is 0.
 *
 * gp_stop_device_access stop_mode: 0 releases the target, which is not found
 * again until it has left the field and come back; 1 releases it and lets the
 * reader find it again at once. gp_deselect_device halts the accessed card
 * (it answers nothing) until gp_select_device wakes it up with nothing
 * selected.
 *
 * Commands (gp_read, the command packet exactly as sent to the card):
 *   Type 4 Tag: ISO 7816-4 short APDUs. SELECT by name of the NDEF
 *     application D2760000850101, SELECT by file identifier of the capability
 *     container E103 and of the NDEF file E104 (P2 00 or 0C), READ BINARY with
 *     offset and Le, UPDATE BINARY 00 D6 <offset> Lc <data>. The capability
 *     container (15 bytes) announces MLe 0080, MLc 0034, the NDEF file's
 *     size and write access FF (read only) or 00 (writable). UPDATE BINARY
 *     writes the NDEF file of a writable tag: 9000, or nothing written and
 *     6986 (no file selected), 6982 (the capability container, or any file of
 *     a read only tag), 6700 (Lc 0, above MLc, not matching the data, or
 *     running past the end of the file), 6A86 (short file identifier), 6B00
 *     (offset at or past the end of the file). Status
 *     words: 9000, 6282 (fewer bytes than Le), 6700, 6982, 6986, 6A82, 6A86,
 *     6B00, 6C80 (Le above MLe, 128), 6D00, 6E00. Every APDU gets an answer.
 *   Type 3 Tag: frames that begin with their length byte. Polling (0x00 ->
 *     0x01) and Read Without Encryption (0x06 -> 0x07) of the NDEF service
 *     0x000B: block 0 is the attribute information block, blocks 1.. the NDEF
 *     data; at most 4 blocks per command (Nbr). Attribute block: version 10,
 *     Nbr 4, Nbw 1 (read only) or 4 (writable), Nmaxb (the message's blocks,
 *     or ndef_size in blocks), WriteF 00, RWFlag 00 (read only) or 01
 *     (writable), Ln, checksum. Write Without Encryption (0x08 -> 0x09) of
 *     service 0x0009 to a writable card: at most Nbw blocks, block list
 *     elements of 2 or 3 bytes as in a read, then 16 data bytes per block;
 *     the blocks, block 0 included, are kept exactly as written (the tag does
 *     not check or fix the attribute block's checksum); status flags 00 00.
 *     Errors of the command give status flags FF and A1 (number of
 *     services), A2 (number of blocks), A3 (service code list order), A5
 *     (any write to a read only card), A6 (service code: 0x000B to read,
 *     0x0009 to write) or A8 (block number); a refused write writes nothing.
 *     A frame whose length byte is wrong, whose IDm is not the card's, that
 *     is cut short (a write: whose data is not 16 bytes per block), or whose
 *     command code is unknown gets no response (SIM_E_NO_RESPONSE).
 *   Type 2 Tag: the command without its CRC; the tag's 4-bit ACK and NAK
 *     come back as one byte, 0A and 00. Pages of 4 bytes:
 *       0-1       UID and check byte BCC0 (read only)
 *       2         BCC1, 00, static lock bytes LOCK0 LOCK1: bit p of
 *                 LOCK0 | LOCK1 << 8 locks page p (3..15); bits 0, 1, 2 freeze
 *                 the lock bit of page 3, of pages 4-9, of pages 10-15
 *       3         capability container E1 10 <size/8> <00 or 0F>
 *       4..       the data area: lock control TLV, memory control TLV, NDEF TLV
 *                 (03 len, or 03 FF len-hi len-lo from 255 bytes on), terminator
 *                 FE where it fits, then 00
 *       after it  one page of dynamic lock bytes (the lock control TLV says
 *                 where, how many bits and how many bytes each bit locks, from
 *                 page 16 on), then 4 reserved pages (the memory control TLV),
 *                 read as 00; 45, 135 or 231 pages in all
 *     Lock bits, and the capability container's bits, can only be set.
 *     30 pp              READ: 16 bytes from page pp, going on at page 0 after
 *                        the last page; NAK when pp is past the end
 *     3A ss ee           FAST_READ: pages ss..ee; NAK when ss > ee or ee is
 *                        past the end
 *     A2 pp d0 d1 d2 d3  WRITE: ACK, or NAK for pages 0-1, the reserved pages,
 *                        pages past the end and locked pages; on page 2 only
 *                        the lock bytes are taken
 *     A0 pp, then 16 bytes  COMPATIBILITY_WRITE: ACK (NAK past the end), then
 *                        the first 4 of the 16 bytes are written as by WRITE;
 *                        data of another length is answered with NAK
 *     60                 GET_VERSION: 00 <UID0> 04 02 01 00 <0F|11|13> 03 (the
 *                        storage size byte of 144, 504, 888)
 *     3C 00              READ_SIG: the 32 signature bytes; another address: NAK
 *     Other commands, and commands of the wrong length, get no response
 *     (SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_IGNORED).
 * No response is longer than SIM_MAXIMUM_RESPONSE_SIZE bytes: a FAST_READ of
 * more than 32 pages fails with SIM_E_NO_RESPONSE, SIM_NO_RESPONSE_OVERFLOW.
 */
#ifndef KORVAT_SIM_READER_H
#define KORVAT_SIM_READER_H

/* The category name looked up in category_name_list. */
#define SIM_CATEGORY_NAME "SIM"
/* Registry value naming the scenario file, and the file looked for beside the plug-in. */
#define SIM_SCENARIO_VALUE_NAME "sim_scenario_file"
#define SIM_SCENARIO_FILE_NAME "sim_reader.scenario"
/* Version reported by gp_get_version_number. */
#define SIM_VERSION_NUMBER 1000
/* Time-out before the first gp_set_timeout. */
#define SIM_DEFAULT_TIMEOUT 6000
/* Largest response of any command (a READ BINARY of MLe, 128 bytes, and its status word). */
#define SIM_MAXIMUM_RESPONSE_SIZE 130

/* ------------------------------------------------------------------ */
/* Error pairs written by the plug-in (error code, detail code).         */
/* The codes have the customer bit set, so that they never collide with */
/* the library's own 0x80C0xxxx codes.                                  */
/* ------------------------------------------------------------------ */
/* An argument is null or out of range; detail: its 1-based position. */
#define SIM_E_INVALID_ARGUMENT     0xE0530001u
/* "SIM" is not an item of category_name_list; detail: 0 list absent or empty, 1 not listed. */
#define SIM_E_CATEGORY_NOT_LISTED  0xE0530002u
/* The port name does not begin with "SIM"; detail 0. */
#define SIM_E_UNKNOWN_PORT         0xE0530003u
/* gp_open_port_and_transition_nfc_mode while the port is open; detail 0. */
#define SIM_E_PORT_ALREADY_OPEN    0xE0530004u
/* The operation needs the open port; detail 0. */
#define SIM_E_PORT_NOT_OPEN        0xE0530005u
/* The scenario cannot be used; detail: 0 file unreadable, otherwise the line in error. */
#define SIM_E_SCENARIO             0xE0530006u
/* gp_start_poll_mode while poll mode runs; detail 0. */
#define SIM_E_ALREADY_POLLING      0xE0530007u
/* The operation needs poll mode; detail 0. */
#define SIM_E_NOT_POLLING          0xE0530008u
/* No found target has this number (or it left the field); detail: the number asked for. */
#define SIM_E_NO_TARGET            0xE0530009u
/* The operation needs device access to a target (or it has already started); detail:
 * the accessed target number, 0 when none. */
#define SIM_E_NOT_ACCESSING        0xE053000Au
#define SIM_E_ALREADY_ACCESSING    0xE053000Bu
/* The card gave no response; detail: SIM_NO_RESPONSE_*. */
#define SIM_E_NO_RESPONSE          0xE053000Cu
#define SIM_NO_RESPONSE_LEFT_FIELD  1u  /* the card has left the field; access ends */
#define SIM_NO_RESPONSE_HALTED      2u  /* the card was deselected */
#define SIM_NO_RESPONSE_IGNORED     3u  /* the card ignored the frame */
#define SIM_NO_RESPONSE_OVERFLOW    4u  /* the answer is longer than the reader's frame */
/* The port's reader is not plugged in now (a "port" line of the scenario has it absent, or
 * the scenario has port lines and none for it); detail 0. */
#define SIM_E_NO_READER            0xE053000Du
/* Card error detail of a departure (DriverStatus bits 20-23). */
#define SIM_CARD_ERROR_LEFT_FIELD   1u

#endif /* KORVAT_SIM_READER_H */
