// The entry points only hand over to the monitor; nothing here throws, checks or clears a Java
// exception, and nothing allocates from the heap.
#include "jni/entry_points.h"

#include <jni.h>

#include <algorithm>
#include <cstddef>

#include "jni/path_conversion.h"
#include "monitor/monitor.h"
#include "monitor/platform.h"

namespace {

// The path's UTF-8 copy takes the calling thread's stack in proportion to the path: the
// conversion never lengthens a path, so what the JVM hands over, with its NUL, is room enough,
// and no longer than the platform's limit, so that a path it cannot open is refused within that.
// An ordinary path takes about its own length; the most is 4 KiB on Linux and 96 KiB on Windows
// (32,767 UTF-16 units of three bytes each).
constexpr std::size_t MOST_STACK_FOR_THE_PATH = std::size_t{96} * 1024;
static_assert(LONGEST_PATH_BYTES <= MOST_STACK_FOR_THE_PATH,
              "a longer path limit needs the path's copy somewhere other than the stack");

// strlen, which the Windows DLL cannot take from a C runtime.
std::size_t lengthOf(const char* characters) {
    std::size_t length = 0;
    while (characters[length] != '\0')
        ++length;
    return length;
}

}  // namespace

extern "C" {

JNIEXPORT jboolean JNICALL
Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(JNIEnv* env, jclass,
                                                                           jstring path) {
    // GetStringUTFChars on a null string would crash the JVM.
    if (path == nullptr) return JNI_FALSE;
    // NULL means the JVM ran out of memory; its exception stays pending for the caller.
    const char* characters = env->GetStringUTFChars(path, nullptr);
    if (characters == nullptr) return JNI_FALSE;

    const std::size_t capacity = std::min(lengthOf(characters) + 1, LONGEST_PATH_BYTES);
    auto* platformPath = static_cast<char*>(__builtin_alloca(capacity));
    bool started =
        modifiedUtf8ToUtf8(characters, platformPath, capacity) && startWatch(platformPath);
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
