// The three functions the JVM binds, by name, to the static native methods of
// talvo.index.windows_native.WindowsFilesystemChangeMonitor. The receiver is never used.
#pragma once

#include <jni.h>

extern "C" {

// javac's header for the Java class declares them as well; a test compiles both to check that
// they agree.
// NOLINTBEGIN(readability-redundant-declaration)

// Starts the watch on `path`; JNI_FALSE when it cannot be watched or is not a usable path.
JNIEXPORT jboolean JNICALL
Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(JNIEnv* env,
                                                                           jclass receiver,
                                                                           jstring path);

// Requests the stop; a blocked nativeWaitForChange returns and releases the watch.
JNIEXPORT void JNICALL Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop(
    JNIEnv* env, jclass receiver);

// Blocks until the tree changes or a stop is requested.
JNIEXPORT void JNICALL
Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange(
    JNIEnv* env, jclass receiver);

// NOLINTEND(readability-redundant-declaration)

}  // extern "C"
