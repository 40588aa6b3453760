// Manual-reset events over eventfd: signalled while the counter is non-zero, and nothing here
// ever reads it back to zero, so once set an event stays set until it is closed.
#include "platform/linux/handle_table.h"
#include "platform/linux/kernel.h"
#include "platform/linux/system_calls.h"

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    if (attributes != nullptr || manualReset == FALSE || name != nullptr) return nullptr;
    int eventFd = kernel_stand_in::sys::eventFd(initialState != FALSE);
    if (eventFd < 0) return nullptr;
    HANDLE event =
        kernel_stand_in::registerObject({kernel_stand_in::ObjectKind::Event, eventFd, nullptr});
    if (event == nullptr) kernel_stand_in::sys::close(eventFd);
    return event;
}

BOOL SetEvent(HANDLE event) {
    kernel_stand_in::sys::pauseIfSlowed(kernel_stand_in::sys::Call::SetEvent);
    return kernel_stand_in::useEventFd(event, kernel_stand_in::sys::signalEventFd) ? TRUE : FALSE;
}
