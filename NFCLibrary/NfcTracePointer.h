#ifndef NFC_TRACE_POINTER_H
#define NFC_TRACE_POINTER_H

// Pointer arguments in trace lines carry the whole address: eight hex digits on x86, sixteen on
// x64. Use NFC_TRACE_POINTER ("%08x" on x86) where a line pads the value to its width and
// NFC_TRACE_POINTER_BARE ("%X" on x86) where it does not, with nfcTracePointer() as the argument.
#include <cinttypes>
#include <cstdint>

#if UINTPTR_MAX > 0xFFFFFFFFu
#define NFC_TRACE_POINTER "%016" PRIx64
#define NFC_TRACE_POINTER_BARE "%" PRIX64
using NfcTracePointerValue = uint64_t;
#else
#define NFC_TRACE_POINTER "%08" PRIx32
#define NFC_TRACE_POINTER_BARE "%" PRIX32
using NfcTracePointerValue = uint32_t;
#endif

inline NfcTracePointerValue nfcTracePointer(const void *pointer)
{
    return static_cast<NfcTracePointerValue>(reinterpret_cast<uintptr_t>(pointer));
}

#endif
