// The floor: the least any inotify watcher can do for a tree. It walks the tree, adding one
// watch per directory before listing it, then blocks in poll. No bookkeeping of any kind.
#pragma once

#include <string>

namespace bench {

class FloorWatcher {
  public:
    FloorWatcher() = default;
    ~FloorWatcher();
    FloorWatcher(const FloorWatcher&) = delete;
    FloorWatcher& operator=(const FloorWatcher&) = delete;

    // Watches the whole tree with `threads` threads walking it; false if any watch could not be
    // added.
    bool start(const std::string& root, int threads = 1);
    // Blocks until the kernel reports anything, then takes the events in. False once a stop was
    // requested.
    bool waitForEvent();
    // Wakes a blocked waitForEvent from another thread.
    void requestStop();
    // Closes the inotify descriptor, which drops every watch in the kernel.
    void release();

  private:
    int inotifyFd_ = -1;
    int stopFd_ = -1;
};

}  // namespace bench
