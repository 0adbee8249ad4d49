// The two DLLs the stdcall companion forwards to, korvat_nfc_library_for_vb.dll and
// korvat_nfc_tags.dll, and who keeps each loaded:
//
// - A DLL the application has loaded itself (it is loaded when a call needs it and the companion
//   holds none of its own): the application. The companion takes a reference for the call only,
//   so the application's FreeLibrary unloads it as if the companion were not there.
// - A DLL that is not loaded when a call needs it: the companion loads it from its own directory
//   (a 32-bit VBA or VB6 host loads the companion alone, by its full name, from a directory off
//   its search path, so the companion cannot import the two DLLs statically) and holds it while
//   the companion itself is loaded: the library's state (initialised, a port open, the last
//   error) lives in the main DLL between the application's calls.
//
// When the companion is freed, its DllMain may not call FreeLibrary. It starts one thread per DLL
// it holds whose start routine is kernel32's FreeLibrary itself, with the DLL as the argument (no
// code of the companion runs there: its image is being unmapped), so each DLL goes back moments
// after the companion's unload and its own unload closes what the application left open. The
// thread handles, each with its thread id, are passed on in the process's environment variable
// KORVAT_NFC_STDCALL_RELEASE_<process id>: the companion loaded again waits for them (up to 30 s)
// before its first call takes a DLL, so that it finds a fresh one; an entry whose handle is not a
// handle of that very thread is none of ours and is left alone. At process exit nothing is
// handed back (the process ends).
//
// When a DLL or one of its exports cannot be found, the forwarding call fails, traces why (one
// line to the debugger, OutputDebugString) and keeps the pair (KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND,
// the Windows error) for that DLL, which its get_last_error wrapper then gives. A DLL that cannot
// be found is looked for again at the next call.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

class ForwardedLibrary {
public:
    enum Which { Nfc, Tags };

    // The pair the companion recorded for the DLL when it could not be used; (0, 0) before that.
    static void lastFailure(Which library, uint32_t *errorInfo);
    // From the companion's DllMain at its unload by FreeLibrary: hands the DLLs it holds to the
    // release threads described above. Does no loader work and waits for nothing.
    static void releaseAfterUnload();
};

// The export `name` of one DLL for the length of one forwarded call: null when it cannot be
// found (the failure recorded and traced). `cache` keeps the address once the companion holds
// the DLL itself, which it then does until its own unload.
class ForwardedCall {
public:
    ForwardedCall(ForwardedLibrary::Which library, const char *name, std::atomic<FARPROC> &cache);
    ~ForwardedCall();
    ForwardedCall(const ForwardedCall &) = delete;
    ForwardedCall &operator=(const ForwardedCall &) = delete;

    template <class Function>
    Function function() const
    {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(m_Procedure));
    }

private:
    HMODULE m_CallReference = nullptr;  // a reference for this call only, on a DLL the application loaded
    FARPROC m_Procedure = nullptr;
};
