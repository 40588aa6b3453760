#include "bench/floor_watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>

#include "bench/tree_walk.h"

namespace bench {

FloorWatcher::~FloorWatcher() {
    release();
}

bool FloorWatcher::start(const std::string& root, int threads) {
    release();
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotifyFd_ < 0 || stopFd_ < 0) return false;
    if (inotify_add_watch(inotifyFd_, root.c_str(), floorWatchMask()) < 0) return false;
    return threads > 1 ? watchBelowInParallel(inotifyFd_, root, threads)
                       : watchBelow(inotifyFd_, root);
}

bool FloorWatcher::waitForEvent() {
    pollfd descriptors[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    while (poll(descriptors, 2, -1) < 0) {
    }
    if (descriptors[1].revents != 0) return false;
    alignas(inotify_event) char events[64 * 1024];
    while (read(inotifyFd_, events, sizeof events) > 0) {
    }
    return true;
}

void FloorWatcher::requestStop() {
    std::uint64_t one = 1;
    if (write(stopFd_, &one, sizeof one) < 0) return;
}

void FloorWatcher::release() {
    if (inotifyFd_ >= 0) close(inotifyFd_);
    if (stopFd_ >= 0) close(stopFd_);
    inotifyFd_ = -1;
    stopFd_ = -1;
}

}  // namespace bench
