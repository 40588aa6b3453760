// A change notification: a directory tree plus whether a change was seen since the last re-arm.
#pragma once

#include "platform/linux/directory_tree.h"

namespace kernel_stand_in {

class ChangeNotification {
  public:
    bool open(const char* path) { return tree_.open(path); }
    int descriptor() const { return tree_.descriptor(); }
    bool signalled() const { return signalled_; }

    // Takes in what the kernel has reported so far.
    void takeEvents() {
        if (tree_.readEvents(signalled_)) signalled_ = true;
    }

    // Events still queued in the kernel are left there, or read by a retry that needs them
    // first, so a change made after the last wait returned signals the notification again.
    void rearm() { signalled_ = tree_.retryUnwatched(); }

  private:
    DirectoryTree tree_;
    bool signalled_ = false;
};

}  // namespace kernel_stand_in
