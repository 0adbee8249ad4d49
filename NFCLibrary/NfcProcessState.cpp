#include "NfcProcessState.h"

NfcProcessState::Phase NfcProcessState::s_Phase = NfcProcessState::Loaded;

void NfcProcessState::processDetach(void *reserved)
{
    s_Phase = reserved != nullptr ? ProcessExit : Unloading;
}

namespace {
typedef BOOLEAN(WINAPI *ShutdownInProgress)(void);
// Looked up once, when the DLL is loaded: a look-up takes the loader lock, which a stopper may
// hold while the notification thread asks this on its way out. A namespace-scope object (not a
// function-local static) also brings no guard lock of the runtime.
const ShutdownInProgress g_ShutdownInProgress = reinterpret_cast<ShutdownInProgress>(
    reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress")));
} // namespace

bool NfcProcessState::loaderIsShuttingDown()
{
    return g_ShutdownInProgress != nullptr && g_ShutdownInProgress() != FALSE;
}
