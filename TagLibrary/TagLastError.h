// The (error code, detail code) pair of the tag library's last failed call, process-wide as the
// main library's is, and the trace of every failure: one line to the debugger
// (OutputDebugString; DebugView or a debugger shows it) with the call, the code's name, the
// detail and what went wrong.
#pragma once

#include <cstdint>
#include <string>

class TagLastError {
public:
    // Records the pair and traces the failure; returns false, the result of the failed call.
    static bool fail(const char *call, uint32_t code, uint32_t detail, const std::string &why);
    static void get(uint32_t &code, uint32_t &detail);
};
