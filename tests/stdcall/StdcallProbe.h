// Calls a function through its address with 32-bit arguments, as 32-bit VBA and VB6 call a
// Declare'd function (arguments pushed right to left, the callee expected to remove them), and
// measures what the call did to the stack pointer: 0 for a __stdcall callee, minus the bytes of
// the arguments for a cdecl one, which leaves them to its caller. The probe puts the stack
// pointer back itself, so a callee of the wrong convention is seen, not crashed into.
#pragma once

#include <windows.h>

#include <cstdint>
#include <type_traits>
#include <vector>

namespace korvat_test {

struct ProbedCall {
    uint8_t result;       // the one-byte boolean the function returned
    int32_t stackChange;  // stack pointer after the call minus before the arguments were pushed
};

ProbedCall callMeasuringStack(FARPROC function, const std::vector<uint32_t> &arguments);

template <class T>
uint32_t argumentWord(T value)
{
    if constexpr (std::is_pointer<T>::value || std::is_null_pointer<T>::value) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint32_t>(value);
    }
}

template <class... Arguments>
ProbedCall probe(FARPROC function, Arguments... arguments)
{
    return callMeasuringStack(function, {argumentWord(arguments)...});
}

}  // namespace korvat_test
