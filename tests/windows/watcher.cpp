#include "tests/windows/watcher.h"

#include "tests/windows/watch_steps.h"

Watcher::Watcher(const Library& library)
    : library_(library),
      begin_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      returned_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      thread_(CreateThread(nullptr, 0, &Watcher::run, this, 0, nullptr)) {}

Watcher::~Watcher() {
    if (waiting_) {
        library_.stop(env_.env(), nullptr);
        returnsWithin(INFINITE);
    }
    quit_ = true;
    SetEvent(begin_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(returned_);
    CloseHandle(begin_);
}

void Watcher::beginWait() {
    if (waiting_) return;
    waiting_ = true;
    SetEvent(begin_);
}

bool Watcher::returnsWithin(DWORD milliseconds) {
    if (WaitForSingleObject(returned_, milliseconds) != WAIT_OBJECT_0) return false;
    waiting_ = false;
    return true;
}

bool Watcher::startOnThread(const std::wstring& directory) {
    if (waiting_) return false;
    startOn_ = &directory;
    SetEvent(begin_);
    WaitForSingleObject(returned_, INFINITE);
    startOn_ = nullptr;
    return started_;
}

DWORD WINAPI Watcher::run(LPVOID self) {
    auto* watcher = static_cast<Watcher*>(self);
    for (;;) {
        WaitForSingleObject(watcher->begin_, INFINITE);
        if (watcher->quit_) return 0;
        if (watcher->startOn_ != nullptr) {
            watcher->started_ = start(watcher->library_, *watcher->startOn_);
        } else {
            watcher->library_.waitForChange(watcher->env_.env(), nullptr);
        }
        SetEvent(watcher->returned_);
    }
}
