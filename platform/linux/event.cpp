// Manual-reset events over eventfd: signalled while the counter is non-zero, and nothing here
// ever reads it back to zero, so once set an event stays set until it is closed.
#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"
#include "platform/linux/system_calls.h"

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    if (attributes != nullptr || manualReset == FALSE || name != nullptr) return nullptr;
    int eventFd = linux_kernel::sys::eventFd(initialState != FALSE);
    if (eventFd < 0) return nullptr;
    HANDLE event =
        linux_kernel::registerObject({linux_kernel::ObjectKind::Event, eventFd, nullptr});
    if (event == nullptr) linux_kernel::sys::close(eventFd);
    return event;
}

BOOL SetEvent(HANDLE event) {
    linux_kernel::sys::pauseIfSlowed(linux_kernel::sys::Call::SetEvent);
    return linux_kernel::useEventFd(event, linux_kernel::sys::signalEventFd) ? TRUE : FALSE;
}
