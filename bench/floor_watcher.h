// The floor: the least any inotify watcher can do for a tree. It walks the tree, adding one
// watch per directory before listing it, then blocks in poll. No bookkeeping of any kind.
#pragma once

#include <string>

namespace bench {

class FloorWatcher {
  public:
    // Watches the whole tree; false if any watch could not be added.
    bool start(const std::string& root);
    // Blocks until the kernel reports anything, then takes the events in.
    void waitForEvent();
    void stop();
    int watches() const { return watches_; }

  private:
    int inotifyFd_ = -1;
    int watches_ = 0;
};

}  // namespace bench
