// The two DLLs the stdcall companion forwards to, korvat_nfc_library_for_vb.dll and
// korvat_nfc_tags.dll, found at the first call that needs one: the copy already loaded in the
// process, or else the one beside korvat_nfc_stdcall.dll (a 32-bit VBA or VB6 host loads the
// companion by its full name from a directory that is not on its search path, so the companion
// must not rely on the loader finding its partners). A DLL that is found is held from then on;
// the reference is never given back (FreeLibrary is not allowed in DllMain, and nothing else
// ends the companion's use of it). A DLL that cannot be found is looked for again at the next call.
//
// When a DLL or one of its exports cannot be found, the forwarding call fails, traces why (one
// line to the debugger, OutputDebugString) and keeps the pair (KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND,
// the Windows error) for that DLL, which its get_last_error wrapper then gives.
#pragma once

#include <windows.h>

#include <cstdint>


class ForwardedLibrary {
public:
    enum Which { Nfc, Tags };

    // The export `name` of the DLL, or null (the failure recorded and traced).
    static FARPROC procedure(Which library, const char *name);
    // The pair the companion recorded for the DLL when it could not be used; (0, 0) before that.
    static void lastFailure(Which library, uint32_t *errorInfo);
};
