#include "ForwardedLibrary.h"

#include <cstdio>

#include "SiblingLibrary.h"
#include "korvat_nfc_tags.h"

namespace {

struct Slot {
    const wchar_t *fileName;
    HMODULE module;
    uint32_t failure[2];
};

SRWLOCK g_Lock = SRWLOCK_INIT;

class ExclusiveLock {
public:
    ExclusiveLock() { AcquireSRWLockExclusive(&g_Lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&g_Lock); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
};

Slot g_Slots[] = {
    {L"korvat_nfc_library_for_vb.dll", nullptr, {0, 0}},
    {L"korvat_nfc_tags.dll", nullptr, {0, 0}},
};

// Under the lock: records and traces why `call` cannot reach its DLL.
FARPROC failLocked(Slot &slot, const char *call, DWORD windowsError, const char *why)
{
    slot.failure[0] = KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND;
    slot.failure[1] = windowsError;
    char line[320];
    std::snprintf(line, sizeof(line), "korvat_nfc_stdcall: %s failed: KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND (0x%08X), "
                  "detail 0x%08X: %ls %s\n", call, static_cast<unsigned>(KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND),
                  static_cast<unsigned>(windowsError), slot.fileName, why);
    OutputDebugStringA(line);
    return nullptr;
}

}  // namespace

FARPROC ForwardedLibrary::procedure(Which library, const char *name)
{
    Slot &slot = g_Slots[library];
    const ExclusiveLock lock;
    // A reference of our own, whether the application loaded the DLL or we do.
    if (slot.module == nullptr) {
        slot.module = referenceSiblingLibrary(slot.fileName);
        if (slot.module == nullptr) {
            return failLocked(slot, name, GetLastError(), "is neither loaded nor beside korvat_nfc_stdcall.dll");
        }
    }
    const FARPROC found = GetProcAddress(slot.module, name);
    return found != nullptr ? found : failLocked(slot, name, GetLastError(), "lacks this export");
}

void ForwardedLibrary::lastFailure(Which library, uint32_t *errorInfo)
{
    AcquireSRWLockShared(&g_Lock);
    errorInfo[0] = g_Slots[library].failure[0];
    errorInfo[1] = g_Slots[library].failure[1];
    ReleaseSRWLockShared(&g_Lock);
}
