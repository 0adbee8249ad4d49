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
 *   uri <URI>                  adds a URI record to the last card's NDEF message
 *   text <language> <text...>  adds a text record (UTF-8) to it
 *   empty                      adds the NDEF empty record to it (alone: D0 00 00)
 *   repeat <period ms>         the whole schedule repeats with this period
 * Cards of kinds A and B are NFC Forum Type 4 Tags, cards of kinds F and F424
 * Type 3 Tags; each holds the NDEF message of its uri/text/empty lines (read
 * only, at most 1024 bytes). A card without such lines is initialised but
 * holds no NDEF message (NLEN 0 / Ln 0).
 *
 * What the reader reports through gp_get_driver_status, while poll mode runs:
 *   no target in the field      state 1, no other bit
 *   a target was found          state 2 | bit 6, PollModeCardType and the
 *                               additional data of the card; reported once
 *                               per arrival, with a new target_number
 *   found, access not started   state 2 | bit 9 (waiting for access)
 *   access started              state 2 | bit 8 (access enabled), after
 *                               gp_start_device_access(target_number)
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
 *     offset and Le, UPDATE BINARY (refused: the tag is read only). Status
 *     words: 9000, 6282 (fewer bytes than Le), 6700, 6982, 6986, 6A82, 6A86,
 *     6B00, 6C80 (Le above MLe, 128), 6D00, 6E00. Every APDU gets an answer.
 *   Type 3 Tag: frames that begin with their length byte. Polling (0x00 ->
 *     0x01) and Read Without Encryption (0x06 -> 0x07) of the NDEF service
 *     0x000B: block 0 is the attribute information block, blocks 1.. the NDEF
 *     data; at most 4 blocks per command. Errors of the command give status
 *     flags FF and A1 (number of services), A2 (number of blocks), A3 (service
 *     code list order), A6 (service code) or A8 (block number). A frame whose length byte is wrong, whose
 *     IDm is not the card's, that is cut short, or whose command code is
 *     unknown gets no response (SIM_E_NO_RESPONSE).
 * No response is longer than SIM_MAXIMUM_RESPONSE_SIZE bytes.
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

#endif /* KORVAT_SIM_READER_H */
