#include "NfcMessageRecords.h"

#include <windows.h>

#include <cstdio>

#include "NfcLogProxy.h"
#include "NfcRecordRing.h"

static const char NFC_SOURCE_FILE[] = "..\\..\\NFCLibrary\\NfcMessageRecords.cpp";

uint8_t *NfcMessageRecords::s_Ring = nullptr;

namespace {

// True when `kept` is a view of the same section as `fresh`: a mark written through the fresh
// view shows through the kept one.
bool sameSection(uint8_t *fresh, uint8_t *kept)
{
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(kept, &region, sizeof(region)) != sizeof(region) || region.State != MEM_COMMIT ||
        region.Type != MEM_MAPPED || region.AllocationBase != kept || region.Protect != PAGE_READWRITE ||
        region.RegionSize < NfcRecordRing::BlockSize) {
        return false;
    }
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const uint64_t mark = static_cast<uint64_t>(counter.QuadPart) ^ reinterpret_cast<uintptr_t>(fresh);
    NfcRecordRing::writeWord(fresh, NfcRecordRing::CheckOffset, mark);
    return NfcRecordRing::readWord(kept, NfcRecordRing::CheckOffset) == mark;
}

} // namespace

uint8_t *NfcMessageRecords::findOrCreate()
{
    const DWORD process = GetCurrentProcessId();
    char name[64];
    std::snprintf(name, sizeof(name), "Local\\korvat_nfc_message_records.%lu", static_cast<unsigned long>(process));
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(NfcRecordRing::BlockSize), name);
    if (section == nullptr) {
        NFC_LOG(0, "ERROR! : CreateFileMapping(%s) failed (%lu).\n", name, GetLastError());
        return nullptr;
    }
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    uint8_t *view = static_cast<uint8_t *>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, NfcRecordRing::BlockSize));
    if (view == nullptr) {
        NFC_LOG(0, "ERROR! : MapViewOfFile(%s) failed (%lu).\n", name, GetLastError());
        CloseHandle(section);
        return nullptr;
    }
    if (existed && NfcRecordRing::isRing(view, process)) {
        uint8_t *kept = reinterpret_cast<uint8_t *>(
            static_cast<uintptr_t>(NfcRecordRing::readWord(view, NfcRecordRing::HomeOffset)));
        if (sameSection(view, kept)) {
            // An earlier load's block: this load's view and handle go back at once.
            UnmapViewOfFile(view);
            CloseHandle(section);
            return kept;
        }
        NFC_LOG(0, "WARNING! : %s does not show the kept records; it is taken up afresh.\n", name);
    }
    // The first load of this process: the view and the handle are kept for the process's life.
    NfcRecordRing::format(view, process);
    NfcRecordRing::writeWord(view, NfcRecordRing::HomeOffset, reinterpret_cast<uintptr_t>(view));
    return view;
}

bool NfcMessageRecords::prepare()
{
    if (s_Ring == nullptr) {
        s_Ring = findOrCreate();
    }
    return s_Ring != nullptr;
}

uint8_t *NfcMessageRecords::claim(size_t size)
{
    uint8_t *slot = s_Ring != nullptr ? NfcRecordRing::claim(s_Ring, size) : nullptr;
    if (slot == nullptr) {
        NFC_LOG(0, "ERROR! : No record slot for %lu bytes.\n", static_cast<unsigned long>(size));
    }
    return slot;
}
