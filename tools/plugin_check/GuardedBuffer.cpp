#include "GuardedBuffer.h"

#include <atomic>

namespace {

size_t pageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

size_t roundUp(size_t value, size_t unit)
{
    return (value + unit - 1) / unit * unit;
}

// The one armed buffer and what the handler saw.
std::atomic<GuardedBuffer *> g_Watched{nullptr};
std::atomic<bool> g_Overrun{false};
std::atomic<size_t> g_FirstOverrun{0};
std::atomic<bool> g_Overread{false};
std::atomic<size_t> g_FirstOverread{0};

// ExceptionInformation[0] of an access violation: what the faulting instruction tried.
const ULONG_PTR AccessRead = 0;
const ULONG_PTR AccessWrite = 1;

} // namespace

GuardedBuffer::GuardedBuffer(size_t size) : m_Size(size)
{
    const size_t page = pageSize();
    // Room for anything a 16-bit length can reach past the end.
    m_GuardSize = roundUp(0x10000, page);
    const size_t dataPages = roundUp(size == 0 ? 1 : size, page);
    m_Base = static_cast<uint8_t *>(
        VirtualAlloc(nullptr, dataPages + m_GuardSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (m_Base == nullptr) {
        return;
    }
    m_Guard = m_Base + dataPages;
    DWORD old;
    if (!VirtualProtect(m_Guard, m_GuardSize, PAGE_NOACCESS, &old)) {
        VirtualFree(m_Base, 0, MEM_RELEASE);
        m_Base = nullptr;
        return;
    }
    m_Data = m_Guard - size;
}

GuardedBuffer::~GuardedBuffer()
{
    if (m_Base != nullptr) {
        VirtualFree(m_Base, 0, MEM_RELEASE);
    }
}

void GuardedBuffer::rearm()
{
    DWORD old;
    if (m_Guard != nullptr) {
        VirtualProtect(m_Guard, m_GuardSize, PAGE_NOACCESS, &old);
    }
}

GuardedBuffer::Watch::Watch(GuardedBuffer &buffer)
{
    g_Overrun = false;
    g_FirstOverrun = 0;
    g_Overread = false;
    g_FirstOverread = 0;
    g_Watched = &buffer;
    m_Handler = AddVectoredExceptionHandler(1, handler);
}

GuardedBuffer::Watch::~Watch()
{
    if (m_Handler != nullptr) {
        RemoveVectoredExceptionHandler(m_Handler);
    }
    GuardedBuffer *buffer = g_Watched.exchange(nullptr);
    if (buffer != nullptr) {
        buffer->rearm();
    }
}

bool GuardedBuffer::Watch::overrun(size_t &offset) const
{
    if (!g_Overrun) {
        return false;
    }
    // The faulting write need not be the lowest one (a copy may run backwards); the region was
    // all zero, so the lowest changed byte tells where the writes past the end began.
    offset = g_FirstOverrun;
    GuardedBuffer *buffer = g_Watched.load();
    if (buffer != nullptr) {
        const size_t end = static_cast<size_t>(buffer->m_Guard - buffer->m_Data);
        for (size_t i = 0; i < buffer->m_GuardSize && end + i < offset; ++i) {
            if (buffer->m_Guard[i] != 0) {
                offset = end + i;
                break;
            }
        }
    }
    return true;
}

bool GuardedBuffer::Watch::overread(size_t &offset) const
{
    if (!g_Overread) {
        return false;
    }
    offset = g_FirstOverread;
    return true;
}

std::string GuardedBuffer::Watch::describe() const
{
    std::string text;
    size_t offset = 0;
    if (overread(offset)) {
        text = "reads past the end at offset " + std::to_string(offset);
    }
    if (overrun(offset)) {
        text += (text.empty() ? "" : " and ") + std::string("writes past the end at offset ") + std::to_string(offset);
    }
    return text;
}

LONG CALLBACK GuardedBuffer::Watch::handler(EXCEPTION_POINTERS *exception)
{
    GuardedBuffer *buffer = g_Watched.load();
    const EXCEPTION_RECORD *record = exception->ExceptionRecord;
    if (buffer == nullptr || record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const ULONG_PTR access = record->ExceptionInformation[0];
    const uint8_t *address = reinterpret_cast<const uint8_t *>(record->ExceptionInformation[1]);
    if ((access != AccessRead && access != AccessWrite) || address < buffer->m_Guard ||
        address >= buffer->m_Guard + buffer->m_GuardSize) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const size_t offset = static_cast<size_t>(address - buffer->m_Data);
    DWORD protection = PAGE_READWRITE;
    if (access == AccessWrite) {
        if (!g_Overrun.exchange(true)) {
            g_FirstOverrun = offset;
        }
    } else {
        if (!g_Overread.exchange(true)) {
            g_FirstOverread = offset;
        }
        // Reads go on (zeros); a later write past the end still faults and is told apart.
        if (!g_Overrun) {
            protection = PAGE_READONLY;
        }
    }
    // Let the plug-in go on; the region is made inaccessible again when the watch ends.
    DWORD old;
    if (!VirtualProtect(buffer->m_Guard, buffer->m_GuardSize, protection, &old)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool isReadableRange(const void *address, size_t size)
{
    if (size == 0) {
        return true;
    }
    if (address == nullptr) {
        return false;
    }
    const uint8_t *position = static_cast<const uint8_t *>(address);
    const uint8_t *end = position + size;
    if (end < position) {
        return false;
    }
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    while (position < end) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(position, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT ||
            (region.Protect & readable) == 0 || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) {
            return false;
        }
        position = static_cast<const uint8_t *>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}
