// Child process of the tag library's and the stdcall companion's tests: a tag call must not keep
// korvat_nfc_library_for_vb.dll loaded once the application has freed what it loaded.
//   tag_call_then_reload <directory of the DLLs> direct|companion|companion_at_once|mixed|
//                        foreign_release_variable
// direct:    the application loads the main DLL and korvat_nfc_tags.dll, initialises, opens the
//            configured port SIM0 and makes a tag call, then frees both DLLs.
// companion: the application loads korvat_nfc_stdcall.dll only (as 32-bit VBA does), makes the
//            same calls through it and frees it.
// companion_at_once: the same, but the companion is loaded again at once after its FreeLibrary,
//            before what it held has gone back.
// mixed:     the application loads the main DLL and the companion, makes the calls through the
//            companion and frees both.
// foreign_release_variable: as companion, but the process's release variable names a handle of
//            the application's that is no release thread (as a variable inherited from a parent
//            whose process id this process has would): the companion leaves that handle open.
// Then the main DLL and the tag library must be unloaded: at once where the application loaded
// them; where the companion loaded them, just after its unload (waited for, bounded). The DLLs
// loaded again must find a fresh library: open fails with KORVAT_NFC_E_NOT_INITIALIZED,
// initialise and open succeed.
// Exit code 0 when everything is as expected; each difference is printed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "korvat_nfc.h"
#include "korvat_nfc_tags.h"

namespace {

int g_Failures = 0;

void expect(bool condition, const std::string &what)
{
    if (!condition) {
        std::printf("not as expected: %s\n", what.c_str());
        ++g_Failures;
    }
}

const char MainName[] = "korvat_nfc_library_for_vb.dll";
const char TagsName[] = "korvat_nfc_tags.dll";
const char CompanionName[] = "korvat_nfc_stdcall.dll";

enum class Mode { Direct, Companion, CompanionAtOnce, Mixed, ForeignReleaseVariable };

struct Cdecl {
    template <class... Arguments>
    using Function = KORVAT_NFC_BOOL(__cdecl *)(Arguments...);
};
struct Stdcall {
    template <class... Arguments>
    using Function = KORVAT_NFC_BOOL(__stdcall *)(Arguments...);
};

// The calls the road needs, of the main DLL and the tag library or of the companion.
template <class Convention>
class Road {
public:
    // Loads the DLLs the application loads in this mode; false when one does not load.
    bool load(const std::string &bin, Mode mode)
    {
        const bool alone =
            mode == Mode::Companion || mode == Mode::CompanionAtOnce || mode == Mode::ForeignReleaseVariable;
        const char *names[2] = {alone ? CompanionName : MainName,
                                mode == Mode::Direct ? TagsName : mode == Mode::Mixed ? CompanionName : nullptr};
        for (int i = 0; i < 2 && names[i] != nullptr; ++i) {
            m_Modules[i] = LoadLibraryA((bin + names[i]).c_str());
            if (m_Modules[i] == nullptr) {
                std::printf("cannot load %s: error %lu\n", names[i], GetLastError());
                return false;
            }
        }
        HMODULE nfc = mode == Mode::Mixed ? m_Modules[1] : m_Modules[0];
        HMODULE tags = mode == Mode::Direct ? m_Modules[1] : nfc;
        bind(nfc, "korvatlib_nfc_initialize", initialize);
        bind(nfc, "korvatlib_nfc_uninitialize", uninitialize);
        bind(nfc, "korvatlib_nfc_open", open);
        bind(nfc, "korvatlib_nfc_close", close);
        bind(nfc, "korvatlib_nfc_get_last_error", nfcLastError);
        bind(tags, "korvatlib_tags_identify", identify);
        bind(tags, "korvatlib_tags_get_last_error", tagsLastError);
        return initialize && uninitialize && open && close && nfcLastError && identify && tagsLastError;
    }
    void free()
    {
        for (HMODULE &module : m_Modules) {
            if (module != nullptr) {
                FreeLibrary(module);
                module = nullptr;
            }
        }
    }
    uint32_t nfcError()
    {
        uint32_t pair[2] = {0, 0};
        nfcLastError(pair);
        return pair[0];
    }
    bool openSim()
    {
        char port[16] = "SIM0";
        return open(port) != 0;
    }

    typename Convention::template Function<> initialize = nullptr, uninitialize = nullptr, close = nullptr;
    typename Convention::template Function<char *> open = nullptr;
    typename Convention::template Function<uint32_t *> nfcLastError = nullptr, tagsLastError = nullptr;
    typename Convention::template Function<const uint8_t *, uint32_t, KORVAT_TAG_INFO *> identify = nullptr;

private:
    template <class Function>
    static void bind(HMODULE module, const char *name, Function &function)
    {
        function = reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
    }
    HMODULE m_Modules[2] = {nullptr, nullptr};
};

std::string hex(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(code));
    return text;
}

bool loaded(const char *name) { return GetModuleHandleA(name) != nullptr; }

std::wstring releaseVariableName()
{
    return L"KORVAT_NFC_STDCALL_RELEASE_" + std::to_wstring(GetCurrentProcessId());
}

// An event of the application's, signalled (a companion that waited for it would not wait long),
// named by the release variable in the old form (a bare handle) and with a thread id.
HANDLE foreignReleaseVariable()
{
    const HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    wchar_t value[96];
    const unsigned long long handle = reinterpret_cast<uintptr_t>(event);
    std::swprintf(value, 96, L"%llx;%llx:%lx;", handle, handle, GetCurrentThreadId());
    SetEnvironmentVariableW(releaseVariableName().c_str(), value);
    return event;
}

// After the application freed what it loaded: the DLLs it loaded are unloaded at once, those the
// companion loaded on a thread of their own just after the companion's unload.
void expectUnloaded(Mode mode)
{
    if (mode == Mode::Direct || mode == Mode::Mixed) {
        expect(!loaded(MainName), "the main DLL the application loaded is unloaded by its FreeLibrary");
    }
    if (mode == Mode::Direct) {
        expect(!loaded(TagsName), "the tag library the application loaded is unloaded by its FreeLibrary");
    }
    const DWORD start = GetTickCount();
    while ((loaded(MainName) || loaded(TagsName)) && GetTickCount() - start < 15000) {
        Sleep(20);
    }
    expect(!loaded(MainName), "the main DLL is unloaded once the application freed what it loaded");
    expect(!loaded(TagsName), "the tag library is unloaded once the application freed what it loaded");
}

template <class Convention>
int run(const std::string &bin, Mode mode)
{
    expect(!loaded(MainName) && !loaded(TagsName), "neither DLL is loaded at the start");
    Road<Convention> road;
    const HANDLE foreign = mode == Mode::ForeignReleaseVariable ? foreignReleaseVariable() : nullptr;
    if (!road.load(bin, mode)) {
        return 3;
    }
    expect(road.initialize() != 0, "initialise");
    if (foreign != nullptr) {
        expect(WaitForSingleObject(foreign, 0) == WAIT_OBJECT_0,
               "the application's handle named by the release variable is still open");
        expect(GetEnvironmentVariableW(releaseVariableName().c_str(), nullptr, 0) == 0,
               "the companion took the release variable");
        CloseHandle(foreign);
    }
    expect(road.openSim(), "open SIM0: error " + hex(road.nfcError()));
    // A Type 2 Tag's record (type A, SEL_RES 00, a 7-byte NFCID1): no access is enabled, so the
    // call fails in korvatlib_nfc_thru; what matters is that it went to the main DLL.
    const uint8_t record[23] = {1, 0, 0, 0, 1, 0, 0, 0, 0x44, 0x00, 0x00, 7, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    KORVAT_TAG_INFO info;
    expect(road.identify(record, sizeof(record), &info) == 0, "identify without device access fails");
    uint32_t pair[2] = {0, 0};
    road.tagsLastError(pair);
    expect(pair[0] != 0 && pair[0] != KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND && pair[0] == road.nfcError(),
           "the tag call failed with the main library's pair (" + hex(pair[0]) + ")");
    road.free();
    // companion_at_once loads the companion again straight away: before the first companion's
    // references are back, which the second one must wait for.
    if (mode != Mode::CompanionAtOnce) {
        expectUnloaded(mode);
    }

    if (!road.load(bin, mode)) {
        return 3;
    }
    expect(!road.openSim() && road.nfcError() == KORVAT_NFC_E_NOT_INITIALIZED,
           "the DLL loaded again is not initialised (open: error " + hex(road.nfcError()) + ")");
    expect(road.initialize() != 0, "initialise again: error " + hex(road.nfcError()));
    expect(road.openSim(), "open SIM0 again: error " + hex(road.nfcError()));
    expect(road.close() != 0 && road.uninitialize() != 0, "close and uninitialise");
    road.free();
    expectUnloaded(mode);
    return g_Failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const struct {
        const char *name;
        Mode mode;
    } modes[] = {{"direct", Mode::Direct},
                 {"companion", Mode::Companion},
                 {"companion_at_once", Mode::CompanionAtOnce},
                 {"mixed", Mode::Mixed},
                 {"foreign_release_variable", Mode::ForeignReleaseVariable}};
    for (const auto &m : modes) {
        if (argc == 3 && std::strcmp(argv[2], m.name) == 0) {
            std::string directory = argv[1];
            if (directory.back() != '\\' && directory.back() != '/') {
                directory += '\\';
            }
            return m.mode == Mode::Direct ? run<Cdecl>(directory, m.mode) : run<Stdcall>(directory, m.mode);
        }
    }
    std::printf("usage: tag_call_then_reload <directory of the DLLs> "
                "direct|companion|companion_at_once|mixed|foreign_release_variable\n");
    return 2;
}
