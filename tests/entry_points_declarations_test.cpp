// Compiles only while our declarations of the entry points agree with those javac writes for the
// native methods of the Java class: a C function declared twice with other types is an error.
#include "jni/entry_points.h"
#include "talvo_index_windows_native_WindowsFilesystemChangeMonitor.h"
