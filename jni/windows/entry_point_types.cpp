// The 32-bit JVM calls each entry point with __stdcall and expects it to pop its own arguments:
// 12 bytes for nativeInit, 8 for the others. A declaration that drifts from these types (another
// calling convention, another argument list) stops the build here instead of corrupting the
// JVM's stack at run time. 64-bit Windows has one calling convention, and there __stdcall means
// nothing; its export table names no argument bytes either, so this is what checks the argument
// lists of the 64-bit DLL.
#include <type_traits>

#include "jni/entry_points.h"

static_assert(std::is_same_v<
              decltype(&Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit),
              jboolean(__stdcall*)(JNIEnv*, jclass, jstring)>);
static_assert(std::is_same_v<
              decltype(&Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop),
              void(__stdcall*)(JNIEnv*, jclass)>);
static_assert(
    std::is_same_v<
        decltype(&Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange),
        void(__stdcall*)(JNIEnv*, jclass)>);
