// A growable array of plain values on realloc: large arrays grow by remapping pages rather than
// copying, and capacity never written costs no resident memory. Running out of memory is
// reported as false, never thrown.
#pragma once

#include <cstddef>
#include <type_traits>

#include "platform/linux/system_calls.h"

namespace kernel_stand_in {

template <typename T>
class PodArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    PodArray() = default;
    ~PodArray() { sys::deallocate(data_); }
    PodArray(const PodArray&) = delete;
    PodArray& operator=(const PodArray&) = delete;

    T& operator[](std::size_t index) { return data_[index]; }
    const T& operator[](std::size_t index) const { return data_[index]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    bool reserve(std::size_t capacity) {
        if (capacity <= capacity_) return true;
        void* grown = sys::reallocate(data_, capacity * sizeof(T));
        if (grown == nullptr) return false;
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    // Makes room for `count` more values and returns where they go, or nullptr.
    T* extend(std::size_t count) {
        if (size_ + count > capacity_ && !reserve(grownCapacity(size_ + count))) return nullptr;
        T* added = data_ + size_;
        size_ += count;
        return added;
    }

    bool push(const T& value) {
        T* slot = extend(1);
        if (slot == nullptr) return false;
        *slot = value;
        return true;
    }

    T pop() { return data_[--size_]; }
    void truncate(std::size_t size) { size_ = size; }

    void swap(PodArray& other) {
        T* data = data_;
        std::size_t size = size_;
        std::size_t capacity = capacity_;
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = data;
        other.size_ = size;
        other.capacity_ = capacity;
    }

    void release() {
        sys::deallocate(data_);
        data_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }

  private:
    std::size_t grownCapacity(std::size_t needed) const {
        // Growing by half bounds the unused tail to a third of the array.
        std::size_t capacity = capacity_ < 16 ? 16 : capacity_ + capacity_ / 2;
        return capacity < needed ? needed : capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kernel_stand_in
