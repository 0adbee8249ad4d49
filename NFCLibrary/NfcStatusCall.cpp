#include "NfcStatusCall.h"

#include <cstddef>
#include <cstring>

namespace {

// The call record, in the data page. The trampoline reaches its fields by these offsets.
struct CallRecord {
    void *entry;       // the plug-in's gp_get_driver_status
    void *exitThread;  // ExitThread, for an abandoned call
    volatile LONG state;
    uint32_t driverStatus;
    uint32_t pollModeCardType;
    uint32_t listenModeCardType;
    uint32_t additionalDataSize;
    uint8_t *additionalData;
    ErrorInfo error;
    uint32_t result;
};

// state: the thread is in this DLL's code, inside the plug-in's call, or the call was abandoned.
const LONG Idle = 0;
const LONG InCall = 1;
const LONG Abandoned = 2;

#if defined(__x86_64__)
static_assert(offsetof(CallRecord, exitThread) == 8 && offsetof(CallRecord, state) == 16 &&
                  offsetof(CallRecord, driverStatus) == 20 && offsetof(CallRecord, additionalDataSize) == 32 &&
                  offsetof(CallRecord, additionalData) == 40 && offsetof(CallRecord, error) == 48 &&
                  offsetof(CallRecord, result) == 56,
              "the trampoline's offsets");
#else
static_assert(offsetof(CallRecord, exitThread) == 4 && offsetof(CallRecord, state) == 8 &&
                  offsetof(CallRecord, driverStatus) == 12 && offsetof(CallRecord, additionalDataSize) == 24 &&
                  offsetof(CallRecord, additionalData) == 28 && offsetof(CallRecord, error) == 32 &&
                  offsetof(CallRecord, result) == 40,
              "the trampoline's offsets");
#endif

} // namespace

// The trampoline, GP_BOOL trampoline(CallRecord *): marks the record InCall, calls the entry
// with the record's output fields, and then moves the state back to Idle with one interlocked
// exchange; if the unloading thread has made it Abandoned meanwhile, it calls ExitThread(0)
// instead of returning. Written between two labels and copied into a page outside the image at
// run time, so it must not depend on where it lies: every address it uses comes from the record.
extern "C" const unsigned char nfcStatusTrampoline[];
extern "C" const unsigned char nfcStatusTrampolineEnd[];

#if defined(__x86_64__)
asm(".section .rdata,\"dr\"\n"
    ".globl nfcStatusTrampoline\n"
    "nfcStatusTrampoline:\n"
    "    pushq %rbx\n"                  // prologue: 1 byte
    "    subq $48, %rsp\n"              // 4 bytes: shadow space and two stack arguments
    "    movq %rcx, %rbx\n"
    "    movl $1, 16(%rbx)\n"
    "    leaq 20(%rbx), %rcx\n"
    "    leaq 24(%rbx), %rdx\n"
    "    leaq 28(%rbx), %r8\n"
    "    leaq 32(%rbx), %r9\n"
    "    leaq 40(%rbx), %rax\n"
    "    movq %rax, 32(%rsp)\n"
    "    leaq 48(%rbx), %rax\n"
    "    movq %rax, 40(%rsp)\n"
    "    callq *(%rbx)\n"
    "    movzbl %al, %eax\n"
    "    movl %eax, 56(%rbx)\n"
    "    movl $1, %eax\n"
    "    xorl %ecx, %ecx\n"
    "    lock cmpxchgl %ecx, 16(%rbx)\n"
    "    jne 1f\n"
    "    movl 56(%rbx), %eax\n"
    "    addq $48, %rsp\n"
    "    popq %rbx\n"
    "    retq\n"
    "1:  xorl %ecx, %ecx\n"
    "    callq *8(%rbx)\n"
    "    int3\n"
    ".globl nfcStatusTrampolineEnd\n"
    "nfcStatusTrampolineEnd:\n"
    ".text\n");
#elif defined(__i386__)
asm(".section .rdata,\"dr\"\n"
    ".globl _nfcStatusTrampoline\n"
    "_nfcStatusTrampoline:\n"
    "    pushl %ebx\n"
    "    movl 8(%esp), %ebx\n"
    "    movl $1, 8(%ebx)\n"
    "    leal 32(%ebx), %eax\n"
    "    pushl %eax\n"
    "    leal 28(%ebx), %eax\n"
    "    pushl %eax\n"
    "    leal 24(%ebx), %eax\n"
    "    pushl %eax\n"
    "    leal 20(%ebx), %eax\n"
    "    pushl %eax\n"
    "    leal 16(%ebx), %eax\n"
    "    pushl %eax\n"
    "    leal 12(%ebx), %eax\n"
    "    pushl %eax\n"
    "    call *(%ebx)\n"
    "    addl $24, %esp\n"
    "    movzbl %al, %eax\n"
    "    movl %eax, 40(%ebx)\n"
    "    movl $1, %eax\n"
    "    xorl %ecx, %ecx\n"
    "    lock cmpxchgl %ecx, 8(%ebx)\n"
    "    jne 1f\n"
    "    movl 40(%ebx), %eax\n"
    "    popl %ebx\n"
    "    ret\n"
    "1:  pushl $0\n"
    "    call *4(%ebx)\n"
    "    int3\n"
    ".globl _nfcStatusTrampolineEnd\n"
    "_nfcStatusTrampolineEnd:\n"
    ".text\n");
#else
#error "the status call's trampoline is written for x86 and x64"
#endif

namespace {

typedef uint32_t(__cdecl *Trampoline)(CallRecord *record);

// Code page (the trampoline, then on x64 its unwind data), then the record's page.
unsigned char *g_Pages = nullptr;
size_t g_PageSize = 0;
bool g_Abandoned = false;

CallRecord *record()
{
    return reinterpret_cast<CallRecord *>(g_Pages + g_PageSize);
}

#if defined(__x86_64__)
// Unwind data for the copy, so that a stack walk through it (an exception raised inside the
// plug-in, a debugger) finds the caller's frame: push rbx, then 48 bytes of stack.
struct TrampolineUnwind {
    RUNTIME_FUNCTION function;
    unsigned char info[8];
};
const unsigned char UnwindInfo[8] = {
    0x01, 5, 2, 0,   // version 1, no flags; prologue of 5 bytes; two codes; no frame register
    5, 0x52,         // at 5: UWOP_ALLOC_SMALL, (48 - 8) / 8 = 5
    1, 0x30,         // at 1: UWOP_PUSH_NONVOL, rbx
};

TrampolineUnwind *unwind()
{
    const size_t code = static_cast<size_t>(nfcStatusTrampolineEnd - nfcStatusTrampoline);
    return reinterpret_cast<TrampolineUnwind *>(g_Pages + ((code + 15) & ~static_cast<size_t>(15)));
}
#endif

} // namespace

bool NfcStatusCall::prepare()
{
    if (g_Pages != nullptr) {
        return true;
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    g_PageSize = system.dwPageSize;
    unsigned char *pages =
        static_cast<unsigned char *>(VirtualAlloc(nullptr, 2 * g_PageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (pages == nullptr) {
        return false;
    }
    g_Pages = pages;
    std::memcpy(pages, nfcStatusTrampoline, static_cast<size_t>(nfcStatusTrampolineEnd - nfcStatusTrampoline));
#if defined(__x86_64__)
    TrampolineUnwind *data = unwind();
    data->function.BeginAddress = 0;
    data->function.EndAddress = static_cast<DWORD>(nfcStatusTrampolineEnd - nfcStatusTrampoline);
    data->function.UnwindData = static_cast<DWORD>(reinterpret_cast<unsigned char *>(data->info) - pages);
    std::memcpy(data->info, UnwindInfo, sizeof(UnwindInfo));
#endif
    DWORD previous = 0;
    if (!VirtualProtect(pages, g_PageSize, PAGE_EXECUTE_READ, &previous)) {
        VirtualFree(pages, 0, MEM_RELEASE);
        g_Pages = nullptr;
        return false;
    }
    FlushInstructionCache(GetCurrentProcess(), pages, g_PageSize);
#if defined(__x86_64__)
    RtlAddFunctionTable(&unwind()->function, 1, reinterpret_cast<DWORD64>(pages));
#endif
    CallRecord *call = record();
    call->exitThread = reinterpret_cast<void *>(&ExitThread);
    call->state = Idle;
    return true;
}

void NfcStatusCall::release()
{
    if (g_Pages == nullptr || g_Abandoned) {
        return;
    }
#if defined(__x86_64__)
    RtlDeleteFunctionTable(&unwind()->function);
#endif
    VirtualFree(g_Pages, 0, MEM_RELEASE);
    g_Pages = nullptr;
}

bool NfcStatusCall::call(gp_get_driver_status_t entry, uint32_t *DriverStatus, uint32_t *PollModeCardType,
                         uint32_t *ListenModeCardType, uint32_t *AdditionalDataSize, uint8_t **AdditionalData,
                         ErrorInfo *error)
{
    if (g_Pages == nullptr) {
        return entry(DriverStatus, PollModeCardType, ListenModeCardType, AdditionalDataSize, AdditionalData, error) != 0;
    }
    CallRecord *call = record();
    call->entry = reinterpret_cast<void *>(entry);
    call->driverStatus = *DriverStatus;
    call->pollModeCardType = *PollModeCardType;
    call->listenModeCardType = *ListenModeCardType;
    call->additionalDataSize = *AdditionalDataSize;
    call->additionalData = *AdditionalData;
    call->error = *error;
    const bool result = reinterpret_cast<Trampoline>(reinterpret_cast<void *>(g_Pages))(call) != 0;
    *DriverStatus = call->driverStatus;
    *PollModeCardType = call->pollModeCardType;
    *ListenModeCardType = call->listenModeCardType;
    *AdditionalDataSize = call->additionalDataSize;
    *AdditionalData = call->additionalData;
    *error = call->error;
    return result;
}

bool NfcStatusCall::abandonCallInProgress()
{
    if (g_Pages == nullptr || InterlockedCompareExchange(&record()->state, Abandoned, InCall) != InCall) {
        return false;
    }
    g_Abandoned = true;
    return true;
}
