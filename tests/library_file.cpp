#include "tests/library_file.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/fake_jni_env.h"

namespace test_support {

namespace {

void* entryPoint(void* library, const std::string& method) {
    std::string name = "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_" + method;
    void* found = dlsym(library, name.c_str());
    EXPECT_NE(found, nullptr) << name;
    return found;
}

}  // namespace

void* loadLibraryFile(const std::filesystem::path& file) {
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

EntryPoints entryPointsOf(void* library) {
    return {reinterpret_cast<InitFunction>(entryPoint(library, "nativeInit")),
            reinterpret_cast<CallFunction>(entryPoint(library, "nativeWaitForChange")),
            reinterpret_cast<CallFunction>(entryPoint(library, "nativeStop"))};
}

bool startThrough(const EntryPoints& entryPoints, const std::filesystem::path& directory) {
    FakeJniEnv fake(directory.string());
    bool started = entryPoints.init(fake.env(), nullptr, fake.string()) == JNI_TRUE;
    EXPECT_EQ(fake.getCalls(), 1);
    EXPECT_EQ(fake.releaseCalls(), 1);
    EXPECT_TRUE(fake.releasedAsHandedOut());
    return started;
}

}  // namespace test_support
