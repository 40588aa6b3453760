// The directories of one watched tree as a tree of entries, and the paths built from them.
//
// An entry holds its directory's inotify watch, its place in the tree (parent, first child and
// both siblings) and its name, kept in one shared arena; an index finds entries by watch
// descriptor. Every change costs in proportion to what it touches: adding, removing or moving an
// entry is constant time apart from its name, and removing a subtree visits that subtree alone.
//
// Memory: a 26-byte entry, 4-byte index slots kept between two-fifths and four-fifths full, and
// the name. Running out of memory leaves the store as it was before the call that needed it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/pod_array.h"
#include "platform/linux/watch_index.h"

namespace kernel_stand_in {

class EntryStore {
  public:
    static constexpr std::uint32_t ROOT = 0;
    static constexpr std::uint32_t NONE = WatchIndex::NOT_FOUND;

    EntryStore() = default;
    EntryStore(const EntryStore&) = delete;
    EntryStore& operator=(const EntryStore&) = delete;

    // Makes the root, the store's first entry, for the absolute directory `path` ("/" or a path
    // with no trailing slash) watched by `watch`. The store must be empty. False when memory ran
    // out.
    bool addRoot(const char* path, std::size_t length, int watch);
    // Adds `name` (1 to 255 bytes) below `parent`, watched by `watch`, which no entry may have.
    // NONE when memory ran out.
    std::uint32_t add(std::uint32_t parent, const char* name, std::size_t nameLength, int watch);
    // Moves `entry` below `parent` as `name`; `parent` must not be `entry` or below it. False,
    // with nothing changed, when memory ran out.
    bool move(std::uint32_t entry, std::uint32_t parent, const char* name, std::size_t nameLength);
    // Removes `top` and every entry below it, each after its children, calling `removing(entry)`
    // just before an entry goes.
    template <typename Removing>
    void removeSubtree(std::uint32_t top, Removing removing);
    // Gives back every byte.
    void clear();

    // The entry watched by `watch`, or NONE.
    std::uint32_t find(int watch) const { return index_.find(watch, descriptorOf()); }
    bool isLive(std::uint32_t entry) const { return entries_[entry].watch != FREE; }
    int watchOf(std::uint32_t entry) const { return entries_[entry].watch; }
    std::uint32_t parentOf(std::uint32_t entry) const { return entries_[entry].parent; }
    const char* nameOf(std::uint32_t entry) const {
        return names_.data() + entries_[entry].nameOffset;
    }
    std::size_t nameLengthOf(std::uint32_t entry) const { return entries_[entry].nameLength; }
    bool hasName(std::uint32_t entry, const char* name, std::size_t nameLength) const;
    // Whether `entry` is `top` or below it.
    bool isWithin(std::uint32_t entry, std::uint32_t top) const;
    // Bits of the caller's own for each entry, zero when it is added.
    std::uint8_t marksOf(std::uint32_t entry) const { return entries_[entry].marks; }
    void setMarks(std::uint32_t entry, std::uint8_t marks) { entries_[entry].marks = marks; }

    // Entry numbers run from 0 below slots(); isLive tells the ones in use.
    std::uint32_t slots() const { return static_cast<std::uint32_t>(entries_.size()); }
    std::uint32_t liveCount() const { return live_; }
    // The root's path: "/" or an absolute path with no trailing slash.
    const char* rootPath() const { return rootLength_ == 0 ? "/" : rootPath_.data(); }
    // The root's path as the prefix of its children's paths: empty for "/".
    const char* rootPrefix() const { return rootPath_.data(); }
    std::size_t rootPrefixLength() const { return rootLength_; }
    // Changes each time an entry is removed or moved, so that paths kept from before can tell
    // they may be stale.
    std::uint64_t layoutVersion() const { return layoutVersion_; }
    // Bytes of the name arena that no entry uses any more, until the arena is compacted.
    std::size_t unusedNameBytes() const { return unusedNameBytes_; }

  private:
    // Packed: the two bytes that would pad it to 28 are a fifteenth of an entry, and the
    // processors the library runs on read unaligned fields at no cost.
    struct [[gnu::packed]] Entry {
        std::int32_t watch;    // FREE when unused
        std::uint32_t parent;  // the root is its own parent; the next free entry when unused
        std::uint32_t firstChild;
        std::uint32_t nextSibling;
        std::uint32_t previousSibling;
        std::uint32_t nameOffset;
        std::uint8_t nameLength;  // a file name is at most 255 bytes
        std::uint8_t marks;
    };
    static_assert(sizeof(Entry) == 26);

    static constexpr std::int32_t FREE = -1;

    std::uint32_t newEntry(std::uint32_t parent, const char* name, std::size_t nameLength,
                           int watch);
    void link(std::uint32_t entry, std::uint32_t parent);
    void unlink(std::uint32_t entry);
    void remove(std::uint32_t entry);
    bool storeName(const char* name, std::size_t nameLength, std::uint32_t* offset);
    void compactNames();

    // Tells the index the descriptor of an entry number.
    struct DescriptorOf {
        const EntryStore* store;
        int operator()(std::uint32_t entry) const { return store->entries_[entry].watch; }
    };
    DescriptorOf descriptorOf() const { return {this}; }

    PodArray<Entry> entries_;
    WatchIndex index_;
    PodArray<char> names_;
    PodArray<char> rootPath_;
    std::size_t rootLength_ = 0;
    std::size_t unusedNameBytes_ = 0;
    std::uint32_t freeEntries_ = NONE;
    std::uint32_t live_ = 0;
    std::uint64_t layoutVersion_ = 0;
};

template <typename Removing>
void EntryStore::removeSubtree(std::uint32_t top, Removing removing) {
    // Depth first with no stack: go down to a leaf, remove it, step back to its parent, whose
    // next child is then its first.
    std::uint32_t at = top;
    for (;;) {
        while (entries_[at].firstChild != NONE)
            at = entries_[at].firstChild;
        std::uint32_t up = at == top ? NONE : entries_[at].parent;
        removing(at);
        remove(at);
        if (up == NONE) return;
        at = up;
    }
}

// A buffer holding the path of one entry at a time, with room after it for a child's name. It
// keeps the entries along the path it holds, so a walk that goes depth first extends its
// parent's path in place instead of building each path from the root. Each walker holds one.
class EntryPath {
  public:
    static constexpr std::size_t NO_PATH = SIZE_MAX;

    // Writes the path of `entry` and returns its length, which is 0 for the root "/"; NO_PATH
    // when memory ran out or the entry's chain of parents does not reach the root.
    std::size_t build(const EntryStore& store, std::uint32_t entry);
    // Puts "/name" after the first `length` bytes, the length `build` returned, and returns the
    // new length.
    std::size_t append(std::size_t length, const char* name, std::size_t nameLength);
    const char* data() const { return path_.data(); }
    void release();

  private:
    std::size_t buildFromRoot(const EntryStore& store, std::uint32_t entry);

    struct Step {
        std::uint32_t entry;
        std::uint32_t length;
    };
    PodArray<char> path_;
    // The entries whose paths are prefixes of the one in path_, each with its length; valid
    // while the store's layout version is the one they were taken at.
    PodArray<Step> steps_;
    std::uint64_t stepsVersion_ = 0;
};

}  // namespace kernel_stand_in
