// The notification thread's call of gp_get_driver_status, made so that an unload can give it up.
//
// At FreeLibrary the unloading thread holds the loader lock and needs the library lock, which
// the notification thread holds for its whole cycle. A plug-in whose status call waits for the
// loader lock (it loads a DLL, or blocks on something that does) would hang both for ever. So
// the unloading thread waits for the library lock only with a bound, and when the bound has run
// out while the thread is inside the status call, it abandons that call instead of waiting:
//   - the call runs through a few bytes of code copied outside this DLL's image (a page of their
//     own), which is the plug-in's direct caller, and the plug-in writes its outputs into a page
//     outside the image too;
//   - when the plug-in returns from an abandoned call, that code ends the thread at once
//     (ExitThread): the thread never comes back into this DLL's unmapped code, and no return
//     address into the image is used again;
//   - the unloading thread neither calls nor frees the plug-in (its code is on the thread's
//     stack), and the two pages stay allocated.
// Pinning this DLL from its own DLL_PROCESS_DETACH is not an answer: the loader has decided the
// unload by then and does not keep the image for it.
#pragma once

#include <windows.h>

#include <cstdint>

#include "korvat_nfc_plugin.h"

class NfcStatusCall {
public:
    // Allocates the pages once per load of the DLL; false when they cannot be had (call then
    // calls the plug-in directly).
    static bool prepare();
    // Gives the pages back, unless a call was abandoned (its thread may still use them).
    static void release();

    // Calls entry with outputs in the pages and copies them to the caller's variables once it
    // has returned; error is copied in before the call and back after it.
    static bool call(gp_get_driver_status_t entry, uint32_t *DriverStatus, uint32_t *PollModeCardType,
                     uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize, uint8_t **AdditionalData,
                     ErrorInfo *error);

    // Unloading thread: if the notification thread is inside the plug-in's status call now,
    // marks the call abandoned (the thread ends when the plug-in returns) and returns true;
    // false when no call is in progress.
    static bool abandonCallInProgress();
};
