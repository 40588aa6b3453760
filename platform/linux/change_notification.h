// A change notification: a directory tree plus whether a change was seen since the last re-arm.
#pragma once

#include "platform/linux/directory_tree.h"

namespace kernel_stand_in {

class ChangeNotification {
  public:
    // A notification watching the tree at `path`, in memory taken through the system-call seam;
    // nullptr, holding nothing, when the tree cannot be watched or there is no memory.
    static ChangeNotification* create(const char* path);
    // Gives back the notification's watches, descriptor and memory.
    static void destroy(ChangeNotification* notification);

    ChangeNotification(const ChangeNotification&) = delete;
    ChangeNotification& operator=(const ChangeNotification&) = delete;

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
    ChangeNotification() = default;
    ~ChangeNotification() = default;

    DirectoryTree tree_;
    bool signalled_ = false;
};

}  // namespace kernel_stand_in
