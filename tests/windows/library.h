// windowsfscm.dll as the JVM finds it: loaded with LoadLibrary, its three functions looked up by
// name.
#pragma once

#include <jni.h>
#include <windows.h>

using InitFunction = jboolean(JNICALL*)(JNIEnv*, jclass, jstring);
using NoResultFunction = void(JNICALL*)(JNIEnv*, jclass);

struct Library {
    InitFunction init;
    NoResultFunction stop;
    NoResultFunction waitForChange;
};

// Loads windowsfscm.dll from this program's folder and checks its exports: each function is
// found by its name and by its ordinal, at the same address, and not by a decorated name.
// False when the library cannot be used at all.
bool loadLibrary(Library* library);
