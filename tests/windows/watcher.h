// The JVM's watcher thread: one long-lived thread that calls nativeWaitForChange whenever it is
// asked to, so a test decides when each wait begins and can tell whether it has returned. It can
// open the watch too, as a watch opened on its own thread is.
#pragma once

#include <windows.h>

#include <string>

#include "tests/fake_jni_env.h"
#include "tests/windows/library.h"

class Watcher {
  public:
    explicit Watcher(const Library& library);
    // Ends the thread. A wait still blocked then (after a failed check) is ended with a stop.
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Has the thread begin a wait. While the previous wait has not returned (a check failed),
    // that wait stands for the new one, so that every return answers one beginWait.
    void beginWait();
    // Whether the wait begun last has returned, waiting up to `milliseconds` for it.
    bool returnsWithin(DWORD milliseconds);
    // Whether a wait was begun and has not been seen returning.
    bool waiting() const { return waiting_; }
    // Has the thread call nativeInit on `directory` (see start in watch_steps.h) and returns its
    // answer once the call has returned. False without a call while a wait has not returned.
    bool startOnThread(const std::wstring& directory);

  private:
    static DWORD WINAPI run(LPVOID self);

    const Library& library_;
    // The JNIEnv of the thread's calls, which use none of it.
    test_support::FakeJniEnv env_{"unused"};
    HANDLE begin_;
    HANDLE returned_;
    HANDLE thread_;
    bool waiting_ = false;
    // Read by the thread after begin_ is set, written before it is set.
    bool quit_ = false;
    const std::wstring* startOn_ = nullptr;
    // Written by the thread before returned_ is set, read after it is.
    bool started_ = false;
};
