// CloseHandle takes a handle of any kind, as on Windows; each kind releases its own object.
#include "platform/linux/change_notification.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"
#include "platform/linux/system_calls.h"

BOOL CloseHandle(HANDLE object) {
    kernel_stand_in::KernelObject closed;
    if (!kernel_stand_in::unregisterObject(object, kernel_stand_in::ObjectKind::None, &closed)) {
        return FALSE;
    }
    if (closed.kind == kernel_stand_in::ObjectKind::Event) {
        kernel_stand_in::sys::close(closed.eventFd);
    } else {
        kernel_stand_in::ChangeNotification::destroy(closed.notification);
    }
    return TRUE;
}
