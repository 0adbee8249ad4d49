// The error pair the PC/SC reader core reports, and the pair for a failed SCardTransmit (or any
// other resource-manager call) by its SCARD_ code.
#pragma once

#include <cstdint>

#include "ReaderError.h"

namespace pcsc {

// (error code, detail code) as the plug-in reports it; code 0: no error. The readers' pair.
using Error = reader::Error;
using reader::fail;

// SCARD_ codes the core tells apart (the values of the Windows and pcsc-lite headers, which
// portable code does not include).
const uint32_t ScardWRemovedCard = 0x80100069u;
const uint32_t ScardWResetCard = 0x80100068u;
const uint32_t ScardWUnpoweredCard = 0x80100067u;
const uint32_t ScardWUnresponsiveCard = 0x80100066u;
const uint32_t ScardENoSmartcard = 0x8010000Cu;
const uint32_t ScardEReaderUnavailable = 0x80100017u;
const uint32_t ScardEUnknownReader = 0x80100009u;
const uint32_t ScardENoReadersAvailable = 0x8010002Eu;
const uint32_t ScardEInvalidHandle = 0x80100003u;
const uint32_t ScardENoService = 0x8010001Du;
const uint32_t ScardEServiceStopped = 0x8010001Eu;

// What a failed call means for the port: the card left (card error state), the reader left
// or the service stopped (device error state: open again), or the command failed alone.
enum class Failure { CardRemoved, ReaderGone, ServiceGone, CommandFailed };

Failure classifyScardCode(uint32_t scardCode);
// The pair for a failed transmit: PCSC_E_CARD_REMOVED, PCSC_E_READER_GONE, PCSC_E_SERVICE or
// PCSC_E_TRANSMIT, with the SCARD_ code as detail.
Error transmitError(uint32_t scardCode);

}  // namespace pcsc
