// windowsfscm.dll as the JVM finds it: loaded with LoadLibrary, its three functions looked up by
// name.
#pragma once

#include <jni.h>
#include <windows.h>

#include <string>

using InitFunction = jboolean(JNICALL*)(JNIEnv*, jclass, jstring);
using NoResultFunction = void(JNICALL*)(JNIEnv*, jclass);

struct Library {
    InitFunction init;
    NoResultFunction stop;
    NoResultFunction waitForChange;
};

// windowsfscm.dll in this program's folder, a full path.
std::wstring libraryPath();

// Loads windowsfscm.dll from this program's folder and checks its exports: each function is
// found by its name and by its ordinal, at the same address, and not by a decorated name.
// False when the library cannot be used at all.
bool loadLibrary(Library* library);

// Loads the DLL at the full path `file`, as the JVM loads a library file it is given, and finds
// its three functions by name. Null when it cannot be loaded or lacks one of them.
HMODULE loadLibraryFile(const std::wstring& file, Library* library);
