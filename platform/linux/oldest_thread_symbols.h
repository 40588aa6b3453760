// Binds the thread functions to the versions every glibc the library loads on has (2.17 and
// later). Since glibc 2.34 pthread_create and pthread_join live in libc.so.6 at version
// GLIBC_2.34 (pthread_sigmask since 2.32), and a library linked there would ask for that version
// and refuse to load on older systems; libc.so.6 keeps them at their first versions too, as the
// same functions. Before, they lived in libpthread.so.0, which the library names as needed
// (jni/CMakeLists.txt).
//
// Included by the one file that calls them. Link-time optimization would lose the directive; the
// library is built without it. The sanitizers' own pthread_create carries no version, so it
// still stands in for glibc's in sanitizer builds.
#pragma once

#include <pthread.h>
#include <signal.h>

#if defined(__x86_64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.2.5");
__asm__(".symver pthread_sigmask, pthread_sigmask@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_create, pthread_create@GLIBC_2.17");
__asm__(".symver pthread_join, pthread_join@GLIBC_2.17");
__asm__(".symver pthread_sigmask, pthread_sigmask@GLIBC_2.17");
#endif
