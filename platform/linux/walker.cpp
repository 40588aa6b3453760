#include "platform/linux/walker.h"

#include <cstring>

#include "platform/linux/system_calls.h"

namespace kernel_stand_in {

std::uint32_t WorkList::takeOldest() {
    std::uint32_t taken = items_[first_++];
    if (empty()) {
        clear();
    } else if (first_ >= 64 && first_ > size()) {
        // The taken ones would keep the array growing while its owner keeps adding.
        std::memmove(items_.data(), items_.data() + first_, size() * sizeof taken);
        items_.truncate(size());
        first_ = 0;
    }
    return taken;
}

std::size_t HeldDirectories::find(const EntryStore& store, std::uint32_t directory) const {
    for (std::size_t at = count_; at-- > 0;) {
        if (held_[at].directory != directory) continue;
        bool same = store.isLive(directory) && store.watchOf(directory) == held_[at].watch;
        return same ? at : NONE;
    }
    return NONE;
}

int HeldDirectories::keepUpTo(std::size_t kept) {
    std::size_t keep = kept == NONE ? 0 : kept + 1;
    while (count_ > keep)
        sys::close(held_[--count_].fd);
    return kept == NONE ? -1 : held_[kept].fd;
}

void HeldDirectories::hold(std::uint32_t directory, int watch, int fd) {
    if (count_ == MOST) {
        sys::close(held_[0].fd);
        for (std::size_t at = 1; at < MOST; ++at)
            held_[at - 1] = held_[at];
        --count_;
    }
    held_[count_++] = {directory, watch, fd};
}

}  // namespace kernel_stand_in
