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

GuardedBuffer::WriteWatch::WriteWatch(GuardedBuffer &buffer)
{
    g_Overrun = false;
    g_FirstOverrun = 0;
    g_Watched = &buffer;
    m_Handler = AddVectoredExceptionHandler(1, handler);
}

GuardedBuffer::WriteWatch::~WriteWatch()
{
    if (m_Handler != nullptr) {
        RemoveVectoredExceptionHandler(m_Handler);
    }
    GuardedBuffer *buffer = g_Watched.exchange(nullptr);
    if (buffer != nullptr) {
        buffer->rearm();
    }
}

bool GuardedBuffer::WriteWatch::overrun(size_t &offset) const
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

LONG CALLBACK GuardedBuffer::WriteWatch::handler(EXCEPTION_POINTERS *exception)
{
    GuardedBuffer *buffer = g_Watched.load();
    const EXCEPTION_RECORD *record = exception->ExceptionRecord;
    if (buffer == nullptr || record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const uint8_t *address = reinterpret_cast<const uint8_t *>(record->ExceptionInformation[1]);
    if (address < buffer->m_Guard || address >= buffer->m_Guard + buffer->m_GuardSize) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (!g_Overrun.exchange(true)) {
        g_FirstOverrun = static_cast<size_t>(address - buffer->m_Data);
    }
    // Let the plug-in go on: its writes land in the region, which is made inaccessible again
    // when the watch ends.
    DWORD old;
    if (!VirtualProtect(buffer->m_Guard, buffer->m_GuardSize, PAGE_READWRITE, &old)) {
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
