/*
 * PcscLimits.h - names and limits of the PC/SC reader: the category and port name prefix, the
 * registry value of its reader filter, the time-out range and the largest command and answer of
 * an exchange. Plain C, so that the plug-in's public header can include it.
 */
#ifndef KORVAT_PCSC_LIMITS_H
#define KORVAT_PCSC_LIMITS_H

/* The category name looked up in category_name_list, and the prefix of port names (PCSC0 to
 * PCSC9). */
#define PCSC_CATEGORY_NAME "PCSC"
/* Optional string value in the library's key: only readers whose name contains it (letter case
 * counts) are numbered as ports. Absent or empty: every reader. */
#define PCSC_READER_FILTER_VALUE "pcsc_reader_filter"
/* Time-out before the first gp_set_timeout, and its range (milliseconds). */
#define PCSC_DEFAULT_TIMEOUT 3000
#define PCSC_MINIMUM_TIMEOUT 1
#define PCSC_MAXIMUM_TIMEOUT 60000
/* Largest command packet and largest answer of gp_read. */
#define PCSC_MAXIMUM_COMMAND_SIZE 4096
#define PCSC_MAXIMUM_RESPONSE_SIZE 4096

#endif /* KORVAT_PCSC_LIMITS_H */
