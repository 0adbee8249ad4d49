/*
 * pcsc_reader.h - the PC/SC reader plug-in (pcsc_reader.gp)
 */
#ifndef KORVAT_PCSC_READER_H
#define KORVAT_PCSC_READER_H

#include "PcscLimits.h"
#include "PcscErrorCodes.h"

#define PCSC_VERSION_NUMBER 1000

#endif /* KORVAT_PCSC_READER_H */
