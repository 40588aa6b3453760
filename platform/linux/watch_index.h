// Finds a watched directory by its inotify watch descriptor. Open addressing with linear probing
// that stores entry numbers only (each entry knows its own descriptor), so a slot costs 4 bytes.
// Descriptors are handed out cyclically by the kernel, so a plain array indexed by descriptor
// would keep growing as directories come and go; this table stays proportional to what is
// watched. It grows once four-fifths full: the kernel hands out descriptors in sequence, and
// Fibonacci hashing spreads such runs evenly, so probe runs stay short at that load.
#pragma once

#include <cstdint>

#include "platform/linux/system_calls.h"

namespace kernel_stand_in {

class WatchIndex {
  public:
    static constexpr std::uint32_t NOT_FOUND = UINT32_MAX;

    WatchIndex() = default;
    ~WatchIndex() { sys::deallocate(slots_); }
    WatchIndex(const WatchIndex&) = delete;
    WatchIndex& operator=(const WatchIndex&) = delete;

    // `descriptorOf(entry)` gives the watch descriptor of an entry number.
    template <typename DescriptorOf>
    std::uint32_t find(int descriptor, DescriptorOf descriptorOf) const {
        if (slots_ == nullptr) return NOT_FOUND;
        for (std::uint32_t at = home(descriptor);; at = (at + 1) & mask_) {
            std::uint32_t slot = slots_[at];
            if (slot == EMPTY) return NOT_FOUND;
            if (descriptorOf(slot - 1) == descriptor) return slot - 1;
        }
    }

    // The descriptor must not be in the table yet. False when memory ran out.
    template <typename DescriptorOf>
    bool insert(int descriptor, std::uint32_t entry, DescriptorOf descriptorOf) {
        if ((count_ + 1) * 5 > capacity() * 4 && !grow(descriptorOf)) return false;
        place(descriptor, entry);
        ++count_;
        return true;
    }

    template <typename DescriptorOf>
    void erase(int descriptor, DescriptorOf descriptorOf) {
        if (slots_ == nullptr) return;
        std::uint32_t hole = home(descriptor);
        while (slots_[hole] != EMPTY && descriptorOf(slots_[hole] - 1) != descriptor) {
            hole = (hole + 1) & mask_;
        }
        if (slots_[hole] == EMPTY) return;
        --count_;
        // Shift later members of the probe run back so lookups never need tombstones.
        for (std::uint32_t next = (hole + 1) & mask_; slots_[next] != EMPTY;
             next = (next + 1) & mask_) {
            std::uint32_t wanted = home(descriptorOf(slots_[next] - 1));
            bool movable = hole <= next ? (wanted <= hole || wanted > next)
                                        : (wanted <= hole && wanted > next);
            if (movable) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = EMPTY;
    }

    void release() {
        sys::deallocate(slots_);
        slots_ = nullptr;
        mask_ = 0;
        shift_ = 32;
        count_ = 0;
    }

  private:
    static constexpr std::uint32_t EMPTY = 0;

    static std::uint32_t log2(std::uint32_t powerOfTwo) {
        std::uint32_t bits = 0;
        while ((1u << bits) < powerOfTwo)
            ++bits;
        return bits;
    }

    std::uint32_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }

    std::uint32_t home(int descriptor) const {
        // Fibonacci hashing: the high bits of the product spread nearby descriptors apart.
        return (static_cast<std::uint32_t>(descriptor) * 0x9E3779B1u) >> shift_;
    }

    void place(int descriptor, std::uint32_t entry) {
        std::uint32_t at = home(descriptor);
        while (slots_[at] != EMPTY)
            at = (at + 1) & mask_;
        slots_[at] = entry + 1;
    }

    template <typename DescriptorOf>
    bool grow(DescriptorOf descriptorOf) {
        std::uint32_t newCapacity = capacity() == 0 ? 64 : capacity() * 2;
        auto* grown =
            static_cast<std::uint32_t*>(sys::allocateZeroed(newCapacity, sizeof(std::uint32_t)));
        if (grown == nullptr) return false;
        std::uint32_t* old = slots_;
        std::uint32_t oldCapacity = capacity();
        slots_ = grown;
        mask_ = newCapacity - 1;
        shift_ = 32 - log2(newCapacity);
        if (old == nullptr) return true;
        for (std::uint32_t i = 0; i < oldCapacity; ++i) {
            if (old[i] != EMPTY) place(descriptorOf(old[i] - 1), old[i] - 1);
        }
        sys::deallocate(old);
        return true;
    }

    std::uint32_t* slots_ = nullptr;
    std::uint32_t mask_ = 0;
    std::uint32_t shift_ = 32;
    std::uint32_t count_ = 0;
};

}  // namespace kernel_stand_in
