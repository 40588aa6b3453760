// Waiting on several handles: one poll over their descriptors, with no time-out. Inotify
// events that are not changes are taken in and the poll resumes, so the wait returns only when
// a handle is really signalled and costs nothing while the tree is quiet.
#include <poll.h>

#include "platform/linux/change_notification.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"
#include "platform/linux/system_calls.h"

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (handles == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS || waitAll != FALSE ||
        milliseconds != INFINITE) {
        return WAIT_FAILED;
    }
    kernel_stand_in::KernelObject objects[MAXIMUM_WAIT_OBJECTS];
    pollfd descriptors[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        if (!kernel_stand_in::lookupObject(handles[i], &objects[i])) return WAIT_FAILED;
        int fd = objects[i].kind == kernel_stand_in::ObjectKind::Event
                     ? objects[i].eventFd
                     : objects[i].notification->descriptor();
        descriptors[i] = {fd, POLLIN, 0};
    }

    for (;;) {
        bool alreadySignalled = false;
        for (DWORD i = 0; i < count; ++i) {
            if (objects[i].notification != nullptr && objects[i].notification->signalled()) {
                alreadySignalled = true;
            }
        }
        if (kernel_stand_in::sys::poll(descriptors, count, alreadySignalled ? 0 : -1) < 0) {
            return WAIT_FAILED;
        }
        // The lowest signalled handle wins, as on Windows.
        for (DWORD i = 0; i < count; ++i) {
            if (descriptors[i].revents & (POLLERR | POLLNVAL)) return WAIT_FAILED;
            kernel_stand_in::ChangeNotification* notification = objects[i].notification;
            bool readable = (descriptors[i].revents & POLLIN) != 0;
            if (notification == nullptr) {
                if (readable) return WAIT_OBJECT_0 + i;
                continue;
            }
            if (readable && !notification->signalled()) notification->takeEvents();
            if (notification->signalled()) return WAIT_OBJECT_0 + i;
        }
    }
}
