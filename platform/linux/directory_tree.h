// The directories of one watched tree, one inotify watch each, and what the tree's events mean.
//
// Each watched directory costs one 16-byte entry (its watch, its parent's entry and its name in a
// shared arena) and about six bytes of index; full paths exist only while a directory is being
// listed or checked. Every walk is iterative over a heap work list, so a deep tree costs no stack.
//
// Coverage: a directory is watched first and listed after, so anything made in it before its
// watch existed is found by the listing, and anything made after is reported by the watch.
// Directories below the root are reached by name and never through a symbolic link.
//
// What cannot be watched:
// - At the start, a tree that cannot be fully watched (the inotify watch limit,
//   fs.inotify.max_user_watches, or running out of memory or descriptors) fails the open, which
//   then holds nothing. A partial watch is never reported as a success.
// - After the start, a directory that cannot be watched for those reasons counts as a change,
//   and its parent is listed again at the next re-arm; while that keeps failing, every re-arm
//   counts as a change, so the caller is woken rather than left with a blind spot.
// - A directory the process may not read (EACCES) or cannot name (a path over PATH_MAX) is left
//   out: its own creation, deletion and renaming are seen in its parent, changes inside it are
//   not.
// - The root deleted, renamed, or moved away by a rename of a directory above it (which inotify
//   reports to no watch of ours, so it shows only when a path built from the root's name leads
//   nowhere): one change, then the tree is dropped and later waits block until the stop.
// - A path that leads nowhere (ENOENT, ENOTDIR) may mean the directory is gone, or that it or one
//   above it moved in events not read yet. It is tried again at the next re-arm, after those
//   events, so a directory moved just before its own events were handled is not lost. If it is
//   still missing then, it left before its watch was made and no event will tell where: it is
//   dropped and its parent listed again.
#pragma once

#include <sys/inotify.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/linux/pod_array.h"
#include "platform/linux/watch_index.h"

namespace kernel_stand_in {

class DirectoryTree {
  public:
    // The event and listing buffers are filled by the kernel before they are read; clearing
    // them would only cost time and resident pages.
    // cppcheck-suppress uninitMemberVar
    DirectoryTree() = default;
    ~DirectoryTree() { close(); }
    DirectoryTree(const DirectoryTree&) = delete;
    DirectoryTree& operator=(const DirectoryTree&) = delete;

    // Watches the directory `path` (a symbolic link to one is followed) and every directory
    // below it. False, holding nothing, when the tree cannot be fully watched.
    bool open(const char* path);
    // Gives back every watch, descriptor and byte.
    void close();

    // The inotify descriptor to wait on.
    int descriptor() const { return inotifyFd_; }

    // Reads the events waiting on the descriptor and keeps the tree up to date. Returns whether
    // any of them is a change: a file or directory created, deleted or renamed, a file written or
    // its last-write time set, the root itself gone, or lost events. `changeKnown` skips the work
    // that would only tell whether an attribute event is a change.
    bool readEvents(bool changeKnown);

    // Reads the events waiting, then tries again to watch directories that could not be watched.
    // Returns whether the caller must treat this as a change: an event was one, some directories
    // still cannot be watched, or some were watched only now and so may have changed unseen.
    bool retryUnwatched();

  private:
    struct WatchedDirectory {
        std::int32_t watch;
        std::uint32_t parent;  // the root is its own parent; the next free entry when unused
        std::uint32_t nameOffset;
        std::uint8_t nameLength;  // a file name is at most 255 bytes
        std::uint8_t flags;
    };
    static_assert(sizeof(WatchedDirectory) == 16);

    enum class Walk { Start, Update, Retry, Rescan };
    enum class WatchResult { Added, Known, Skipped, Missed, Failed };

    static constexpr std::uint32_t ROOT = 0;
    static constexpr std::int32_t FREE = -1;
    static constexpr std::size_t NO_PATH = SIZE_MAX;
    static constexpr std::size_t EVENT_BUFFER_BYTES = std::size_t{64} * 1024;
    static constexpr std::size_t LISTING_BUFFER_BYTES = std::size_t{32} * 1024;

    bool watchRoot(const char* path);
    const char* rootName() const;
    void noteMissedPath();
    bool settleMovedRoot();
    bool walk(std::uint32_t top, Walk kind);
    bool listDirectory(std::uint32_t directory, Walk kind);
    WatchResult watchChild(std::uint32_t parent, const char* name, std::size_t nameLength,
                           Walk kind, std::uint32_t* entry);
    void watchNewDirectory(std::uint32_t parent, const char* name, std::size_t nameLength);
    bool interpret(const inotify_event& event, bool changeKnown);
    bool interpretSelfEvent(std::uint32_t entry, std::uint32_t mask);
    void confirmLocation(std::uint32_t entry);
    void rescanWholeTree();

    std::uint32_t addEntry(int watch, std::uint32_t parent, const char* name,
                           std::size_t nameLength);
    void removeEntry(std::uint32_t entry, bool removeKernelWatch);
    void relocate(std::uint32_t entry, std::uint32_t parent, const char* name,
                  std::size_t nameLength);
    bool isWithin(std::uint32_t entry, std::uint32_t top) const;
    void dropSubtree(std::uint32_t top);
    void dropWholeTree();
    bool markForRetry(std::uint32_t entry);
    bool storeName(const char* name, std::size_t nameLength, std::uint32_t* offset);
    void compactNames();
    const char* nameOf(std::uint32_t entry) const;

    // Writes the path of `entry` to path_ and returns its length, or NO_PATH.
    std::size_t buildPath(std::uint32_t entry);
    // The same, extending the path in the buffer when it is the parent's.
    std::size_t listingPath(std::uint32_t entry);
    std::size_t appendName(std::size_t length, const char* name, std::size_t nameLength);

    auto descriptorOf() const {
        return [this](std::uint32_t entry) { return entries_[entry].watch; };
    }

    int inotifyFd_ = -1;
    bool rootGone_ = false;
    // The root is known by its name and, to tell when that name leads elsewhere, its identity.
    bool rootMoved_ = false;
    dev_t rootDevice_ = 0;
    ino_t rootInode_ = 0;
    PodArray<WatchedDirectory> entries_;
    WatchIndex index_;
    PodArray<char> names_;
    std::size_t unusedNameBytes_ = 0;
    std::uint32_t freeEntries_ = UINT32_MAX;
    std::uint32_t liveEntries_ = 0;
    std::uint32_t pendingRetries_ = 0;
    PodArray<char> rootPath_;
    PodArray<char> path_;
    PodArray<std::uint32_t> toList_;
    // The entries whose names end the path in path_, each with the path's length up to it.
    struct PathStep {
        std::uint32_t entry;
        std::uint32_t length;
    };
    PodArray<PathStep> pathSteps_;
    alignas(inotify_event) char events_[EVENT_BUFFER_BYTES];
    alignas(8) char listing_[LISTING_BUFFER_BYTES];
};

}  // namespace kernel_stand_in
