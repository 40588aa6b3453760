// Binds the thread functions to the versions every glibc the library loads on has. Since glibc
// 2.34 pthread_create and pthread_join live in libc.so.6 at version GLIBC_2.34 (pthread_sigmask
// since 2.32), and a library linked there would ask for that version and refuse to load on older
// systems; libc.so.6 keeps them at their first versions too, as the same functions. Before, they
// lived in libpthread.so.0, which the library names as needed (jni/CMakeLists.txt).
//
// Their first version is the oldest one of the processor's glibc, its baseline: 2.2.5 on
// x86-64, 2.2 on s390x, 2.4 on 32-bit arm (its EABI port), 2.17 on arm64 and ppc64le, 2.27 on
// riscv64 (readelf --dyn-syms on each libc.so.6 shows them).
//
// Included by the one file that calls them. Link-time optimization would lose the directive; the
// library is built without it. The sanitizers' own pthread_create carries no version, so it
// still stands in for glibc's in sanitizer builds. Other C libraries (musl) version nothing.
#pragma once

#include <pthread.h>
#include <signal.h>

#if defined(__GLIBC__)
#if defined(__x86_64__)
#define WINDOWSFSCM_GLIBC_BASELINE "GLIBC_2.2.5"
#elif defined(__aarch64__) || (defined(__powerpc64__) && defined(__LITTLE_ENDIAN__))
#define WINDOWSFSCM_GLIBC_BASELINE "GLIBC_2.17"
#elif defined(__riscv) && __riscv_xlen == 64
#define WINDOWSFSCM_GLIBC_BASELINE "GLIBC_2.27"
#elif defined(__s390x__)
#define WINDOWSFSCM_GLIBC_BASELINE "GLIBC_2.2"
#elif defined(__arm__) && defined(__ARM_EABI__)
#define WINDOWSFSCM_GLIBC_BASELINE "GLIBC_2.4"
#else
#error "the baseline glibc version of this processor is not known"
#endif
__asm__(".symver pthread_create, pthread_create@" WINDOWSFSCM_GLIBC_BASELINE);
__asm__(".symver pthread_join, pthread_join@" WINDOWSFSCM_GLIBC_BASELINE);
__asm__(".symver pthread_sigmask, pthread_sigmask@" WINDOWSFSCM_GLIBC_BASELINE);
#undef WINDOWSFSCM_GLIBC_BASELINE
#endif
