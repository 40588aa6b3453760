// The little of the C++ runtime that the Linux library's code uses, so that the library links
// neither libstdc++ nor libgcc_s and loads on any Linux with glibc 2.17 or later. Its code is built
// without exceptions and RTTI; it allocates with the nothrow operator new and locks std::mutex.
// A static libstdc++ would not do: it drags in its exception machinery, and with it symbols of
// glibc 2.25 to 2.36. Only the library links this file, and keeps it to itself (exports.map).
#include <cstdlib>
#include <new>

const std::nothrow_t std::nothrow{};

void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept {
    // Every allocation must be a distinct object, even an empty one.
    return std::malloc(size == 0 ? 1 : size);
}

// The plain operator new is left out on purpose: it reports failure by throwing, and the library
// must not. Code that uses it brings libstdc++ back, which the portable-library test reports.
// NOLINTNEXTLINE(misc-new-delete-overloads)
void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t /*size*/) noexcept {
    std::free(block);
}

namespace std {

// std::mutex reports a failed lock through this, which the plain mutexes the library uses never
// meet unless misused. With no exceptions there is nothing to raise: stop, as a runtime built
// without exceptions does.
[[noreturn]] void __throw_system_error(int /*error*/) {
    std::abort();
}

}  // namespace std
