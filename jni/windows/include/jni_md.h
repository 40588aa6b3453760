/* The machine-dependent part of jni.h for 32-bit Windows, where the JVM calls native methods
 * with __stdcall and finds them in the DLL's export table. The JDK installed on a Linux build
 * machine carries only its Linux version, whose empty JNICALL would make every entry point
 * __cdecl and leave the arguments on the stack for a caller that expects them popped. */
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
