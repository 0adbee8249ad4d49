// Control interface of the scriptable test plug-in. A test gets these functions from the
// plug-in module that the library has loaded (same path, same module) and uses them to set
// what each gp_ entry point answers and to read back which entry points were called.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Back to defaults: every entry answers true and writes nothing; call log, status script and
// read response emptied; time-out 0; overlap count 0.
typedef void (__cdecl *fixture_reset_t)(void);
// Answer of one entry point (by its gp_ name): result (0/1); when write is nonzero the entry
// writes (code, detail) into the error record it is given, whatever its result.
typedef void (__cdecl *fixture_set_answer_t)(const char *entry, int result, int write, uint32_t code, uint32_t detail);
// Response that gp_read stores on success (default: the command echoed back).
typedef void (__cdecl *fixture_set_read_response_t)(const uint8_t *data, uint16_t length);
// Appends one step to the driver status script. Every gp_get_driver_status call takes the next
// step; the last step repeats. data == NULL hands over a null AdditionalData pointer. The data is
// copied into a block of exactly size bytes (placed at the end of a guard page when size > 0).
typedef void (__cdecl *fixture_push_status_t)(uint32_t status, uint32_t poll_type, uint32_t listen_type,
                                              const uint8_t *data, uint32_t size, int result, uint32_t code,
                                              uint32_t detail);
typedef void (__cdecl *fixture_clear_status_t)(void);
// Number of calls of one entry point since the last reset.
typedef uint32_t (__cdecl *fixture_call_count_t)(const char *entry);
// Call log, one line per call: "<entry>[ <arguments>]\n". Copies at most size - 1 bytes and a
// terminator; returns the full length.
typedef uint32_t (__cdecl *fixture_calls_t)(char *buffer, uint32_t size);
// Number of times an entry point was entered while another call was still inside the plug-in.
typedef uint32_t (__cdecl *fixture_overlap_count_t)(void);
// Milliseconds every gp_get_driver_status call takes (default 0).
typedef void (__cdecl *fixture_set_status_delay_t)(uint32_t milliseconds);
// When nonzero, every gp_get_driver_status call queues a user APC to the calling thread (as a
// plug-in's overlapped read completion would); the APC, when it runs, is logged as "apc" and
// takes that many milliseconds. 0 (default) queues nothing.
typedef void (__cdecl *fixture_set_status_apc_t)(uint32_t milliseconds);
// 0 stops appending to the call log (counts and status times are still kept), for long runs of
// calls; 1 (default, and after a reset) appends again.
typedef void (__cdecl *fixture_set_call_log_t)(int on);
// 1 makes gp_read a bare echo of the command (no call log, count, overlap check or scripted
// answer), so that a benchmark measures what the library adds, not the fixture's own book-keeping;
// 0 (default, and after a reset) restores the scripted gp_read.
typedef void (__cdecl *fixture_set_bare_read_t)(int on);
// Thread id of the last gp_get_driver_status call (0: none since the last reset).
typedef uint32_t (__cdecl *fixture_status_thread_t)(void);
// When name is not NULL or empty, every gp_get_driver_status call, after its delay, loads the
// DLL of that name and frees it again (loader work, which waits for the loader lock); NULL or ""
// (default, and after a reset) loads nothing.
typedef void (__cdecl *fixture_set_status_load_t)(const char *name);
// Performance-counter ticks of the status calls since the last reset, oldest first; copies at
// most capacity values and returns the number of calls.
typedef uint32_t (__cdecl *fixture_status_times_t)(int64_t *ticks, uint32_t capacity);

// The variant with the optional entry points: sets the status event the library handed over
// (1) or, when none is held (never handed, refused, or withdrawn), does nothing (0).
typedef int (__cdecl *fixture_signal_status_t)(void);
// The bytes gp_list_ports hands over from now on, as they are (default, and after a reset: the
// empty list, one NUL). Its answer is scripted under the name "gp_list_ports"; its calls are
// counted but not logged.
typedef void (__cdecl *fixture_set_ports_t)(const char *list, uint32_t size);
// Non-zero: gp_list_ports reports a list that many bytes larger than the buffer it was given (or
// than the list set, when that is larger) and writes nothing, as a list that grows between every
// two calls; 0 (default, and after a reset): the list as set.
typedef void (__cdecl *fixture_set_ports_growth_t)(uint32_t bytes);
// The id of the thread that called gp_list_ports last (0: none since the last reset).
typedef uint32_t (__cdecl *fixture_list_thread_t)(void);

#ifdef __cplusplus
}
#endif
