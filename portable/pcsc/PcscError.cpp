#include "PcscError.h"

#include "PcscErrorCodes.h"

namespace pcsc {

Failure classifyScardCode(uint32_t scardCode)
{
    switch (scardCode) {
    case ScardWRemovedCard:
    case ScardWResetCard:
    case ScardWUnpoweredCard:
    case ScardWUnresponsiveCard:
    case ScardENoSmartcard:
        return Failure::CardRemoved;
    case ScardEReaderUnavailable:
    case ScardEUnknownReader:
    case ScardENoReadersAvailable:
    // A card handle becomes invalid when its reader is removed.
    case ScardEInvalidHandle:
        return Failure::ReaderGone;
    case ScardENoService:
    case ScardEServiceStopped:
        return Failure::ServiceGone;
    default:
        return Failure::CommandFailed;
    }
}

Error transmitError(uint32_t scardCode)
{
    Error error;
    error.detail = scardCode;
    switch (classifyScardCode(scardCode)) {
    case Failure::CardRemoved: error.code = PCSC_E_CARD_REMOVED; break;
    case Failure::ReaderGone: error.code = PCSC_E_READER_GONE; break;
    case Failure::ServiceGone: error.code = PCSC_E_SERVICE; break;
    case Failure::CommandFailed: error.code = PCSC_E_TRANSMIT; break;
    }
    return error;
}

}  // namespace pcsc
