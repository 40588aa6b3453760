#include "bench/tree_walk.h"

#include <sys/inotify.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/directory_listing.h"

namespace bench {
namespace {

using kernel_stand_in::DirectoryListing;

constexpr unsigned MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

// Calls `found(path, length)` for each subdirectory of `path` after watching it, with the
// child's name appended to `path` in place. False when a watch could not be added.
template <typename Found>
bool listAndWatch(int inotifyFd, char* path, std::size_t length, DirectoryListing* listing,
                  Found found) {
    if (!listing->open(path, false)) return true;
    bool complete = true;
    std::size_t nameLength = 0;
    while (complete) {
        const char* name = listing->nextSubdirectory(&nameLength);
        if (name == nullptr) break;
        path[length] = '/';
        std::memcpy(path + length + 1, name, nameLength + 1);
        complete =
            inotify_add_watch(inotifyFd, path, MASK) >= 0 && found(path, length + 1 + nameLength);
    }
    path[length] = '\0';
    listing->close();
    return complete;
}

// Depth first, one listing per level.
bool watchBelowFrom(int inotifyFd, char* path, std::size_t length) {
    DirectoryListing listing;
    return listAndWatch(inotifyFd, path, length, &listing, [&](char* child, std::size_t end) {
        return watchBelowFrom(inotifyFd, child, end);
    });
}

class SharedWalk {
  public:
    SharedWalk(int inotifyFd, const std::string& root) : inotifyFd_(inotifyFd) {
        toList_.push_back(root);
    }

    void work() {
        DirectoryListing listing;
        char path[PATH_MAX];
        std::vector<std::string> found;
        for (;;) {
            std::string next;
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [&] { return !toList_.empty() || busy_ == 0; });
                if (toList_.empty()) return;
                next = std::move(toList_.back());
                toList_.pop_back();
                ++busy_;
            }
            std::memcpy(path, next.c_str(), next.size() + 1);
            found.clear();
            bool listed = listAndWatch(inotifyFd_, path, next.size(), &listing,
                                       [&](const char* child, std::size_t end) {
                                           found.emplace_back(child, end);
                                           return true;
                                       });
            {
                std::lock_guard<std::mutex> hold(lock_);
                complete_ = complete_ && listed;
                toList_.insert(toList_.end(), std::make_move_iterator(found.begin()),
                               std::make_move_iterator(found.end()));
                --busy_;
            }
            changed_.notify_all();
        }
    }

    bool complete() const { return complete_; }

  private:
    int inotifyFd_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> toList_;
    int busy_ = 0;
    bool complete_ = true;
};

}  // namespace

unsigned floorWatchMask() {
    return MASK;
}

bool watchBelow(int inotifyFd, const std::string& root) {
    char path[PATH_MAX];
    std::memcpy(path, root.c_str(), root.size() + 1);
    return watchBelowFrom(inotifyFd, path, root.size());
}

bool watchBelowInParallel(int inotifyFd, const std::string& root, int threads) {
    SharedWalk walk(inotifyFd, root);
    std::vector<std::thread> walkers;
    for (int i = 1; i < threads; ++i)
        walkers.emplace_back([&] { walk.work(); });
    walk.work();
    for (std::thread& walker : walkers)
        walker.join();
    return walk.complete();
}

}  // namespace bench
