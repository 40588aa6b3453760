#include "platform/linux/change_notification.h"

#include <new>

#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"

namespace {

constexpr DWORD SUPPORTED_FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

linux_kernel::ChangeNotification* lookupNotification(HANDLE handle) {
    linux_kernel::KernelObject object;
    if (!linux_kernel::lookupObject(handle, &object)) return nullptr;
    return object.notification;
}

}  // namespace

HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL watchSubtree, DWORD filter) {
    if (path == nullptr || watchSubtree == FALSE || filter != SUPPORTED_FILTER) {
        return INVALID_HANDLE_VALUE;
    }
    auto* notification = new (std::nothrow) linux_kernel::ChangeNotification;
    if (notification == nullptr) return INVALID_HANDLE_VALUE;
    if (notification->open(path)) {
        HANDLE handle = linux_kernel::registerObject(
            {linux_kernel::ObjectKind::ChangeNotification, -1, notification});
        if (handle != nullptr) return handle;
    }
    delete notification;
    return INVALID_HANDLE_VALUE;
}

BOOL FindNextChangeNotification(HANDLE notification) {
    linux_kernel::ChangeNotification* found = lookupNotification(notification);
    if (found == nullptr) return FALSE;
    found->rearm();
    return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE notification) {
    linux_kernel::KernelObject closed;
    if (!linux_kernel::unregisterObject(notification, linux_kernel::ObjectKind::ChangeNotification,
                                        &closed)) {
        return FALSE;
    }
    delete closed.notification;
    return TRUE;
}
