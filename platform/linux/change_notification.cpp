#include "platform/linux/change_notification.h"

#include <new>

#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"
#include "platform/linux/system_calls.h"

namespace kernel_stand_in {

ChangeNotification* ChangeNotification::create(const char* path) {
    void* memory = sys::allocate(sizeof(ChangeNotification));
    if (memory == nullptr) return nullptr;
    auto* notification = new (memory) ChangeNotification;
    if (notification->tree_.open(path)) return notification;
    destroy(notification);
    return nullptr;
}

void ChangeNotification::destroy(ChangeNotification* notification) {
    notification->~ChangeNotification();
    sys::deallocate(notification);
}

}  // namespace kernel_stand_in

namespace {

using kernel_stand_in::ChangeNotification;

constexpr DWORD SUPPORTED_FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;

ChangeNotification* lookupNotification(HANDLE handle) {
    kernel_stand_in::KernelObject object;
    if (!kernel_stand_in::lookupObject(handle, &object)) return nullptr;
    return object.notification;
}

}  // namespace

HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL watchSubtree, DWORD filter) {
    if (path == nullptr || watchSubtree == FALSE || filter != SUPPORTED_FILTER) {
        return INVALID_HANDLE_VALUE;
    }
    ChangeNotification* notification = ChangeNotification::create(path);
    if (notification == nullptr) return INVALID_HANDLE_VALUE;
    HANDLE handle = kernel_stand_in::registerObject(
        {kernel_stand_in::ObjectKind::ChangeNotification, -1, notification});
    if (handle != nullptr) return handle;
    ChangeNotification::destroy(notification);
    return INVALID_HANDLE_VALUE;
}

BOOL FindNextChangeNotification(HANDLE notification) {
    ChangeNotification* found = lookupNotification(notification);
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
    ChangeNotification::destroy(closed.notification);
    return TRUE;
}
