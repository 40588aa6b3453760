// The directories of one watched tree, one inotify watch each, and what the tree's events mean:
// the walk that watches directories, the events that keep the record up to date, and the retries
// and rescans that close the gaps. The record itself is an EntryStore; listings are read by a
// DirectoryListing.
//
// Coverage: a directory is watched first and listed after, so anything made in it before its
// watch existed is found by the listing, and anything made after is reported by the watch.
// Directories below the root are reached by name and never through a symbolic link. Every walk
// is iterative over a heap work list, so a deep tree costs no stack.
//
// Threads: a walk starts on the caller's thread and, once it has found enough directories,
// shares the work list with helper threads (WalkCrew), which have all ended before it returns.
// Each thread makes its system calls (opening, listing, watching) with the walk's lock let go,
// and records what they found in the store with it held. A directory reached twice at once gets
// the same watch from the kernel, so the second to record it finds it known. A start that fails
// on any thread is abandoned by all.
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
// - The root deleted, renamed, unmounted, or moved away by a rename of a directory above it
//   (which inotify reports to no watch of ours, so it shows only when a path built from the
//   root's name leads nowhere): one change, then the tree is dropped and later waits block until
//   the stop.
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

#include "platform/linux/entry_store.h"
#include "platform/linux/pod_array.h"
#include "platform/linux/walk_crew.h"
#include "platform/linux/walker.h"

namespace kernel_stand_in {

class DirectoryTree {
  public:
    // The event buffer is filled by the kernel before it is read; clearing it would only cost
    // time and resident pages.
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
    // The root is known by its name and, to tell when that name leads elsewhere, its identity.
    enum class Root {
        Watched,
        MovedAway,  // its name no longer leads to it: the tree is dropped once the events are read
        Gone,       // dropped, or never watched: nothing is left to watch
    };
    enum class Walk { Start, Update, Retry, Rescan };
    enum class WatchResult { Added, Known, Skipped, Missed, Failed };
    // What a helper thread of a walk is given.
    struct Walking {
        DirectoryTree* tree;
        Walk kind;
    };

    static constexpr std::uint32_t ROOT = EntryStore::ROOT;
    static constexpr std::size_t EVENT_BUFFER_BYTES = std::size_t{64} * 1024;

    bool watchRoot(const char* path);
    void checkRootMovedAway();
    bool dropTreeIfRootMovedAway();
    bool walk(std::uint32_t top, Walk kind);
    static void walkOn(void* walking, WalkCrew& crew, Walker& walker);
    void work(Walker& walker, WalkCrew& crew, Walk kind);
    void listDirectory(Walker& walker, std::uint32_t directory, Walk kind, WalkCrew& crew,
                       Locked& hold);
    void recordChildren(Walker& walker, std::uint32_t directory, int watch, Walk kind,
                        WalkCrew& crew);
    // Whether `directory` is still the entry of the directory watched by `watch`.
    bool isListedAs(std::uint32_t directory, int watch) const;
    void fallShort(WalkCrew& crew, Walk kind);
    bool handleUnlistable(std::uint32_t directory, Walk kind, int error);
    WatchResult recordWatch(std::uint32_t parent, const char* name, std::size_t nameLength,
                            int watch, int error, Walk kind, std::uint32_t* entry);
    void watchNewDirectory(std::uint32_t parent, const char* name, std::size_t nameLength);
    bool relocate(std::uint32_t entry, std::uint32_t parent, const char* name,
                  std::size_t nameLength);
    bool interpret(const inotify_event& event, bool changeKnown);
    bool interpretSelfEvent(std::uint32_t entry, std::uint32_t mask);
    void confirmLocation(std::uint32_t entry);
    bool isInPlace(std::uint32_t directory);
    void rescanWholeTree();
    void markForRetry(std::uint32_t entry);
    void retry(std::uint32_t entry);
    void dropSubtree(std::uint32_t top, bool kernelDroppedTop);
    void dropWholeTree();
    void reset();

    int inotifyFd_ = -1;
    Root root_ = Root::Gone;
    dev_t rootDevice_ = 0;
    ino_t rootInode_ = 0;
    EntryStore entries_;
    // Directories whose children must be looked at again: how many, and which (perhaps with
    // entries dropped since), so a retry costs what it retries.
    std::uint32_t pendingRetries_ = 0;
    PodArray<std::uint32_t> retries_;
    PodArray<std::uint32_t> retrying_;
    bool retriesOverflowed_ = false;
    // The caller's thread's own, for its share of walks and for events.
    Walker caller_;
    alignas(inotify_event) char events_[EVENT_BUFFER_BYTES];
};

}  // namespace kernel_stand_in
