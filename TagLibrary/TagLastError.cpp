#include "TagLastError.h"

#include <windows.h>

#include <cstdio>

#include "NfcErrorCodes.h"

namespace {

SRWLOCK g_Lock = SRWLOCK_INIT;
uint32_t g_Code = 0;
uint32_t g_Detail = 0;

}  // namespace

bool TagLastError::fail(const char *call, uint32_t code, uint32_t detail, const std::string &why)
{
    AcquireSRWLockExclusive(&g_Lock);
    g_Code = code;
    g_Detail = detail;
    ReleaseSRWLockExclusive(&g_Lock);
    const NfcErrorCode *known = NfcErrorCodes::find(code);
    char head[160];
    std::snprintf(head, sizeof(head), "korvat_nfc_tags: %s failed: %s (0x%08X), detail 0x%08X: ", call,
                  known != nullptr ? known->name : "error of the reader's plug-in", static_cast<unsigned>(code),
                  static_cast<unsigned>(detail));
    OutputDebugStringA((head + why + "\n").c_str());
    return false;
}

void TagLastError::get(uint32_t &code, uint32_t &detail)
{
    AcquireSRWLockShared(&g_Lock);
    code = g_Code;
    detail = g_Detail;
    ReleaseSRWLockShared(&g_Lock);
}
