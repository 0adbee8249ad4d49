// What the reader plug-ins with a poll thread (PN532, PC/SC) do alike in gp_get_driver_status:
// the handing out of their status mailbox's report. Each keeps its own locks.
#pragma once

#include <cstdint>

#include "PluginArguments.h"
#include "Pn532StatusMailbox.h"
#include "korvat_nfc_plugin.h"

namespace korvat_plugin {

// The mailbox's next report into gp_get_driver_status's outputs (its additional data lives until
// the next call); the error pair is written only when the report carries one. Called under the
// plug-in's status lock, with the port open.
inline void handOutStatus(pn532::StatusMailbox &mailbox, uint32_t *driverStatus, uint32_t *pollModeCardType,
                          uint32_t *listenModeCardType, uint32_t *additionalDataSize, uint8_t **additionalData,
                          ErrorInfo *error)
{
    pn532::StatusReport &reported = mailbox.next();
    *driverStatus = reported.driverStatus;
    *pollModeCardType = reported.pollModeCardType;
    *listenModeCardType = 0;
    *additionalDataSize = static_cast<uint32_t>(reported.additionalData.size());
    *additionalData = reported.additionalData.empty() ? nullptr : reported.additionalData.data();
    if (reported.error.code != 0) {
        error->error_code = reported.error.code;
        error->detail_code = reported.error.detail;
    }
}

}  // namespace korvat_plugin
