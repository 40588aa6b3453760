// The stack probe of the ARM64 DLL. Windows commits a thread's stack a page at a time, as the
// guard page below the part in use is touched, so a frame or alloca larger than a page must
// touch every page on the way down, in order. Before such an allocation clang calls __chkstk
// with its size in 16-byte units in x15; the probe may change x16, x17 and the flags and nothing
// else, and leaves sp as it is (the caller moves it). The other DLLs take gcc's probe from its
// support library; no such library exists for ARM64 here. The Linux arm64 tests run the same
// instructions (tests/stack_probe_test.cpp), so the symbol is declared for either object format.
    .text
#if defined(_WIN32)
    .def __chkstk
    .scl 2
    .type 32
    .endef
#else
    .type __chkstk, %function
#endif
    .globl __chkstk
    .p2align 2
__chkstk:
    lsl x16, x15, #4
    mov x17, sp
1:
    sub x17, x17, #1, lsl #12
    ldr xzr, [x17]
    subs x16, x16, #1, lsl #12
    b.gt 1b
    ret
#if !defined(_WIN32)
    .size __chkstk, . - __chkstk
    .section .note.GNU-stack, "", %progbits
#endif
