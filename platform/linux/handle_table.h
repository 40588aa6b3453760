// The kernel objects behind handles. A handle value carries its slot and the slot's generation,
// so a closed handle is rejected rather than taken for whatever reuses its slot. The table only
// maps handles to objects; each kind of object is made and released by its own code.
#pragma once

#include <cstdint>

#include "platform/linux/kernel.h"

namespace kernel_stand_in {

class ChangeNotification;

enum class ObjectKind : std::uint8_t { None, Event, ChangeNotification };

struct KernelObject {
    ObjectKind kind = ObjectKind::None;
    int eventFd = -1;
    ChangeNotification* notification = nullptr;
};

// Returns the new handle, or nullptr when the table is full.
HANDLE registerObject(const KernelObject& object);
// Copies out the object behind `handle`; false for a handle that is not open.
bool lookupObject(HANDLE handle, KernelObject* object);
// Removes the handle and hands its object over for release; false for a handle that is not
// open or not of `kind` (ObjectKind::None accepts any).
bool unregisterObject(HANDLE handle, ObjectKind kind, KernelObject* object);
// Runs `use` on an event's descriptor while no other thread can close it.
bool useEventFd(HANDLE handle, void (*use)(int eventFd));
// How many calls named a handle that had been closed. For tests: a correct caller makes none.
unsigned closedHandleUses();

}  // namespace kernel_stand_in
