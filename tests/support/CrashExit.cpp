// Linked into every test program: a fault that nothing handles, on any thread, ends the process
// at once with the exception's code as its exit code. Without this, Wine starts its debugger,
// which ends the process with an exit code of its own (0 has been seen), and ctest would count a
// test program that faulted half-way as passed.
#include <windows.h>

#include <cstdio>

namespace {

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS *pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    std::fprintf(stderr, "unhandled exception %08lXh at %p: the test program ends\n", static_cast<unsigned long>(code),
                 pointers->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

struct CrashExit {
    CrashExit() { SetUnhandledExceptionFilter(&endWithExceptionCode); }
};
CrashExit g_CrashExit;

} // namespace
