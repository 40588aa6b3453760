#include "bench/floor_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <dirent.h>

#include <climits>
#include <cstring>

namespace bench {

namespace {

constexpr unsigned MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

struct DirectoryEntry64 {
    ino64_t inode;
    off64_t next;
    unsigned short recordLength;
    unsigned char type;
    char name[1];
};

// Depth first, one path buffer, one listing buffer per level: nothing is kept but the kernel's
// watches. Each directory is watched by its parent's loop before it is listed.
bool watchBelow(int inotifyFd, char* path, std::size_t length, int* watches) {
    int directoryFd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directoryFd < 0) return true;
    alignas(8) char listing[32 * 1024];
    bool complete = true;
    for (;;) {
        long filled = syscall(SYS_getdents64, directoryFd, listing, sizeof listing);
        if (filled <= 0) break;
        for (long offset = 0; offset < filled && complete;) {
            const auto& entry = *reinterpret_cast<const DirectoryEntry64*>(listing + offset);
            offset += entry.recordLength;
            if (entry.type != DT_DIR || entry.name[0] == '.') continue;
            std::size_t nameLength = std::strlen(entry.name);
            path[length] = '/';
            std::memcpy(path + length + 1, entry.name, nameLength + 1);
            if (inotify_add_watch(inotifyFd, path, MASK) < 0) {
                complete = false;
                break;
            }
            ++*watches;
            complete = watchBelow(inotifyFd, path, length + 1 + nameLength, watches);
        }
        if (!complete) break;
    }
    path[length] = '\0';
    close(directoryFd);
    return complete;
}

}  // namespace

bool FloorWatcher::start(const std::string& root) {
    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ < 0 || inotify_add_watch(inotifyFd_, root.c_str(), MASK) < 0) return false;
    watches_ = 1;
    char path[PATH_MAX];
    std::memcpy(path, root.c_str(), root.size() + 1);
    return watchBelow(inotifyFd_, path, root.size(), &watches_);
}

void FloorWatcher::waitForEvent() {
    pollfd descriptor{inotifyFd_, POLLIN, 0};
    while (poll(&descriptor, 1, -1) < 0) {
    }
    alignas(inotify_event) char events[64 * 1024];
    while (read(inotifyFd_, events, sizeof events) > 0) {
    }
}

void FloorWatcher::stop() {
    if (inotifyFd_ >= 0) close(inotifyFd_);
    inotifyFd_ = -1;
}

}  // namespace bench
