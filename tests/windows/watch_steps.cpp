#include "tests/windows/watch_steps.h"

#include "tests/fake_jni_env.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"

namespace {

using test_support::FakeJniEnv;

// How long a wait that must return may take: generous, never a speed requirement.
constexpr DWORD RETURNS_WITHIN_MS = 20000;
// How long a wait that must not return is watched.
constexpr DWORD STAYS_BLOCKED_MS = 300;
// The most waits that one change may end.
constexpr int MOST_WAITS_FOR_ONE_CHANGE = 3;

}  // namespace

bool start(const Library& library, const std::wstring& directory) {
    FakeJniEnv path(modifiedUtf8(directory));
    bool started = library.init(path.env(), nullptr, path.string()) == JNI_TRUE;
    if (path.getCalls() != 1 || path.releaseCalls() != 1 || !path.gotAsExpected() ||
        !path.releasedAsHandedOut()) {
        expect(false, "nativeInit takes the path's characters once and gives them back once");
    }
    return started;
}

void stop(const Library& library) {
    FakeJniEnv stopper("unused");
    library.stop(stopper.env(), nullptr);
}

bool returns(Watcher& watcher) {
    return watcher.returnsWithin(RETURNS_WITHIN_MS);
}

bool nextWaitBlocks(Watcher& watcher) {
    watcher.beginWait();
    return !watcher.returnsWithin(STAYS_BLOCKED_MS);
}

bool laterWaitBlocks(Watcher& watcher) {
    for (int wait = 0; wait < MOST_WAITS_FOR_ONE_CHANGE; ++wait) {
        if (nextWaitBlocks(watcher)) return true;
    }
    return false;
}

bool allStayBlocked(const std::vector<Watcher*>& watchers) {
    Sleep(STAYS_BLOCKED_MS);
    bool blocked = true;
    // Every return is taken in, so each watcher knows whether its wait still runs.
    for (Watcher* watcher : watchers) {
        if (!watcher->waiting() || watcher->returnsWithin(0)) blocked = false;
    }
    return blocked;
}

bool allLaterWaitsBlock(const std::vector<Watcher*>& watchers) {
    for (int wait = 0; wait < MOST_WAITS_FOR_ONE_CHANGE; ++wait) {
        for (Watcher* watcher : watchers)
            watcher->beginWait();
        if (allStayBlocked(watchers)) return true;
    }
    return false;
}

void endWatch(const Library& library, Watcher& watcher) {
    stop(library);
    if (!watcher.waiting()) watcher.beginWait();
    expect(returns(watcher), "the stop ends the watch");
}
