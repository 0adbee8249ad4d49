/*
 * korvat_nfc_plugin.h - interface between korvat_nfc_library_for_vb.dll and a
 * reader plug-in.
 *
 * A reader plug-in is a 32-bit DLL with the file extension ".gp", signed with
 * an Authenticode certificate whose signer is "Ravo Corporation", found below
 * the registry value plugins_home_directory. It exports the fourteen cdecl
 * entry points below under their plain names and serves one port category
 * (the 0-based position of its category name in category_name_list).
 *
 * Every entry point returns a one-byte boolean (nonzero = done). All but
 * gp_get_version_number take a pointer to an ErrorInfo as last argument: on
 * failure the plug-in writes its reason there (error code, detail code) and
 * the library hands both words to the application unchanged. The library
 * calls a plug-in from several threads but never from two at once.
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

/* Entry points, in the order the library binds them. */
typedef GP_BOOL (GP_CALL *gp_open_port_and_transition_nfc_mode_t)(const char *port_name, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_close_port_t)(ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_start_poll_mode_t)(uint32_t target_device, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_stop_poll_mode_t)(ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_start_device_access_t)(uint32_t target_number, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_stop_device_access_t)(uint32_t stop_mode, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_select_device_t)(ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_deselect_device_t)(ErrorInfo *error);
/* command_packet_data_length: only the low 16 bits carry the length.
 * No response capacity is passed; the response length goes to
 * *response_packet_data_length. */
typedef GP_BOOL (GP_CALL *gp_read_t)(const uint8_t *command_packet_data, uint32_t command_packet_data_length,
                                     uint8_t *response_packet_data, uint16_t *response_packet_data_length,
                                     ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_set_timeout_t)(int32_t timeout, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_get_timeout_t)(int32_t *timeout, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_get_version_number_t)(int32_t *version_number);
/* *AdditionalData receives the address of a block of *AdditionalDataSize
 * bytes owned by the plug-in; the library reads it before its next call. */
typedef GP_BOOL (GP_CALL *gp_get_driver_status_t)(uint32_t *DriverStatus, uint32_t *PollModeCardType,
                                                  uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize,
                                                  uint8_t **AdditionalData, ErrorInfo *error);
typedef GP_BOOL (GP_CALL *gp_get_plugin_information_t)(uint8_t *PortCategory, ErrorInfo *error);

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
