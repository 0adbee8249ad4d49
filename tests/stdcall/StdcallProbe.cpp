#include "StdcallProbe.h"

// uint32_t korvatProbeCall(const void *function, const uint32_t *arguments, uint32_t count,
//                          int32_t *stackChange), cdecl. EDI keeps the stack pointer from before
// the pushes (callee-saved in both conventions); the result byte comes back zero-extended.
asm(R"(
    .text
    .globl _korvatProbeCall
_korvatProbeCall:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    pushl %ebx
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, %edi
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    call *8(%ebp)
    movzbl %al, %eax
    movl %esp, %edx
    subl %edi, %edx
    movl 20(%ebp), %ecx
    movl %edx, (%ecx)
    movl %edi, %esp
    popl %ebx
    popl %edi
    popl %esi
    popl %ebp
    ret
)");

extern "C" uint32_t korvatProbeCall(const void *function, const uint32_t *arguments, uint32_t count,
                                    int32_t *stackChange);

namespace korvat_test {

ProbedCall callMeasuringStack(FARPROC function, const std::vector<uint32_t> &arguments)
{
    int32_t change = 0;
    const uint32_t result = korvatProbeCall(reinterpret_cast<const void *>(function), arguments.data(),
                                            static_cast<uint32_t>(arguments.size()), &change);
    return {static_cast<uint8_t>(result), change};
}

}  // namespace korvat_test
