// What the statically linked C++ and threads runtime of a plug-in would leave behind in its host
// at every load and unload, and how the plug-in gives it back. The library loads every plug-in
// at each korvatlib_nfc_initialize (also the ones it then refuses) and frees it at
// korvatlib_nfc_uninitialize, so anything kept per load grows with every reader lifetime.
//
//   - pthread_once and, on x86, the unwinder's lock: shared/RuntimeOnce.cpp, linked in with
//     -Wl,--wrap (no thread record, the lock destroyed at unload).
//   - The C++ runtime's pool for exceptions thrown under memory pressure is never given back on
//     its own: it is released when the module is freed (FreeLibrary, not process exit).
//   - A record that the unloading thread still got from the threads runtime is released as the
//     thread's own end would release it: the module's TLS callbacks with DLL_THREAD_DETACH.
//
// The skeleton's objects live at namespace scope and the poll thread runs on Windows calls
// alone, so no other thread of the plug-in needs a record.
#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;
extern "C" const IMAGE_TLS_DIRECTORY _tls_used;

namespace __gnu_cxx {
void __freeres();
}

namespace {

// Set by DllMain when the module is being freed (and not the process ending: then every other
// thread is gone already and nothing is given back).
bool g_Unloading = false;

// Built before every other global object of the plug-in, so destroyed after all of them:
// whatever their destructors do with the runtime happens before it is given back.
struct RuntimeRelease {
    ~RuntimeRelease()
    {
        if (!g_Unloading) {
            return;
        }
        __gnu_cxx::__freeres();
        const PIMAGE_TLS_CALLBACK *callback =
            reinterpret_cast<const PIMAGE_TLS_CALLBACK *>(_tls_used.AddressOfCallBacks);
        for (; callback != nullptr && *callback != nullptr; ++callback) {
            (*callback)(reinterpret_cast<HINSTANCE>(&__ImageBase), DLL_THREAD_DETACH, nullptr);
        }
    }
};
__attribute__((init_priority(101))) RuntimeRelease g_RuntimeRelease;

}  // namespace

// Runs before the runtime's own detach work (global objects' destructors), after its attach.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH) {
        g_Unloading = reserved == nullptr;
    }
    return TRUE;
}
