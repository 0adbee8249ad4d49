#include "TagMainLibrary.h"

#include "SiblingLibrary.h"

namespace {

const wchar_t MainLibraryName[] = L"korvat_nfc_library_for_vb.dll";

SRWLOCK g_Lock = SRWLOCK_INIT;
TagMainLibrary::Thru g_Thru = nullptr;
TagMainLibrary::GetLastError g_GetLastError = nullptr;

template <class Function>
Function procedure(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

}  // namespace

bool TagMainLibrary::bind(Thru &thru, GetLastError &getLastError)
{
    AcquireSRWLockExclusive(&g_Lock);
    if (g_Thru == nullptr) {
        HMODULE module = referenceSiblingLibrary(MainLibraryName);
        if (module != nullptr) {
            const Thru foundThru = procedure<Thru>(module, "korvatlib_nfc_thru");
            const GetLastError foundGetLastError = procedure<GetLastError>(module, "korvatlib_nfc_get_last_error");
            if (foundThru != nullptr && foundGetLastError != nullptr) {
                g_Thru = foundThru;
                g_GetLastError = foundGetLastError;
            } else {
                FreeLibrary(module);
            }
        }
    }
    thru = g_Thru;
    getLastError = g_GetLastError;
    ReleaseSRWLockExclusive(&g_Lock);
    return thru != nullptr;
}
