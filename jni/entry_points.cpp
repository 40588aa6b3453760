// The entry points only hand over to the monitor; nothing here throws, checks or clears a Java
// exception, and nothing allocates.
#include "jni/entry_points.h"

#include <jni.h>

#include "jni/path_conversion.h"
#include "monitor/monitor.h"

extern "C" {

JNIEXPORT jboolean JNICALL
Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(JNIEnv* env, jclass,
                                                                           jstring path) {
    // GetStringUTFChars on a null string would crash the JVM.
    if (path == nullptr) return JNI_FALSE;
    // NULL means the JVM ran out of memory; its exception stays pending for the caller.
    const char* characters = env->GetStringUTFChars(path, nullptr);
    if (characters == nullptr) return JNI_FALSE;

    char platformPath[PATH_CAPACITY];
    bool started = modifiedUtf8ToUtf8(characters, platformPath, sizeof platformPath) &&
                   startWatch(platformPath);
    env->ReleaseStringUTFChars(path, characters);
    return started ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL
Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop(JNIEnv*, jclass) {
    requestStop();
}

JNIEXPORT void JNICALL
Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange(JNIEnv*,
                                                                                    jclass) {
    waitForChange();
}

}  // extern "C"
