#include "SiblingLibrary.h"

#include <string>

namespace {

// The directory of the DLL this code is linked into, with its trailing backslash; empty when it
// cannot be learnt.
std::wstring ownDirectory()
{
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ownDirectory), &self)) {
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
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

HMODULE referenceSiblingLibrary(const wchar_t *fileName, bool *loadedNow)
{
    if (loadedNow != nullptr) {
        *loadedNow = false;
    }
    HMODULE module = nullptr;
    if (GetModuleHandleExW(0, fileName, &module)) {
        return module;
    }
    const std::wstring directory = ownDirectory();
    if (directory.empty()) {
        return nullptr;
    }
    module = LoadLibraryExW((directory + fileName).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module != nullptr && loadedNow != nullptr) {
        *loadedNow = true;
    }
    return module;
}
