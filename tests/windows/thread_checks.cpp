// Whose the pending change notification is. The request that arms it belongs to the thread that
// issued it, and Windows cancels a thread's requests when the thread ends: a watch opened by a
// thread that ends before the first wait may see that wait return with nothing changed, which is
// why a watch is opened on the thread that waits on it.
#include <windows.h>

#include "tests/windows/checks.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"
#include "tests/windows/watch_steps.h"

namespace {

// How long a first wait that must not return is watched: longer than a cancelled request takes
// to signal, which it does at once.
constexpr DWORD FIRST_WAIT_STAYS_BLOCKED_MS = 2000;
// How long the case that only reports waits for a wait that may return with nothing changed.
constexpr DWORD NOTE_WAITS_MS = 5000;

struct StartCall {
    const Library* library;
    const std::wstring* directory;
    bool started;
};

DWORD WINAPI startAndEnd(LPVOID argument) {
    auto* call = static_cast<StartCall*>(argument);
    call->started = start(*call->library, *call->directory);
    return 0;
}

// nativeInit on a thread of its own, which has ended when this returns.
bool startOnThreadThatEnds(const Library& library, const std::wstring& directory) {
    StartCall call{&library, &directory, false};
    HANDLE thread = CreateThread(nullptr, 0, &startAndEnd, &call, 0, nullptr);
    if (thread == nullptr) {
        expect(false, "setting up: a thread that opens the watch");
        return false;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return call.started;
}

}  // namespace

void checkWatchOnItsOwnThread(const Library& library, Watcher& watcher, const std::wstring& root) {
    const std::wstring tree = root + L"\\own-thread";
    makeDirectory(tree);
    expect(watcher.startOnThread(tree), "nativeInit on the watcher's own thread gives true");
    watcher.beginWait();
    expect(!watcher.returnsWithin(FIRST_WAIT_STAYS_BLOCKED_MS),
           "the first wait, on the thread that opened the watch, stays blocked while the tree is "
           "quiet");
    createFile(tree + L"\\new.txt");
    expect(returns(watcher), "a new file wakes that wait");
    expect(laterWaitBlocks(watcher), "the next wait re-arms and blocks");
    createFile(tree + L"\\second.txt");
    expect(returns(watcher), "another new file wakes it");
    endWatch(library, watcher);
}

void checkOpenerThatEnds(const Library& library, Watcher& watcher, const std::wstring& root) {
    const std::wstring tree = root + L"\\opener-ended";
    makeDirectory(tree);
    expect(startOnThreadThatEnds(library, tree),
           "nativeInit on a thread that then ends gives true");
    watcher.beginWait();
    if (watcher.returnsWithin(NOTE_WAITS_MS)) {
        note(
            "the thread that opened the watch ended before the first wait, and that wait, on "
            "another thread, returned with nothing changed: this platform cancels the ended "
            "thread's pending notification, as Windows documents");
    } else {
        note(
            "the thread that opened the watch ended before the first wait, and that wait, on "
            "another thread, stayed blocked: this platform keeps the ended thread's pending "
            "notification (Windows documents that it cancels it)");
        createFile(tree + L"\\first.txt");
        expect(returns(watcher), "a new file wakes that first wait");
    }
    // Either way, the next wait re-arms the notification on the thread that waits.
    expect(laterWaitBlocks(watcher),
           "a later wait re-arms the notification on its own thread and blocks while the tree is "
           "quiet");
    createFile(tree + L"\\new.txt");
    expect(returns(watcher), "a new file wakes that wait");
    endWatch(library, watcher);
}
