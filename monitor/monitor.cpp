#include "monitor/monitor.h"

#include <atomic>
#include <cstdint>

#include "monitor/platform.h"

namespace {

// Files and directories created, deleted or renamed, and files written (last-write time).
constexpr DWORD CHANGE_FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
static_assert(CHANGE_FILTER == 0x13);

constexpr BOOL WATCH_SUBTREE = TRUE;

constexpr int STOP_EVENT = 0;
constexpr int CHANGE_NOTIFICATION = 1;

// The state of the one watch: zero at load, never touched by loading or unloading.
std::int32_t firstWait;
// The kernel waits on both slots as one array, stop event first. Both are null while no watch
// is open. The stopping thread reads slot 0 while the waiter may be blocked on the array, so
// the slots are written atomically.
HANDLE waitHandles[2];
std::atomic<std::int32_t> stopRequested;

HANDLE loadSlot(int slot) {
    return std::atomic_ref<HANDLE>(waitHandles[slot]).load(std::memory_order_acquire);
}

void storeSlot(int slot, HANDLE handle) {
    std::atomic_ref<HANDLE>(waitHandles[slot]).store(handle, std::memory_order_release);
}

bool watchOpen() {
    return loadSlot(CHANGE_NOTIFICATION) != nullptr;
}

void releaseWatch() {
    // The stopping thread publishes the flag before it sets the event. Waiting for the set
    // means it is done with the handle before we close it, so it never sets a released handle
    // or, after a new start, the next watch's stop event.
    if (stopRequested.load(std::memory_order_acquire) == 1) {
        WaitForMultipleObjects(1, &waitHandles[STOP_EVENT], FALSE, INFINITE);
    }
    CloseHandle(waitHandles[STOP_EVENT]);
    FindCloseChangeNotification(waitHandles[CHANGE_NOTIFICATION]);
    storeSlot(STOP_EVENT, nullptr);
    storeSlot(CHANGE_NOTIFICATION, nullptr);
}

}  // namespace

bool startWatch(const char* path) {
    // A watcher that leaves its loop on its own flag can miss the stop that lands just after
    // its last wait returned on a change; nobody consumed that stop, so release the watch here.
    if (watchOpen()) releaseWatch();

    firstWait = 1;
    stopRequested.store(0, std::memory_order_release);

    storeSlot(STOP_EVENT, CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (waitHandles[STOP_EVENT] == nullptr) return false;

    storeSlot(CHANGE_NOTIFICATION,
              FindFirstChangeNotificationA(path, WATCH_SUBTREE, CHANGE_FILTER));
    if (waitHandles[CHANGE_NOTIFICATION] != INVALID_HANDLE_VALUE) return true;

    CloseHandle(waitHandles[STOP_EVENT]);
    storeSlot(STOP_EVENT, nullptr);
    storeSlot(CHANGE_NOTIFICATION, nullptr);
    return false;
}

void waitForChange() {
    if (!watchOpen()) return;

    // The first wait takes the notification as the start opened it, so a change made before
    // it began is not lost.
    if (firstWait != 0) {
        firstWait = 0;
    } else {
        FindNextChangeNotification(waitHandles[CHANGE_NOTIFICATION]);
    }

    WaitForMultipleObjects(2, waitHandles, FALSE, INFINITE);

    if (stopRequested.load(std::memory_order_acquire) == 1) releaseWatch();
}

void requestStop() {
    // Only the stop that moves the flag from 0 to 1 sets the event: exactly one thread can be
    // about to use slot 0, and releaseWatch waits for that one.
    if (stopRequested.exchange(1, std::memory_order_acq_rel) == 1) return;
    HANDLE stopEvent = loadSlot(STOP_EVENT);
    if (stopEvent != nullptr) SetEvent(stopEvent);
}
