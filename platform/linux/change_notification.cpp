#include "platform/linux/change_notification.h"

#include <new>

#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"

namespace {

constexpr DWORD SUPPORTED_FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

kernel_stand_in::ChangeNotification* lookupNotification(HANDLE handle) {
    kernel_stand_in::KernelObject object;
    if (!kernel_stand_in::lookupObject(handle, &object)) return nullptr;
    return object.notification;
}

}  // namespace

HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL watchSubtree, DWORD filter) {
    if (path == nullptr || watchSubtree == FALSE || filter != SUPPORTED_FILTER) {
        return INVALID_HANDLE_VALUE;
    }
    auto* notification = new (std::nothrow) kernel_stand_in::ChangeNotification;
    if (notification == nullptr) return INVALID_HANDLE_VALUE;
    if (notification->open(path)) {
        HANDLE handle = kernel_stand_in::registerObject(
            {kernel_stand_in::ObjectKind::ChangeNotification, -1, notification});
        if (handle != nullptr) return handle;
    }
    delete notification;
    return INVALID_HANDLE_VALUE;
}

BOOL FindNextChangeNotification(HANDLE notification) {
    kernel_stand_in::ChangeNotification* found = lookupNotification(notification);
    if (found == nullptr) return FALSE;
    found->rearm();
    return TRUE;
}

BOOL FindCloseChangeNotification(HANDLE notification) {
    kernel_stand_in::KernelObject closed;
    if (!kernel_stand_in::unregisterObject(
            notification, kernel_stand_in::ObjectKind::ChangeNotification, &closed)) {
        return FALSE;
    }
    delete closed.notification;
    return TRUE;
}
