#include "TagMainLibrary.h"

#include <string>

namespace {

const wchar_t MainLibraryName[] = L"korvat_nfc_library_for_vb.dll";

SRWLOCK g_Lock = SRWLOCK_INIT;
TagMainLibrary::Thru g_Thru = nullptr;
TagMainLibrary::GetLastError g_GetLastError = nullptr;

// The full name of the main DLL in this DLL's own directory.
std::wstring besideThisLibrary()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&besideThisLibrary), &self)) {
        return std::wstring();
    }
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + MainLibraryName;
}

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
        HMODULE module = nullptr;
        // A reference of our own, whether the application loaded the DLL or we do.
        if (!GetModuleHandleExW(0, MainLibraryName, &module)) {
            const std::wstring path = besideThisLibrary();
            module = path.empty() ? nullptr : LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        }
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
