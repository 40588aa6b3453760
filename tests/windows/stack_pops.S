// uint32_t bytesPoppedBy(const void* function, uint32_t argumentBytes, const uint32_t* arguments)
// __cdecl. ESP is kept in EDI across the call: every x86 convention preserves EDI, ESI and EBP,
// and none preserves ESP's value on its own, which is exactly what is measured.
    .text
    .globl _bytesPoppedBy
_bytesPoppedBy:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi

    movl %esp, %edi
    movl 12(%ebp), %ecx
    movl 16(%ebp), %esi
    // Push the arguments last first, so the first one ends up on top.
1:  testl %ecx, %ecx
    jz 2f
    subl $4, %ecx
    pushl (%esi,%ecx)
    jmp 1b
2:  call *8(%ebp)

    // What is still pushed is what the function left; the rest it popped.
    movl %edi, %eax
    subl %esp, %eax
    movl %edi, %esp
    movl 12(%ebp), %ecx
    subl %eax, %ecx
    movl %ecx, %eax

    popl %edi
    popl %esi
    popl %ebp
    ret
