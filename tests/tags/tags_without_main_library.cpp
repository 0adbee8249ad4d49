// Child process of the tag library's tests: loads korvat_nfc_tags.dll from the path given, in a
// process that has not loaded the main DLL, and makes a tag call.
//   tags_without_main_library <path of korvat_nfc_tags.dll> absent|beside
// absent: the main DLL is not beside it either; the tag call fails with
//         KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND, and the walk calls, which need no tag, still work.
// beside: the main DLL is beside it; the tag library loads that one (from its own directory) for
//         the call, which fails with the main library's pair (KORVAT_NFC_E_PORT_NOT_OPEN: nobody
//         initialised that library), and releases it again at the end of the call.
// Exit code 0 when everything is as expected; each difference is printed.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "korvat_nfc_tags.h"

namespace {

int g_Failures = 0;

void expect(bool condition, const char *what)
{
    if (!condition) {
        std::printf("not as expected: %s\n", what);
        ++g_Failures;
    }
}

template <class Function>
Function bind(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)(void)>(GetProcAddress(module, name)));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::printf("usage: tags_without_main_library <korvat_nfc_tags.dll> absent|beside\n");
        return 2;
    }
    const bool beside = std::strcmp(argv[2], "beside") == 0;
    expect(GetModuleHandleA("korvat_nfc_library_for_vb.dll") == nullptr, "the main DLL is not loaded at the start");
    HMODULE tags = LoadLibraryA(argv[1]);
    if (tags == nullptr) {
        std::printf("cannot load %s: error %lu\n", argv[1], GetLastError());
        return 3;
    }
    const auto identify = bind<KORVAT_NFC_BOOL(__cdecl *)(const uint8_t *, uint32_t, KORVAT_TAG_INFO *)>(
        tags, "korvatlib_tags_identify");
    const auto lastError = bind<KORVAT_NFC_BOOL(__cdecl *)(uint32_t *)>(tags, "korvatlib_tags_get_last_error");
    const auto addUri = bind<KORVAT_NFC_BOOL(__cdecl *)(uint8_t *, uint32_t, uint32_t *, const char *)>(
        tags, "korvatlib_tags_ndef_add_uri");
    if (identify == nullptr || lastError == nullptr || addUri == nullptr) {
        std::printf("an export is missing\n");
        return 3;
    }

    // A Type 2 Tag's record: type A, SEL_RES 00, a 7-byte NFCID1, no ATS.
    uint8_t record[23] = {1, 0, 0, 0, 1, 0, 0, 0, 0x44, 0x00, 0x00, 7, 0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    KORVAT_TAG_INFO info;
    uint32_t pair[2] = {0, 0};
    expect(!identify(record, sizeof(record), &info), "identify fails");
    lastError(pair);
    std::printf("identify: 0x%08X, detail 0x%08X\n", pair[0], pair[1]);
    HMODULE main = GetModuleHandleA("korvat_nfc_library_for_vb.dll");
    if (beside) {
        expect(pair[0] == KORVAT_NFC_E_PORT_NOT_OPEN && pair[1] == 0,
               "the pair of the main DLL beside the tag library, a fresh one: no port is open");
        expect(main == nullptr, "the main DLL loaded for the call is released at its end");
    } else {
        expect(pair[0] == KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND && pair[1] == 0, "KORVAT_TAGS_E_MAIN_LIBRARY_NOT_FOUND, 0");
        expect(main == nullptr, "no main DLL is loaded");
        uint8_t message[32];
        uint32_t size = 0;
        expect(addUri(message, sizeof(message), &size, "tel:1") && size == 6, "a URI record is built without a tag");
    }
    FreeLibrary(tags);
    return g_Failures == 0 ? 0 : 1;
}
