// Memory that the plug-in checker hands to a plug-in, or copies a plug-in's data into, with an
// inaccessible region right after its end. Outside a watch any access past the end faults at
// once. While a Watch is armed both kinds are caught and told apart: a read past the end makes
// the region readable (it reads as zeros), a write past the end makes it writable, so the
// plug-in goes on, and the first offset of each kind is kept for the report.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

class GuardedBuffer {
public:
    // size: the usable bytes; the region after them holds any 16-bit length written past them.
    explicit GuardedBuffer(size_t size);
    ~GuardedBuffer();
    bool ready() const { return m_Data != nullptr; }
    uint8_t *data() const { return m_Data; }
    size_t size() const { return m_Size; }
    // Makes the region after the end inaccessible again (after a write past it was let through).
    void rearm();

    // Arms the catcher for one buffer while it lives (one at a time per process).
    class Watch {
    public:
        explicit Watch(GuardedBuffer &buffer);
        ~Watch();
        // True when something wrote past the end while armed; offset: the first such write,
        // counted from the start of the buffer.
        bool overrun(size_t &offset) const;
        // True when something read past the end while armed; offset: the first byte read there.
        bool overread(size_t &offset) const;
        // "reads past the end at offset 1", "writes past the end at offset 4096", both joined by
        // " and ", or "" when neither happened.
        std::string describe() const;

    private:
        static LONG CALLBACK handler(EXCEPTION_POINTERS *exception);
        PVOID m_Handler = nullptr;
    };

    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

private:
    uint8_t *m_Base = nullptr;
    uint8_t *m_Data = nullptr;
    uint8_t *m_Guard = nullptr;
    size_t m_GuardSize = 0;
    size_t m_Size = 0;
};

// True when every byte of [address, address + size) is committed memory that may be read, so
// that copying it cannot fault. An empty range is readable.
bool isReadableRange(const void *address, size_t size);
