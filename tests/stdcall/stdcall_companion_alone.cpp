// Child process of the companion's tests: loads korvat_nfc_stdcall.dll from the path given, where
// neither korvat_nfc_library_for_vb.dll nor korvat_nfc_tags.dll is beside it, in a process that
// has loaded neither. Each call fails and removes its arguments from the stack; both
// get_last_error wrappers give (KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND, ERROR_MOD_NOT_FOUND).
//   stdcall_companion_alone <path of korvat_nfc_stdcall.dll>
// Exit code 0 when everything is as expected; each difference is printed.
#include <windows.h>

#include <cstdio>

#include "StdcallProbe.h"
#include "korvat_nfc_tags.h"

using namespace korvat_test;

namespace {

int g_Failures = 0;

void expect(bool condition, const char *what)
{
    if (!condition) {
        std::printf("not as expected: %s\n", what);
        ++g_Failures;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::printf("usage: stdcall_companion_alone <korvat_nfc_stdcall.dll>\n");
        return 2;
    }
    expect(GetModuleHandleA("korvat_nfc_library_for_vb.dll") == nullptr, "the main DLL is not loaded at the start");
    HMODULE companion = LoadLibraryA(argv[1]);
    if (companion == nullptr) {
        std::printf("cannot load %s: error %lu\n", argv[1], GetLastError());
        return 3;
    }
    uint8_t buffer[64] = {0};
    uint32_t size = 0;
    const struct {
        const char *name;
        ProbedCall probed;
    } calls[] = {
        {"korvatlib_nfc_initialize", probe(GetProcAddress(companion, "korvatlib_nfc_initialize"))},
        {"korvatlib_nfc_thru", probe(GetProcAddress(companion, "korvatlib_nfc_thru"), buffer, 2, buffer + 8, &size)},
        {"korvatlib_tags_ndef_add_uri",
         probe(GetProcAddress(companion, "korvatlib_tags_ndef_add_uri"), buffer, 64u, &size, "https://example.org/")},
    };
    for (const auto &c : calls) {
        if (c.probed.result != 0 || c.probed.stackChange != 0) {
            std::printf("%s: result %u, stack change %d; expected 0 and 0\n", c.name, c.probed.result,
                        c.probed.stackChange);
            ++g_Failures;
        }
    }
    for (const char *name : {"korvatlib_nfc_get_last_error", "korvatlib_tags_get_last_error"}) {
        uint32_t pair[2] = {0, 0};
        const ProbedCall probed = probe(GetProcAddress(companion, name), pair);
        if (probed.result != 1 || probed.stackChange != 0 || pair[0] != KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND ||
            pair[1] != ERROR_MOD_NOT_FOUND) {
            std::printf("%s: result %u, stack change %d, pair (0x%08X, %u); expected 1, 0, (0x%08X, %u)\n", name,
                        probed.result, probed.stackChange, pair[0], pair[1], KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND,
                        static_cast<unsigned>(ERROR_MOD_NOT_FOUND));
            ++g_Failures;
        }
    }
    expect(GetModuleHandleA("korvat_nfc_library_for_vb.dll") == nullptr, "no other main DLL was loaded");
    FreeLibrary(companion);
    return g_Failures == 0 ? 0 : 1;
}
