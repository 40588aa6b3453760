// The library file loaded as the JVM loads it: dlopen with every symbol bound at the load and
// none offered to libraries loaded later, then each entry point found by its name.
#pragma once

#include <jni.h>

#include <filesystem>

namespace test_support {

using InitFunction = jboolean(JNICALL*)(JNIEnv*, jclass, jstring);
using CallFunction = void(JNICALL*)(JNIEnv*, jclass);

struct EntryPoints {
    InitFunction init = nullptr;
    CallFunction waitForChange = nullptr;
    CallFunction stop = nullptr;
};

// dlopen(file, RTLD_NOW | RTLD_LOCAL): null when it fails, with dlerror() saying why.
void* loadLibraryFile(const std::filesystem::path& file);
// The entry points of a loaded library; one that is missing fails the test and stays null.
EntryPoints entryPointsOf(void* library);

// nativeInit on `directory` through `entryPoints`, which must take the path's characters once and
// give them back once. Returns whether the watch started.
bool startThrough(const EntryPoints& entryPoints, const std::filesystem::path& directory);

}  // namespace test_support
