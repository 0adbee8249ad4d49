/*
 * Pn532Limits.h - names and limits of the PN532 reader: the category and port name prefix, the
 * time-out range and the largest command and answer of an exchange. Plain C, so that the
 * plug-in's public header can include it.
 */
#ifndef KORVAT_PN532_LIMITS_H
#define KORVAT_PN532_LIMITS_H

/* The category name looked up in category_name_list, and the prefix of port names. */
#define PN532_CATEGORY_NAME "COM"
/* Time-out before the first gp_set_timeout, and its range (milliseconds). */
#define PN532_DEFAULT_TIMEOUT 6000
#define PN532_MINIMUM_TIMEOUT 1
#define PN532_MAXIMUM_TIMEOUT 60000
/* Largest command packet and largest answer of gp_read. */
#define PN532_MAXIMUM_COMMAND_SIZE 4096
#define PN532_MAXIMUM_RESPONSE_SIZE 4096

#endif /* KORVAT_PN532_LIMITS_H */
