/* The machine-dependent part of jni.h for Windows, where the JVM finds native methods in the
 * DLL's export table and, on 32-bit Windows, calls them with __stdcall. The JDK installed on a
 * Linux build machine carries only its Linux version, whose empty JNICALL would make every entry
 * point __cdecl and leave the arguments on the stack for a caller that expects them popped.
 * 64-bit Windows has one calling convention: compilers for it ignore __stdcall, and long is
 * 32 bits there too. */
#ifndef _JAVASOFT_JNI_MD_H_
#define _JAVASOFT_JNI_MD_H_

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

/* The JVM lays out Java values with these exact widths. */
#ifdef __cplusplus
static_assert(sizeof(jint) == 4, "jint must be 32 bits");
static_assert(sizeof(jlong) == 8, "jlong must be 64 bits");
static_assert(sizeof(jbyte) == 1, "jbyte must be 8 bits");
#else
_Static_assert(sizeof(jint) == 4, "jint must be 32 bits");
_Static_assert(sizeof(jlong) == 8, "jlong must be 64 bits");
_Static_assert(sizeof(jbyte) == 1, "jbyte must be 8 bits");
#endif

#endif /* _JAVASOFT_JNI_MD_H_ */
