// The exports of korvat_nfc_stdcall.dll: each export of korvat_nfc_library_for_vb.dll and of
// korvat_nfc_tags.dll once more, with the same name and arguments, as a __stdcall function that
// calls the cdecl original. 32-bit VBA and VB6 can call stdcall functions only (a cdecl export
// leaves its arguments on the stack, which they report as a bad calling convention); on x64
// there is one calling convention, and 64-bit VBA calls the two DLLs directly.
//
// The wrappers are made from one list. Each entry's parameter list is checked against the
// header's prototype at compile time, so that a changed export cannot be forwarded with the old
// arguments. The exported names are given by korvat_nfc_stdcall.def, which maps each name to
// its wrapper stdcall_<name>.
#include <atomic>
#include <type_traits>

#include "ForwardedLibrary.h"
#include "korvat_nfc.h"
#include "korvat_nfc_tags.h"

// X(library, name, parameters, arguments): every export of the two DLLs but the two
// get_last_error functions, which are written out below.
#define KORVAT_STDCALL_FORWARDS(X)                                                                              \
    X(Nfc, korvatlib_nfc_initialize, (), ())                                                                    \
    X(Nfc, korvatlib_nfc_uninitialize, (), ())                                                                  \
    X(Nfc, korvatlib_nfc_open, (char *port_name), (port_name))                                                  \
    X(Nfc, korvatlib_nfc_close, (), ())                                                                         \
    X(Nfc, korvatlib_nfc_start_poll_mode, (uint32_t target_device), (target_device))                            \
    X(Nfc, korvatlib_nfc_stop_poll_mode, (), ())                                                                \
    X(Nfc, korvatlib_nfc_start_dev_access, (uint32_t target_number), (target_number))                           \
    X(Nfc, korvatlib_nfc_stop_dev_access, (uint32_t stop_mode), (stop_mode))                                    \
    X(Nfc, korvatlib_nfc_select_device, (), ())                                                                 \
    X(Nfc, korvatlib_nfc_deselect_device, (), ())                                                               \
    X(Nfc, korvatlib_nfc_thru,                                                                                  \
      (const uint8_t *command, uint16_t command_length, uint8_t *response, uint16_t *response_length),          \
      (command, command_length, response, response_length))                                                     \
    X(Nfc, korvatlib_nfc_set_timeout, (int32_t timeout), (timeout))                                             \
    X(Nfc, korvatlib_nfc_get_timeout, (int32_t *timeout), (timeout))                                            \
    X(Nfc, korvatlib_nfc_set_poll_callback_parameters, (void *handle, const char *find, const char *enable),    \
      (handle, find, enable))                                                                                   \
    X(Nfc, korvatlib_nfc_set_pnp_callback_parameters, (void *handle, const char *find, const char *loss),       \
      (handle, find, loss))                                                                                     \
    X(Nfc, korvatlib_nfc_start_plug_and_play, (), ())                                                           \
    X(Nfc, korvatlib_nfc_stop_plug_and_play, (), ())                                                            \
    X(Nfc, korvatlib_nfc_start_logging, (const char *filename), (filename))                                     \
    X(Nfc, korvatlib_nfc_stop_logging, (), ())                                                                  \
    X(Nfc, korvatlib_nfc_set_event_queue, (uint32_t enabled), (enabled))                                        \
    X(Nfc, korvatlib_nfc_get_next_event, (KORVAT_NFC_EVENT * event, uint32_t timeout_ms), (event, timeout_ms))  \
    X(Nfc, korvatlib_nfc_list_readers, (KORVAT_NFC_READER_RECORD * records, uint32_t capacity, uint32_t *count), \
      (records, capacity, count))                                                                               \
    X(Tags, korvatlib_tags_identify, (const uint8_t *record, uint32_t record_size, KORVAT_TAG_INFO *info),      \
      (record, record_size, info))                                                                              \
    X(Tags, korvatlib_tags_read_ndef,                                                                           \
      (const uint8_t *record, uint32_t record_size, uint8_t *message, uint32_t capacity, uint32_t *size),       \
      (record, record_size, message, capacity, size))                                                           \
    X(Tags, korvatlib_tags_write_ndef,                                                                          \
      (const uint8_t *record, uint32_t record_size, const uint8_t *message, uint32_t size),                     \
      (record, record_size, message, size))                                                                     \
    X(Tags, korvatlib_tags_format, (const uint8_t *record, uint32_t record_size), (record, record_size))        \
    X(Tags, korvatlib_tags_ndef_add_uri, (uint8_t *message, uint32_t capacity, uint32_t *size, const char *uri),\
      (message, capacity, size, uri))                                                                           \
    X(Tags, korvatlib_tags_ndef_add_text,                                                                       \
      (uint8_t *message, uint32_t capacity, uint32_t *size, const char *language, const char *text),            \
      (message, capacity, size, language, text))                                                                \
    X(Tags, korvatlib_tags_ndef_add_mime,                                                                       \
      (uint8_t *message, uint32_t capacity, uint32_t *size, const char *mime_type, const uint8_t *payload,       \
       uint32_t payload_size),                                                                                  \
      (message, capacity, size, mime_type, payload, payload_size))                                              \
    X(Tags, korvatlib_tags_ndef_record_count, (const uint8_t *message, uint32_t size, uint32_t *count),         \
      (message, size, count))                                                                                   \
    X(Tags, korvatlib_tags_ndef_get_record,                                                                     \
      (const uint8_t *message, uint32_t size, uint32_t index, KORVAT_NDEF_RECORD *record, uint8_t *payload,     \
       uint32_t payload_capacity),                                                                              \
      (message, size, index, record, payload, payload_capacity))                                                \
    X(Tags, korvatlib_tags_ndef_get_uri,                                                                        \
      (const uint8_t *message, uint32_t size, uint32_t index, char *uri, uint32_t capacity, uint32_t *uri_size), \
      (message, size, index, uri, capacity, uri_size))                                                          \
    X(Tags, korvatlib_tags_ndef_get_text,                                                                       \
      (const uint8_t *message, uint32_t size, uint32_t index, char *language, uint32_t language_capacity,       \
       char *text, uint32_t text_capacity, uint32_t *text_size),                                                \
      (message, size, index, language, language_capacity, text, text_capacity, text_size))

namespace {

// The last error of a DLL: its own pair, or the companion's when the DLL cannot be used.
KORVAT_NFC_BOOL lastError(std::atomic<FARPROC> &found, ForwardedLibrary::Which library, const char *name,
                          uint32_t *errorInfo)
{
    using GetLastError = KORVAT_NFC_BOOL(__cdecl *)(uint32_t *);
    const ForwardedCall call(library, name, found);
    const GetLastError target = call.function<GetLastError>();
    if (target != nullptr) {
        return target(errorInfo);
    }
    if (errorInfo == nullptr) {
        return KORVAT_NFC_FALSE;
    }
    ForwardedLibrary::lastFailure(library, errorInfo);
    return KORVAT_NFC_TRUE;
}

}  // namespace

#define KORVAT_STDCALL_WRAPPER(library, name, parameters, arguments)                                        \
    static_assert(std::is_same<decltype(&name), KORVAT_NFC_BOOL(__cdecl *) parameters>::value,             \
                  #name ": the forwarded parameters differ from the header's");                          \
    extern "C" KORVAT_NFC_BOOL __stdcall stdcall_##name parameters                                          \
    {                                                                                                        \
        static std::atomic<FARPROC> found{nullptr};                                                          \
        const ForwardedCall call(ForwardedLibrary::library, #name, found);                                   \
        const auto target = call.function<decltype(&name)>();                                                \
        return target != nullptr ? target arguments : KORVAT_NFC_FALSE;                                      \
    }

KORVAT_STDCALL_FORWARDS(KORVAT_STDCALL_WRAPPER)

static_assert(std::is_same<decltype(&korvatlib_nfc_get_last_error), KORVAT_NFC_BOOL(__cdecl *)(uint32_t *)>::value,
              "korvatlib_nfc_get_last_error");
static_assert(std::is_same<decltype(&korvatlib_tags_get_last_error), KORVAT_NFC_BOOL(__cdecl *)(uint32_t *)>::value,
              "korvatlib_tags_get_last_error");

extern "C" KORVAT_NFC_BOOL __stdcall stdcall_korvatlib_nfc_get_last_error(uint32_t *error_info)
{
    static std::atomic<FARPROC> found{nullptr};
    return lastError(found, ForwardedLibrary::Nfc, "korvatlib_nfc_get_last_error", error_info);
}

extern "C" KORVAT_NFC_BOOL __stdcall stdcall_korvatlib_tags_get_last_error(uint32_t *error_info)
{
    static std::atomic<FARPROC> found{nullptr};
    return lastError(found, ForwardedLibrary::Tags, "korvatlib_tags_get_last_error", error_info);
}

// A companion freed by FreeLibrary hands the DLLs it holds to threads that release them (see
// ForwardedLibrary.h); at process exit (reserved not null) there is nothing to hand back.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        ForwardedLibrary::releaseAfterUnload();
    }
    return TRUE;
}
