// A critical section and its scoped hold, for the plug-ins' locks.
#pragma once

#include <windows.h>

namespace korvat_plugin {

class Section {
public:
    Section() { InitializeCriticalSection(&m_Section); }
    ~Section() { DeleteCriticalSection(&m_Section); }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;
    void enter() { EnterCriticalSection(&m_Section); }
    bool tryEnter() { return TryEnterCriticalSection(&m_Section) != 0; }
    void leave() { LeaveCriticalSection(&m_Section); }
    // Enters within a bound (polling every millisecond): for an entry point that may run under
    // the loader lock while a thread of the plug-in holds the section. False when it runs out.
    bool enterWithin(DWORD boundMs)
    {
        const DWORD begun = GetTickCount();
        while (!tryEnter()) {
            if (GetTickCount() - begun >= boundMs) {
                return false;
            }
            Sleep(1);
        }
        return true;
    }

private:
    CRITICAL_SECTION m_Section;
};

class Hold {
public:
    explicit Hold(Section &section) : m_Section(section) { m_Section.enter(); }
    ~Hold() { m_Section.leave(); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    Section &m_Section;
};

}  // namespace korvat_plugin
