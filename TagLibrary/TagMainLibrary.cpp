#include "TagMainLibrary.h"

#include "SiblingLibrary.h"

namespace {

template <class Function>
Function procedure(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

}  // namespace

TagMainLibrary::TagMainLibrary() : m_Module(referenceSiblingLibrary(L"korvat_nfc_library_for_vb.dll"))
{
    if (m_Module == nullptr) {
        return;
    }
    const Thru thru = procedure<Thru>(m_Module, "korvatlib_nfc_thru");
    const GetLastError getLastError = procedure<GetLastError>(m_Module, "korvatlib_nfc_get_last_error");
    if (thru != nullptr && getLastError != nullptr) {
        m_Thru = thru;
        m_GetLastError = getLastError;
    }
}

TagMainLibrary::~TagMainLibrary()
{
    if (m_Module != nullptr) {
        FreeLibrary(m_Module);
    }
}
