// The two exports of korvat_nfc_library_for_vb.dll that the tag library uses, found at the first
// tag call: the DLL already loaded in the process (an application that linked or loaded it), or
// else the one beside korvat_nfc_tags.dll. The tag library holds a reference on it from then on,
// so that the functions it keeps stay valid; the reference is never given back (a FreeLibrary in
// DllMain is not allowed, and the main DLL keeps nothing alive that needs its unload).
#pragma once

#include <windows.h>

#include <cstdint>

#include "korvat_nfc.h"

class TagMainLibrary {
public:
    using Thru = KORVAT_NFC_BOOL(__cdecl *)(const uint8_t *, uint16_t, uint8_t *, uint16_t *);
    using GetLastError = KORVAT_NFC_BOOL(__cdecl *)(uint32_t *);

    // True once both functions are bound; false (and the attempt is made again next time) when
    // the DLL cannot be found or lacks them.
    static bool bind(Thru &thru, GetLastError &getLastError);
};
