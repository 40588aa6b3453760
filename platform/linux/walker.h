// What one thread of a walk holds: the directories it found and has yet to list, the path of the
// directory it lists, the listing, the subdirectories it has watched and not yet recorded, and the
// descriptors of the directories it listed last, so that their subdirectories are opened relative
// to them. Only the list is shared, under the walk's lock; a thread fills the rest with the lock
// let go.
//
// A helper thread has a working directory of its own, apart from the process's: it moves into
// each directory it lists, and watches the subdirectories by their names alone.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/linux/directory_listing.h"
#include "platform/linux/entry_store.h"
#include "platform/linux/pod_array.h"

namespace kernel_stand_in {

// Directories one thread found and has yet to list. It takes them back newest first, so that
// its listings follow one another down the tree and each finds its parent's descriptor and path
// at hand; a thread that has run out takes the oldest, the largest subtrees left.
class WorkList {
  public:
    WorkList() = default;
    WorkList(const WorkList&) = delete;
    WorkList& operator=(const WorkList&) = delete;

    bool empty() const { return first_ == items_.size(); }
    std::size_t size() const { return items_.size() - first_; }
    // False when memory ran out.
    bool push(std::uint32_t directory) { return items_.push(directory); }
    std::uint32_t takeNewest() {
        std::uint32_t taken = items_.pop();
        if (empty()) clear();
        return taken;
    }
    std::uint32_t takeOldest();
    void clear() {
        items_.truncate(0);
        first_ = 0;
    }
    void release() {
        items_.release();
        first_ = 0;
    }

  private:
    PodArray<std::uint32_t> items_;
    std::size_t first_ = 0;
};

// Subdirectories watched while the lock was let go, waiting to be recorded with it held, each
// with its name copied out of the listing (whose buffer a later read overwrites).
class WatchedChildren {
  public:
    struct Child {
        int watch;  // or -1, with `error` set
        int error;
        std::uint16_t nameOffset;
        std::uint8_t nameLength;
    };

    // Each child and name is written before it is read; clearing them would only cost time.
    // cppcheck-suppress uninitMemberVar
    WatchedChildren() = default;
    WatchedChildren(const WatchedChildren&) = delete;
    WatchedChildren& operator=(const WatchedChildren&) = delete;

    // Whether another child might not fit: the time to record those held.
    bool full() const { return count_ == MOST || sizeof names_ - nameBytes_ < NAME_MAX; }
    void add(const char* name, std::size_t nameLength, int watch, int error) {
        std::memcpy(names_ + nameBytes_, name, nameLength);
        children_[count_++] = {watch, error, static_cast<std::uint16_t>(nameBytes_),
                               static_cast<std::uint8_t>(nameLength)};
        nameBytes_ += nameLength;
    }
    std::size_t count() const { return count_; }
    const Child& operator[](std::size_t at) const { return children_[at]; }
    const char* nameOf(const Child& child) const { return names_ + child.nameOffset; }
    void clear() {
        count_ = 0;
        nameBytes_ = 0;
    }

  private:
    static constexpr std::size_t MOST = 64;

    Child children_[MOST];
    std::size_t count_ = 0;
    char names_[4096];
    std::size_t nameBytes_ = 0;
};

// The descriptors of the last directories a thread listed along one line of descent, deepest
// last, so that a subdirectory of any of them is opened by its name alone: a walk takes
// directories depth first, so the parent is nearly always among them. Each is known by its
// entry and watch: an entry dropped and its number reused for another directory no longer
// matches.
class HeldDirectories {
  public:
    static constexpr std::size_t NONE = SIZE_MAX;
    // At most this many descriptors held per thread, besides the one it lists.
    static constexpr std::size_t MOST = 4;

    HeldDirectories() = default;
    ~HeldDirectories() { closeAll(); }
    HeldDirectories(const HeldDirectories&) = delete;
    HeldDirectories& operator=(const HeldDirectories&) = delete;

    // Where `directory` is held, or NONE. Called with the walk's lock held, since the store is
    // looked at.
    std::size_t find(const EntryStore& store, std::uint32_t directory) const;
    // Closes those held after `kept` (every one for NONE) and returns the descriptor at `kept`,
    // or -1.
    int keepUpTo(std::size_t kept);
    // Holds `fd`, the open directory `directory` watched by `watch`, deepest; the first held is
    // closed when there is no room.
    void hold(std::uint32_t directory, int watch, int fd);
    void closeAll() { keepUpTo(NONE); }

  private:
    struct Held {
        std::uint32_t directory;
        int watch;
        int fd;
    };
    Held held_[MOST] = {};
    std::size_t count_ = 0;
};

struct Walker {
    WorkList toList;
    EntryPath path;
    DirectoryListing listing;
    WatchedChildren found;
    HeldDirectories held;
    // False for the caller's thread, which shares the process's.
    bool hasOwnWorkingDirectory = false;
};

}  // namespace kernel_stand_in
