#include "platform/linux/handle_table.h"

#include <cstdint>

#include "platform/linux/lock.h"

namespace kernel_stand_in {
namespace {

// A process holds two handles per watch; the table is sized for far more than that.
constexpr std::uint32_t SLOTS = 64;
constexpr std::uint32_t SLOT_BITS = 8;
constexpr std::uint32_t GENERATION_LIMIT = 1u << 23;

struct Slot {
    std::uint32_t generation = 0;
    KernelObject object;
};

Lock tableLock;
Slot slots[SLOTS];
unsigned closedHandleCalls;

// Slot numbers start at 1 in the value, so no handle is ever 0 (NULL) or all ones
// (INVALID_HANDLE_VALUE).
HANDLE encode(std::uint32_t slot, std::uint32_t generation) {
    return reinterpret_cast<HANDLE>(
        static_cast<std::uintptr_t>((generation << SLOT_BITS) | (slot + 1)));
}

Slot* find(HANDLE handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    std::uintptr_t slot = (value & ((1u << SLOT_BITS) - 1)) - 1;
    std::uintptr_t generation = value >> SLOT_BITS;
    if (slot >= SLOTS) return nullptr;
    if (slots[slot].object.kind == ObjectKind::None || slots[slot].generation != generation) {
        ++closedHandleCalls;
        return nullptr;
    }
    return &slots[slot];
}

}  // namespace

HANDLE registerObject(const KernelObject& object) {
    Locked hold(tableLock);
    for (std::uint32_t slot = 0; slot < SLOTS; ++slot) {
        if (slots[slot].object.kind != ObjectKind::None) continue;
        slots[slot].generation = (slots[slot].generation + 1) % GENERATION_LIMIT;
        slots[slot].object = object;
        return encode(slot, slots[slot].generation);
    }
    return nullptr;
}

bool lookupObject(HANDLE handle, KernelObject* object) {
    Locked hold(tableLock);
    Slot* slot = find(handle);
    if (slot == nullptr) return false;
    *object = slot->object;
    return true;
}

bool unregisterObject(HANDLE handle, ObjectKind kind, KernelObject* object) {
    Locked hold(tableLock);
    Slot* slot = find(handle);
    if (slot == nullptr || (kind != ObjectKind::None && slot->object.kind != kind)) return false;
    *object = slot->object;
    slot->object = KernelObject{};
    return true;
}

bool useEventFd(HANDLE handle, void (*use)(int eventFd)) {
    Locked hold(tableLock);
    Slot* slot = find(handle);
    if (slot == nullptr || slot->object.kind != ObjectKind::Event) return false;
    use(slot->object.eventFd);
    return true;
}

unsigned closedHandleUses() {
    Locked hold(tableLock);
    return closedHandleCalls;
}

}  // namespace kernel_stand_in
