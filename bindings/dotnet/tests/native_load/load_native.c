/*
 * load_native.exe <directory>: loads the package's native DLLs of this process's architecture from
 * <directory> (korvat_nfc_library_for_vb.dll, then korvat_nfc_tags.dll, then plugins/sim_reader.gp
 * or sim_reader.gp), finds every export an application or the library needs, and calls
 * korvatlib_nfc_get_last_error and korvatlib_tags_get_last_error once each. Prints one line per
 * file; exit 0 when all of it worked.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef unsigned char (__cdecl *get_last_error_fn)(unsigned int *);

static const char *const LibraryExports[] = {
    "korvatlib_nfc_initialize", "korvatlib_nfc_uninitialize", "korvatlib_nfc_open", "korvatlib_nfc_close",
    "korvatlib_nfc_start_poll_mode", "korvatlib_nfc_stop_poll_mode", "korvatlib_nfc_start_dev_access",
    "korvatlib_nfc_stop_dev_access", "korvatlib_nfc_select_device", "korvatlib_nfc_deselect_device",
    "korvatlib_nfc_thru", "korvatlib_nfc_set_timeout", "korvatlib_nfc_get_timeout",
    "korvatlib_nfc_set_poll_callback_parameters", "korvatlib_nfc_set_pnp_callback_parameters",
    "korvatlib_nfc_start_plug_and_play", "korvatlib_nfc_stop_plug_and_play", "korvatlib_nfc_get_last_error",
    "korvatlib_nfc_start_logging", "korvatlib_nfc_stop_logging", NULL};
static const char *const TagExports[] = {
    "korvatlib_tags_identify", "korvatlib_tags_read_ndef", "korvatlib_tags_write_ndef", "korvatlib_tags_format",
    "korvatlib_tags_ndef_add_uri", "korvatlib_tags_ndef_add_text", "korvatlib_tags_ndef_add_mime",
    "korvatlib_tags_ndef_record_count", "korvatlib_tags_ndef_get_record", "korvatlib_tags_ndef_get_uri",
    "korvatlib_tags_ndef_get_text", "korvatlib_tags_get_last_error", NULL};
static const char *const PluginExports[] = {"gp_get_version_number", "gp_get_plugin_information", NULL};

/* Loads dir\name and looks up every export; the module stays loaded. */
static HMODULE load(const char *dir, const char *name, const char *const *exports)
{
    char path[MAX_PATH];
    HMODULE module;
    int i;
    snprintf(path, sizeof(path), "%s\\%s", dir, name);
    module = LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == NULL) {
        printf("FAIL %s: LoadLibraryEx error %lu\n", path, GetLastError());
        return NULL;
    }
    for (i = 0; exports[i] != NULL; i++) {
        if (GetProcAddress(module, exports[i]) == NULL) {
            printf("FAIL %s: no export %s\n", path, exports[i]);
            return NULL;
        }
    }
    printf("ok   %s: loaded, %d exports found\n", path, i);
    return module;
}

static int call_get_last_error(HMODULE module, const char *name)
{
    unsigned int info[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
    get_last_error_fn call = (get_last_error_fn)(void (*)(void))GetProcAddress(module, name);
    if (call(info) != 1 || info[0] == 0xFFFFFFFFu) {
        printf("FAIL %s did not fill the pair\n", name);
        return 0;
    }
    printf("ok   %s() = (0x%08X, 0x%08X)\n", name, info[0], info[1]);
    return 1;
}

int main(int argc, char **argv)
{
    HMODULE library, tags, plugin;
    char plugins[MAX_PATH];
    if (argc != 2) {
        printf("usage: load_native <directory>\n");
        return 2;
    }
    printf("a %d-bit process\n", (int)(sizeof(void *) * 8));
    library = load(argv[1], "korvat_nfc_library_for_vb.dll", LibraryExports);
    tags = load(argv[1], "korvat_nfc_tags.dll", TagExports);
    snprintf(plugins, sizeof(plugins), "%s\\plugins", argv[1]);
    plugin = load(GetFileAttributesA(plugins) == INVALID_FILE_ATTRIBUTES ? argv[1] : plugins, "sim_reader.gp", PluginExports);
    if (library == NULL || tags == NULL || plugin == NULL) return 1;
    return call_get_last_error(library, "korvatlib_nfc_get_last_error") &&
           call_get_last_error(tags, "korvatlib_tags_get_last_error") ? 0 : 1;
}
