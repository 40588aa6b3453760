// stack_probe_call(units, registers, stack) calls the ARM64 DLL's __chkstk as clang's code does,
// with x15 = units, but with sp = stack, a stack of the test's own. Before the call every
// register the probe must keep holds a value of its own (0x100 + its number); after it,
// registers[] receives x0 to x14, x19 to x27, x15 and sp, in that order.
    .text
    .type stack_probe_call, %function
    .globl stack_probe_call
    .p2align 2
stack_probe_call:
    stp x29, x30, [sp, #-96]!
    stp x19, x20, [sp, #16]
    stp x21, x22, [sp, #32]
    stp x23, x24, [sp, #48]
    stp x25, x26, [sp, #64]
    stp x27, x28, [sp, #80]
    mov x29, sp
    mov x15, x0
    mov x28, x1
    mov sp, x2
    mov x0, #0x100
    mov x1, #0x101
    mov x2, #0x102
    mov x3, #0x103
    mov x4, #0x104
    mov x5, #0x105
    mov x6, #0x106
    mov x7, #0x107
    mov x8, #0x108
    mov x9, #0x109
    mov x10, #0x10a
    mov x11, #0x10b
    mov x12, #0x10c
    mov x13, #0x10d
    mov x14, #0x10e
    mov x19, #0x113
    mov x20, #0x114
    mov x21, #0x115
    mov x22, #0x116
    mov x23, #0x117
    mov x24, #0x118
    mov x25, #0x119
    mov x26, #0x11a
    mov x27, #0x11b
    bl __chkstk
    stp x0, x1, [x28, #0]
    stp x2, x3, [x28, #16]
    stp x4, x5, [x28, #32]
    stp x6, x7, [x28, #48]
    stp x8, x9, [x28, #64]
    stp x10, x11, [x28, #80]
    stp x12, x13, [x28, #96]
    stp x14, x19, [x28, #112]
    stp x20, x21, [x28, #128]
    stp x22, x23, [x28, #144]
    stp x24, x25, [x28, #160]
    stp x26, x27, [x28, #176]
    mov x16, sp
    stp x15, x16, [x28, #192]
    mov sp, x29
    ldp x19, x20, [sp, #16]
    ldp x21, x22, [sp, #32]
    ldp x23, x24, [sp, #48]
    ldp x25, x26, [sp, #64]
    ldp x27, x28, [sp, #80]
    ldp x29, x30, [sp], #96
    ret
    .size stack_probe_call, . - stack_probe_call
    .section .note.GNU-stack, "", %progbits
