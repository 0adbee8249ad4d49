// A stand-in for the library under its own file name, which the plug-in checker loads (from a
// directory of its own, bin/plugin_check_recorder) while it checks a plug-in's status event: a
// plug-in that calls back into the library looks the library up by its name and finds this
// module, whose exports of the library's names only count the call and answer false. The checker
// reads the count through korvat_callback_recorder_calls. cdecl: a stub that takes no argument
// may be called with any, as the caller cleans the stack.
#include <windows.h>

namespace {

volatile LONG g_Calls = 0;

}  // namespace

#define KORVAT_RECORDER_EXPORT(name)                                                                                   \
    extern "C" __declspec(dllexport) unsigned char __cdecl korvatlib_nfc_##name()                                      \
    {                                                                                                                  \
        InterlockedIncrement(&g_Calls);                                                                                \
        return 0;                                                                                                      \
    }

KORVAT_RECORDER_EXPORT(close)
KORVAT_RECORDER_EXPORT(deselect_device)
KORVAT_RECORDER_EXPORT(get_last_error)
KORVAT_RECORDER_EXPORT(get_next_event)
KORVAT_RECORDER_EXPORT(get_timeout)
KORVAT_RECORDER_EXPORT(initialize)
KORVAT_RECORDER_EXPORT(list_readers)
KORVAT_RECORDER_EXPORT(open)
KORVAT_RECORDER_EXPORT(select_device)
KORVAT_RECORDER_EXPORT(set_event_queue)
KORVAT_RECORDER_EXPORT(set_pnp_callback_parameters)
KORVAT_RECORDER_EXPORT(set_poll_callback_parameters)
KORVAT_RECORDER_EXPORT(set_timeout)
KORVAT_RECORDER_EXPORT(start_dev_access)
KORVAT_RECORDER_EXPORT(start_logging)
KORVAT_RECORDER_EXPORT(start_plug_and_play)
KORVAT_RECORDER_EXPORT(start_poll_mode)
KORVAT_RECORDER_EXPORT(stop_dev_access)
KORVAT_RECORDER_EXPORT(stop_logging)
KORVAT_RECORDER_EXPORT(stop_plug_and_play)
KORVAT_RECORDER_EXPORT(stop_poll_mode)
KORVAT_RECORDER_EXPORT(thru)
KORVAT_RECORDER_EXPORT(uninitialize)

extern "C" __declspec(dllexport) LONG __cdecl korvat_callback_recorder_calls()
{
    return g_Calls;
}
