// Java hands over absolute paths of any length. Wine does not limit paths to MAX_PATH, so it
// cannot show that a long one needs the \\?\ prefix (a native test checks the path the kernel is
// handed); what it shows is that long paths, prefixed or not, still watch, and that the longest
// ones fit in the stack of a JVM thread.
#include <windows.h>

#include "tests/fake_jni_env.h"
#include "tests/windows/checks.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"
#include "tests/windows/watch_steps.h"

namespace {

// A 32-bit JVM's threads have 320 KiB of stack unless told otherwise (-Xss), of which its guard
// pages and the Java frames below a native call take some; a 64-bit JVM gives 1 MiB.
constexpr std::size_t STACK_A_JVM_LEAVES = std::size_t{288} * 1024;
// The longest path the kernel takes, in UTF-16 units.
constexpr std::size_t LONGEST_PATH_UNITS = 32767;
// A name of 80 CJK characters: 240 bytes of UTF-8, the most a Linux file name under Wine takes.
const std::wstring WIDE_NAME(80, L'\u6587');

// Directories below the MAX_PATH limit are made through the \\?\ prefix, as on Windows they must.
std::wstring prefixed(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

// Makes `base` and directories below it, named by `name` and a number, until the path is longer
// than `length` units; returns the deepest.
std::wstring makeDeepDirectory(const std::wstring& base, const std::wstring& name,
                               std::size_t length) {
    makeDirectory(prefixed(base));
    std::wstring path = base;
    for (int level = 0; path.size() <= length; ++level) {
        path += L"\\" + name + std::to_wstring(level);
        makeDirectory(prefixed(path));
    }
    return path;
}

// `target` reached through names that ".." takes back, `length` units long: the separators that
// make up the rest are merged into one.
std::wstring detour(const std::wstring& target, std::size_t length) {
    std::wstring path = target;
    const std::wstring step = L"\\" + WIDE_NAME + L"\\..";
    while (path.size() + step.size() <= length)
        path += step;
    path.resize(length, L'\\');
    return path;
}

// A watch started, woken by a file made in `directory`, and ended.
void checkWatches(const Library& library, Watcher& watcher, const std::wstring& given,
                  const std::wstring& directory, const std::string& what) {
    expect(start(library, given), ("nativeInit on " + what + " gives true").c_str());
    expect(nextWaitBlocks(watcher), "the wait blocks while the tree is quiet");
    createFile(prefixed(directory + L"\\new-" + std::to_wstring(GetTickCount()) + L".txt"));
    expect(returns(watcher), ("a new file wakes the wait on " + what).c_str());
    endWatch(library, watcher);
}

struct StartCall {
    const Library* library;
    test_support::FakeJniEnv* path;
    jboolean started;
    bool returned;
};

DWORD WINAPI startOnThisThread(LPVOID argument) {
    // Wine gives a thread 1 MiB of stack whatever it is asked for, so the surplus is taken up
    // first: the call has what a JVM would leave it.
    ULONG_PTR lowest = 0;
    ULONG_PTR highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    const std::size_t left = reinterpret_cast<ULONG_PTR>(&lowest) - lowest;
    if (left > STACK_A_JVM_LEAVES) {
        auto* surplus = static_cast<volatile char*>(__builtin_alloca(left - STACK_A_JVM_LEAVES));
        surplus[0] = 0;
    }
    auto* call = static_cast<StartCall*>(argument);
    call->started = call->library->init(call->path->env(), nullptr, call->path->string());
    call->returned = true;
    return 0;
}

// nativeInit with no more stack than a JVM leaves it. Running out of it ends the program.
bool startOnJvmStack(const Library& library, const std::wstring& path) {
    test_support::FakeJniEnv characters(modifiedUtf8(path));
    StartCall call{&library, &characters, JNI_FALSE, false};
    HANDLE thread = CreateThread(nullptr, 0, &startOnThisThread, &call, 0, nullptr);
    if (thread == nullptr) {
        expect(false, "setting up: a thread with a JVM thread's stack");
        return false;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    expect(call.returned && characters.getCalls() == 1 && characters.releaseCalls() == 1 &&
               characters.releasedAsHandedOut(),
           "nativeInit returns, having taken the path's characters once and given them back once");
    return call.started == JNI_TRUE;
}

}  // namespace

void checkLongPaths(const Library& library, Watcher& watcher, const std::wstring& root) {
    const std::wstring deep = makeDeepDirectory(root + L"\\long", std::wstring(100, L'd'), 400);
    checkWatches(library, watcher, deep, deep, "a path longer than MAX_PATH");
    checkWatches(library, watcher, prefixed(deep), deep, "that path with the \\\\?\\ prefix");

    // The full path is what takes the prefix: taken literally, "." and ".." would name nothing.
    const std::wstring parent = deep.substr(0, deep.rfind(L'\\'));
    const std::wstring roundabout = parent + L"\\.\\gone\\..\\" + deep.substr(parent.size() + 1);
    checkWatches(library, watcher, roundabout, deep,
                 "a path longer than MAX_PATH through \".\" and \"..\"");

    // The longest path the kernel takes, its UTF-8 copy as long as it gets (three bytes a unit),
    // with a JVM thread's stack: once naming the tree through "..", once a missing directory whose
    // full path is that long too.
    const std::wstring tree = root + L"\\longest";
    makeDirectory(tree);
    expect(startOnJvmStack(library, detour(tree, LONGEST_PATH_UNITS)),
           "nativeInit on a path of 32,767 UTF-16 units through \"..\", with a JVM thread's stack, "
           "gives true");
    // The kernel cancels the I/O of a thread that ends, the one that armed the notification
    // included: the first wait may return at once, and the next one re-arms it.
    expect(laterWaitBlocks(watcher), "a later wait blocks while the tree is quiet");
    createFile(tree + L"\\new.txt");
    expect(returns(watcher), "a new file wakes the wait on that path");
    endWatch(library, watcher);

    // With the prefix, 32,767 units.
    std::wstring missing = root + L"\\missing";
    while (missing.size() + 1 + WIDE_NAME.size() <= LONGEST_PATH_UNITS - 4)
        missing += L"\\" + WIDE_NAME;
    missing.resize(LONGEST_PATH_UNITS - 4, WIDE_NAME[0]);
    expect(!startOnJvmStack(library, missing),
           "nativeInit on a missing directory of 32,763 UTF-16 units, with a JVM thread's stack, "
           "gives false");

    missing.resize(LONGEST_PATH_UNITS + 1, L'x');
    expect(!startOnJvmStack(library, missing),
           "nativeInit on a path longer than the kernel takes gives false");
}
