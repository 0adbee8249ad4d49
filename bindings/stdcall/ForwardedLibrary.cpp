#include "ForwardedLibrary.h"

#include <cstdio>

#include "SiblingLibrary.h"
#include "korvat_nfc_tags.h"

namespace {

struct Slot {
    const wchar_t *fileName;
    HMODULE held;  // loaded by the companion and held until its unload; null while it holds none
    uint32_t failure[2];
};

SRWLOCK g_Lock = SRWLOCK_INIT;

class ExclusiveLock {
public:
    ExclusiveLock() { AcquireSRWLockExclusive(&g_Lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&g_Lock); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
};

Slot g_Slots[] = {
    {L"korvat_nfc_library_for_vb.dll", nullptr, {0, 0}},
    {L"korvat_nfc_tags.dll", nullptr, {0, 0}},
};
bool g_ReleasesAwaited = false;  // under the lock

const DWORD ReleaseWaitMs = 30000;

void trace(const char *line)
{
    OutputDebugStringA(line);
}

// The environment variable through which an unloading companion passes its release threads to
// the next one: named for this process, so that a child process that inherits it ignores it.
void releaseVariableName(wchar_t (&name)[64])
{
    const wchar_t prefix[] = L"KORVAT_NFC_STDCALL_RELEASE_";
    size_t used = 0;
    for (; prefix[used] != L'\0'; ++used) {
        name[used] = prefix[used];
    }
    wchar_t digits[10];
    size_t count = 0;
    for (DWORD rest = GetCurrentProcessId(); count == 0 || rest != 0; rest /= 10) {
        digits[count++] = static_cast<wchar_t>(L'0' + rest % 10);
    }
    while (count != 0) {
        name[used++] = digits[--count];
    }
    name[used] = L'\0';
}

// The release threads in the variable: each as its handle and its thread id in hexadecimal,
// "handle:id;". The id guards against a value this companion did not write (a variable inherited
// from a parent whose process id this process now has, or set by other code): only a handle that
// is a thread handle of exactly that thread is waited for and closed, never someone else's handle.
const size_t ValueCapacity = 256;

bool appendHex(wchar_t (&value)[ValueCapacity], size_t &used, uintptr_t number, wchar_t separator)
{
    wchar_t digits[2 * sizeof(uintptr_t)];
    size_t count = 0;
    for (uintptr_t rest = number; count == 0 || rest != 0; rest >>= 4) {
        digits[count++] = L"0123456789abcdef"[rest & 0xF];
    }
    if (used + count + 2 > ValueCapacity) {
        return false;
    }
    while (count != 0) {
        value[used++] = digits[--count];
    }
    value[used++] = separator;
    value[used] = L'\0';
    return true;
}

bool appendThread(wchar_t (&value)[ValueCapacity], size_t &used, HANDLE thread, DWORD id)
{
    const size_t before = used;
    if (appendHex(value, used, reinterpret_cast<uintptr_t>(thread), L':') && appendHex(value, used, id, L';')) {
        return true;
    }
    used = before;
    value[used] = L'\0';
    return false;
}

// One hexadecimal number of at most maximumDigits digits, ended by `end`, from text[at]; at
// moves past the end character. False when the text is not such a number.
bool readHex(const wchar_t *text, size_t length, size_t &at, wchar_t end, size_t maximumDigits, uintptr_t &number)
{
    number = 0;
    size_t digits = 0;
    for (; at < length && text[at] != end; ++at, ++digits) {
        const wchar_t c = text[at];
        const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
        if (digit < 0 || digits == maximumDigits) {
            return false;
        }
        number = number * 16 + static_cast<uintptr_t>(digit);
    }
    if (at == length || digits == 0) {
        return false;
    }
    ++at;
    return true;
}

// Under the lock, before this companion first takes a DLL: waits for the release threads of a
// companion freed before it, so that a DLL that one held is gone before this one looks for it.
void awaitEarlierReleasesLocked()
{
    if (g_ReleasesAwaited) {
        return;
    }
    g_ReleasesAwaited = true;
    wchar_t name[64];
    releaseVariableName(name);
    wchar_t value[ValueCapacity];
    const DWORD length = GetEnvironmentVariableW(name, value, ValueCapacity);
    if (length == 0 || length >= ValueCapacity) {
        return;
    }
    SetEnvironmentVariableW(name, nullptr);
    for (size_t at = 0; at < length;) {
        const size_t entry = at;
        uintptr_t handle = 0, id = 0;
        const bool read = readHex(value, length, at, L':', 2 * sizeof(uintptr_t), handle) &&
                          readHex(value, length, at, L';', 8, id);
        const HANDLE thread = reinterpret_cast<HANDLE>(handle);
        if (!read || id == 0 || GetThreadId(thread) != static_cast<DWORD>(id)) {
            trace("korvat_nfc_stdcall: an entry of the release variable names no release thread of a companion; "
                  "left alone\n");
            if (!read) {
                // Resynchronise on the next entry.
                for (at = entry; at < length && value[at] != L';'; ++at) {
                }
                ++at;
            }
            continue;
        }
        if (WaitForSingleObject(thread, ReleaseWaitMs) != WAIT_OBJECT_0) {
            char line[160];
            std::snprintf(line, sizeof(line), "korvat_nfc_stdcall: the release of a DLL held by the companion loaded "
                          "before has not ended within %lu ms; going on\n", static_cast<unsigned long>(ReleaseWaitMs));
            trace(line);
        }
        CloseHandle(thread);
    }
}

// Under the lock: records and traces why `call` cannot reach its DLL.
FARPROC failLocked(Slot &slot, const char *call, DWORD windowsError, const char *why)
{
    slot.failure[0] = KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND;
    slot.failure[1] = windowsError;
    char line[320];
    std::snprintf(line, sizeof(line), "korvat_nfc_stdcall: %s failed: KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND (0x%08X), "
                  "detail 0x%08X: %ls %s\n", call, static_cast<unsigned>(KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND),
                  static_cast<unsigned>(windowsError), slot.fileName, why);
    trace(line);
    return nullptr;
}

}  // namespace

ForwardedCall::ForwardedCall(ForwardedLibrary::Which library, const char *name, std::atomic<FARPROC> &cache)
    : m_Procedure(cache.load(std::memory_order_acquire))
{
    if (m_Procedure != nullptr) {
        return;  // a DLL the companion holds: the address stays valid until the companion's unload
    }
    Slot &slot = g_Slots[library];
    const ExclusiveLock lock;
    HMODULE module = slot.held;
    if (module == nullptr) {
        awaitEarlierReleasesLocked();
        bool loadedNow = false;
        module = referenceSiblingLibrary(slot.fileName, &loadedNow);
        if (module == nullptr) {
            failLocked(slot, name, GetLastError(), "is neither loaded nor beside korvat_nfc_stdcall.dll");
            return;
        }
        if (loadedNow) {
            slot.held = module;
        } else {
            m_CallReference = module;
        }
    }
    m_Procedure = GetProcAddress(module, name);
    if (m_Procedure == nullptr) {
        failLocked(slot, name, GetLastError(), "lacks this export");
    } else if (module == slot.held) {
        cache.store(m_Procedure, std::memory_order_release);
    }
}

ForwardedCall::~ForwardedCall()
{
    if (m_CallReference != nullptr) {
        FreeLibrary(m_CallReference);
    }
}

void ForwardedLibrary::lastFailure(Which library, uint32_t *errorInfo)
{
    AcquireSRWLockShared(&g_Lock);
    errorInfo[0] = g_Slots[library].failure[0];
    errorInfo[1] = g_Slots[library].failure[1];
    ReleaseSRWLockShared(&g_Lock);
}

void ForwardedLibrary::releaseAfterUnload()
{
    // No lock: a thread that held it could be waiting for the loader lock this thread holds. The
    // application frees the companion when none of its calls runs (their code is unmapped next).
    wchar_t name[64];
    releaseVariableName(name);
    wchar_t value[ValueCapacity] = L"";
    const DWORD length = GetEnvironmentVariableW(name, value, ValueCapacity);
    size_t used = length < ValueCapacity ? length : 0;
    value[used] = L'\0';
    const auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)(void)>(&FreeLibrary));
    HANDLE started[sizeof(g_Slots) / sizeof(g_Slots[0])];
    size_t startedCount = 0;
    for (Slot &slot : g_Slots) {
        if (slot.held == nullptr) {
            continue;
        }
        // Started now, it runs once this unload has left the loader lock.
        DWORD id = 0;
        const HANDLE thread = CreateThread(nullptr, 0, start, slot.held, 0, &id);
        if (thread == nullptr) {
            char line[200];
            std::snprintf(line, sizeof(line), "korvat_nfc_stdcall: %ls stays loaded: no thread to release it "
                          "(error %lu)\n", slot.fileName, GetLastError());
            trace(line);
            continue;
        }
        slot.held = nullptr;
        if (appendThread(value, used, thread, id)) {
            started[startedCount++] = thread;
        } else {
            char line[200];
            std::snprintf(line, sizeof(line), "korvat_nfc_stdcall: the release of %ls cannot be passed on (the "
                          "variable is full): a companion loaded again at once may find it loaded\n", slot.fileName);
            trace(line);
            CloseHandle(thread);  // the next companion cannot wait for this one; it ends all the same
        }
    }
    if (startedCount != 0 && !SetEnvironmentVariableW(name, value)) {
        char line[200];
        std::snprintf(line, sizeof(line), "korvat_nfc_stdcall: the release threads cannot be passed on (error %lu): "
                      "a companion loaded again at once may find the DLLs this one held\n", GetLastError());
        trace(line);
        while (startedCount != 0) {
            CloseHandle(started[--startedCount]);
        }
    }
}
