// korvat_nfc_library_for_vb.dll held for one tag call, with the two exports the tag library uses.
// The reference is taken when the call begins and given back when it ends, so that the main DLL
// stays loaded exactly as long as the application keeps it (its state, initialised or with a port
// open, lives in it): the application's FreeLibrary unloads it, and the next load is a fresh one.
//
// The main DLL is the one loaded in the process already (the application's), or else the one
// beside korvat_nfc_tags.dll, loaded for the call only: a library that nobody initialised, so a
// tag call then fails with the main library's pair (KORVAT_NFC_E_PORT_NOT_OPEN).
#pragma once

#include <windows.h>

#include <cstdint>

#include "korvat_nfc.h"

class TagMainLibrary {
public:
    using Thru = KORVAT_NFC_BOOL(__cdecl *)(const uint8_t *, uint16_t, uint8_t *, uint16_t *);
    using GetLastError = KORVAT_NFC_BOOL(__cdecl *)(uint32_t *);

    // Takes the reference and binds both functions; bound() says whether that worked.
    TagMainLibrary();
    // Gives the reference back (never runs in DllMain: a tag call is an export's body).
    ~TagMainLibrary();
    TagMainLibrary(const TagMainLibrary &) = delete;
    TagMainLibrary &operator=(const TagMainLibrary &) = delete;

    // True when the DLL was found and has both exports; the functions stay valid while this lives.
    bool bound() const { return m_Thru != nullptr; }
    Thru thru() const { return m_Thru; }
    GetLastError getLastError() const { return m_GetLastError; }

private:
    HMODULE m_Module = nullptr;
    Thru m_Thru = nullptr;
    GetLastError m_GetLastError = nullptr;
};
