#include "platform/linux/directory_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/linux/last_write_time.h"
#include "platform/linux/system_calls.h"

namespace kernel_stand_in {
namespace {

constexpr std::uint32_t TREE_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// IN_EXCL_UNLINK: a file already unlinked but still open is no longer part of the tree.
constexpr std::uint32_t ROOT_MASK = TREE_EVENTS | IN_ONLYDIR | IN_EXCL_UNLINK;
constexpr std::uint32_t SUBDIRECTORY_MASK = ROOT_MASK | IN_DONT_FOLLOW;
constexpr std::uint32_t NAME_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

constexpr std::uint8_t NEEDS_RETRY = 1;  // some child could not be watched or listed
constexpr std::uint8_t SEEN = 2;         // found again by the current rescan
constexpr std::uint8_t DOOMED = 4;       // about to be dropped with its subtree

constexpr std::size_t COMPACT_NAMES_AFTER = std::size_t{64} * 1024;

// Errors that mean the directory is gone, is not a directory, or is out of our reach for good;
// anything else (ENOSPC, ENOMEM, EMFILE, ...) is a shortage that may pass.
bool outOfReach(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ||
           error == ELOOP || error == ENAMETOOLONG;
}

// Errors that say a path built from our records leads nowhere. The directory may be gone, or it
// or one above it may have moved in events we have not read yet; only a later look can tell.
bool nameMissed(int error) {
    return error == ENOENT || error == ENOTDIR;
}

struct DirectoryEntry64 {
    ino64_t inode;
    off64_t next;
    unsigned short recordLength;
    unsigned char type;
    char name[1];
};

bool isDirectory(int directoryFd, const DirectoryEntry64& entry) {
    if (entry.type == DT_DIR) return true;
    if (entry.type != DT_UNKNOWN) return false;
    struct stat status;
    return fstatat(directoryFd, entry.name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(status.st_mode);
}

bool isDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

bool DirectoryTree::open(const char* path) {
    close();
    if (path == nullptr) return false;
    inotifyFd_ = sys::inotifyInit();
    if (inotifyFd_ < 0) return false;
    if (watchRoot(path) && walk(ROOT, Walk::Start) && !rootMoved_) return true;
    close();
    return false;
}

void DirectoryTree::close() {
    // Closing the descriptor drops every kernel watch at once.
    if (inotifyFd_ >= 0) sys::close(inotifyFd_);
    inotifyFd_ = -1;
    rootGone_ = false;
    rootMoved_ = false;
    entries_.release();
    index_.release();
    names_.release();
    unusedNameBytes_ = 0;
    freeEntries_ = UINT32_MAX;
    liveEntries_ = 0;
    pendingRetries_ = 0;
    rootPath_.release();
    path_.release();
    pathSteps_.release();
    toList_.release();
}

bool DirectoryTree::watchRoot(const char* path) {
    // An absolute, link-free root keeps every path we build valid whatever the caller's working
    // directory, and pins a root given as a link to the directory it named at the start.
    char* resolved = ::realpath(path, nullptr);
    if (resolved == nullptr) return false;
    std::size_t length = std::strlen(resolved);
    // "/" would give "//name" for its children; keep an empty prefix instead.
    std::size_t prefix = length == 1 ? 0 : length;
    bool stored = rootPath_.extend(prefix + 1) != nullptr;
    if (stored) {
        std::memcpy(rootPath_.data(), resolved, prefix);
        rootPath_[prefix] = '\0';
    }
    std::free(resolved);
    struct stat root;
    if (!stored || stat(rootName(), &root) != 0) return false;
    rootDevice_ = root.st_dev;
    rootInode_ = root.st_ino;

    int watch = sys::addWatch(inotifyFd_, rootName(), ROOT_MASK);
    return watch >= 0 && addEntry(watch, ROOT, "", 0) == ROOT;
}

const char* DirectoryTree::rootName() const {
    return rootPath_.size() == 1 ? "/" : rootPath_.data();
}

void DirectoryTree::noteMissedPath() {
    if (rootMoved_ || rootGone_) return;
    // Renaming a directory above the root is reported to no watch of ours. It shows when a path
    // built from the root's name leads nowhere and the name no longer leads to the root either.
    struct stat root;
    if (stat(rootName(), &root) != 0 || root.st_dev != rootDevice_ || root.st_ino != rootInode_) {
        rootMoved_ = true;
    }
}

bool DirectoryTree::settleMovedRoot() {
    if (!rootMoved_ || rootGone_) return false;
    // As when the root itself is renamed: one change, then nothing more is watched.
    dropWholeTree();
    return true;
}

bool DirectoryTree::walk(std::uint32_t top, Walk kind) {
    toList_.truncate(0);
    if (!toList_.push(top)) return markForRetry(top);
    bool complete = true;
    while (!toList_.empty()) {
        if (!listDirectory(toList_.pop(), kind)) {
            if (kind == Walk::Start) return false;
            complete = false;
        }
    }
    return complete;
}

bool DirectoryTree::listDirectory(std::uint32_t directory, Walk kind) {
    std::size_t length = listingPath(directory);
    if (length == NO_PATH) return markForRetry(directory);
    int directoryFd = sys::openDirectory(path_.data(), directory == ROOT);
    if (directoryFd < 0) {
        if (!nameMissed(errno)) return outOfReach(errno) || markForRetry(directory);
        noteMissedPath();
        // A root that cannot be listed is gone or moved away, which its own events or the
        // check above settle; retrying it would only wake every wait.
        if (directory == ROOT) return true;
        if (kind == Walk::Retry) {
            // Missed again after the events were read: the directory left before its watch
            // was made, so no event will ever correct our record. Its parent's listing will
            // find it if it is still in the tree.
            std::uint32_t parent = entries_[directory].parent;
            dropSubtree(directory);
            markForRetry(parent);
        } else {
            markForRetry(directory);
        }
        return true;
    }

    bool complete = true;
    for (;;) {
        ssize_t filled = sys::readDirectory(directoryFd, listing_, sizeof listing_);
        if (filled <= 0) {
            if (filled < 0 && !outOfReach(errno)) complete = markForRetry(directory);
            break;
        }
        for (ssize_t offset = 0; offset < filled;) {
            const auto& entry = *reinterpret_cast<const DirectoryEntry64*>(listing_ + offset);
            offset += entry.recordLength;
            if (isDotOrDotDot(entry.name) || !isDirectory(directoryFd, entry)) continue;

            std::size_t nameLength = std::strlen(entry.name);
            appendName(length, entry.name, nameLength);
            std::uint32_t child = 0;
            WatchResult result = watchChild(directory, entry.name, nameLength, kind, &child);
            if (result == WatchResult::Failed) {
                complete = markForRetry(directory);
                if (kind == Walk::Start) break;
                continue;
            }
            if (result == WatchResult::Missed) {
                markForRetry(directory);
                continue;
            }
            bool revisit = kind == Walk::Rescan && result == WatchResult::Known;
            if ((result == WatchResult::Added || revisit) && !toList_.push(child)) {
                complete = markForRetry(child);
            }
        }
        if (!complete && kind == Walk::Start) break;
    }
    sys::close(directoryFd);
    return complete;
}

DirectoryTree::WatchResult DirectoryTree::watchChild(std::uint32_t parent, const char* name,
                                                     std::size_t nameLength, Walk kind,
                                                     std::uint32_t* entry) {
    int watch = sys::addWatch(inotifyFd_, path_.data(), SUBDIRECTORY_MASK);
    if (watch < 0) {
        if (nameMissed(errno)) {
            noteMissedPath();
            return WatchResult::Missed;
        }
        return outOfReach(errno) ? WatchResult::Skipped : WatchResult::Failed;
    }

    // The kernel hands back the existing watch for a directory watched already: we met it
    // under another name or parent, so update it in place.
    std::uint32_t known = index_.find(watch, descriptorOf());
    if (known != WatchIndex::NOT_FOUND) {
        if (known == ROOT) return WatchResult::Skipped;
        if (kind == Walk::Rescan) {
            if (entries_[known].flags & SEEN) return WatchResult::Skipped;
            entries_[known].flags |= SEEN;
        }
        relocate(known, parent, name, nameLength);
        *entry = known;
        return WatchResult::Known;
    }

    std::uint32_t added = addEntry(watch, parent, name, nameLength);
    if (added == WatchIndex::NOT_FOUND) {
        sys::removeWatch(inotifyFd_, watch);
        return WatchResult::Failed;
    }
    if (kind == Walk::Rescan) entries_[added].flags |= SEEN;
    *entry = added;
    return WatchResult::Added;
}

void DirectoryTree::watchNewDirectory(std::uint32_t parent, const char* name,
                                      std::size_t nameLength) {
    std::size_t length = buildPath(parent);
    if (length == NO_PATH) {
        markForRetry(parent);
        return;
    }
    appendName(length, name, nameLength);
    std::uint32_t added = 0;
    WatchResult result = watchChild(parent, name, nameLength, Walk::Update, &added);
    if (result == WatchResult::Added) walk(added, Walk::Update);
    if (result == WatchResult::Failed || result == WatchResult::Missed) markForRetry(parent);
}

bool DirectoryTree::readEvents(bool changeKnown) {
    ssize_t filled = sys::read(inotifyFd_, events_, sizeof events_);
    if (filled <= 0) return false;
    bool changed = false;
    for (ssize_t offset = 0; offset < filled;) {
        const auto& event = *reinterpret_cast<const inotify_event*>(events_ + offset);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        changed |= interpret(event, changeKnown || changed);
    }
    return settleMovedRoot() || changed;
}

bool DirectoryTree::interpret(const inotify_event& event, bool changeKnown) {
    if (event.mask & IN_Q_OVERFLOW) {
        rescanWholeTree();
        return true;
    }
    // Events of watches we dropped already are not changes of their own.
    std::uint32_t entry = index_.find(event.wd, descriptorOf());
    if (entry == WatchIndex::NOT_FOUND) return false;

    if (event.mask & IN_IGNORED) {
        if (entry == ROOT) {
            dropWholeTree();
            return true;
        }
        removeEntry(entry, false);
        return false;
    }
    if (event.len == 0) return interpretSelfEvent(entry, event.mask);

    std::size_t nameLength = strnlen(event.name, event.len);
    if ((event.mask & IN_ISDIR) && (event.mask & (IN_CREATE | IN_MOVED_TO))) {
        watchNewDirectory(entry, event.name, nameLength);
        return true;
    }
    if (event.mask & (NAME_EVENTS | IN_MODIFY)) return true;
    if ((event.mask & IN_ATTRIB) && !changeKnown) {
        std::size_t length = buildPath(entry);
        if (length == NO_PATH) return true;
        appendName(length, event.name, nameLength);
        errno = 0;
        if (lastWriteTimeWasSet(path_.data())) return true;
        if (nameMissed(errno)) noteMissedPath();
        return false;
    }
    return false;
}

bool DirectoryTree::interpretSelfEvent(std::uint32_t entry, std::uint32_t mask) {
    if (entry == ROOT) {
        if (!(mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT))) return false;
        // The tree is gone. Later waits block until the stop instead of spinning.
        dropWholeTree();
        return true;
    }
    // A subdirectory's own deletion or renaming was reported by its parent already.
    if (mask & IN_MOVE_SELF) confirmLocation(entry);
    if (mask & IN_UNMOUNT) {
        // The directory underneath the mount point takes its place and must be watched.
        markForRetry(entries_[entry].parent);
        return true;
    }
    return false;
}

void DirectoryTree::confirmLocation(std::uint32_t entry) {
    // A directory renamed inside the tree was relocated when its new name was reported, which
    // always comes before its own move event. So if it is not where we last recorded it, it
    // left the tree (or moved on, which later events will tell).
    std::uint32_t parent = entries_[entry].parent;
    char name[NAME_MAX + 1];
    std::size_t nameLength = entries_[entry].nameLength;
    std::memcpy(name, nameOf(entry), nameLength);
    name[nameLength] = '\0';

    int watch = -1;
    int error = ENOMEM;
    if (buildPath(entry) != NO_PATH) {
        watch = sys::addWatch(inotifyFd_, path_.data(), SUBDIRECTORY_MASK);
        error = errno;
        if (watch == entries_[entry].watch) return;
        if (nameMissed(error)) noteMissedPath();
    }
    dropSubtree(entry);
    // Whatever took its name is in the tree; its own event may already be behind us.
    if (watch >= 0) {
        watchNewDirectory(parent, name, nameLength);
    } else if (!outOfReach(error) || nameMissed(error)) {
        markForRetry(parent);
    }
}

bool DirectoryTree::retryUnwatched() {
    if (pendingRetries_ == 0) return false;
    // Retries build paths from our records, so bring them up to date with the events first.
    bool changed = readEvents(false);
    std::uint32_t watchedBefore = liveEntries_;
    // Walks may add entries (and move the array), so go by number.
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        if (entries_[entry].watch == FREE || !(entries_[entry].flags & NEEDS_RETRY)) continue;
        entries_[entry].flags &= static_cast<std::uint8_t>(~NEEDS_RETRY);
        --pendingRetries_;
        walk(entry, Walk::Retry);
    }
    // A directory watched only now may have changed unseen since the last wait returned.
    return settleMovedRoot() || changed || pendingRetries_ > 0 || liveEntries_ != watchedBefore;
}

void DirectoryTree::rescanWholeTree() {
    if (rootGone_) return;
    // Events were lost: directories may have appeared, moved or gone unseen. List the whole
    // tree again, then drop every entry the listing did not find.
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        entries_[entry].flags = 0;
    }
    pendingRetries_ = 0;
    entries_[ROOT].flags = SEEN;
    bool complete = walk(ROOT, Walk::Rescan);
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        WatchedDirectory& directory = entries_[entry];
        if (directory.watch == FREE) continue;
        bool seen = directory.flags & SEEN;
        directory.flags &= static_cast<std::uint8_t>(~SEEN);
        // An incomplete listing proves nothing about what it did not reach.
        if (complete && !seen) removeEntry(entry, true);
    }
}

std::uint32_t DirectoryTree::addEntry(int watch, std::uint32_t parent, const char* name,
                                      std::size_t nameLength) {
    std::uint32_t offset = 0;
    if (!storeName(name, nameLength, &offset)) return WatchIndex::NOT_FOUND;
    std::uint32_t entry = freeEntries_;
    if (entry != UINT32_MAX) {
        freeEntries_ = entries_[entry].parent;
    } else {
        if (entries_.extend(1) == nullptr) {
            unusedNameBytes_ += nameLength;
            return WatchIndex::NOT_FOUND;
        }
        entry = static_cast<std::uint32_t>(entries_.size() - 1);
    }
    entries_[entry] = {watch, parent, offset, static_cast<std::uint8_t>(nameLength), 0};
    if (!index_.insert(watch, entry, descriptorOf())) {
        entries_[entry].watch = FREE;
        entries_[entry].parent = freeEntries_;
        freeEntries_ = entry;
        unusedNameBytes_ += nameLength;
        return WatchIndex::NOT_FOUND;
    }
    ++liveEntries_;
    return entry;
}

void DirectoryTree::removeEntry(std::uint32_t entry, bool removeKernelWatch) {
    pathSteps_.truncate(0);
    WatchedDirectory& directory = entries_[entry];
    if (removeKernelWatch) sys::removeWatch(inotifyFd_, directory.watch);
    index_.erase(directory.watch, descriptorOf());
    if (directory.flags & NEEDS_RETRY) --pendingRetries_;
    unusedNameBytes_ += directory.nameLength;
    directory.watch = FREE;
    directory.flags = 0;
    directory.parent = freeEntries_;
    freeEntries_ = entry;
    --liveEntries_;
}

void DirectoryTree::relocate(std::uint32_t entry, std::uint32_t parent, const char* name,
                             std::size_t nameLength) {
    WatchedDirectory& directory = entries_[entry];
    bool sameName =
        directory.nameLength == nameLength && std::memcmp(nameOf(entry), name, nameLength) == 0;
    if (directory.parent == parent && sameName) return;
    pathSteps_.truncate(0);
    // Our view lags the filesystem by the events not yet read; a move that would put a
    // directory below itself is one of those, and the pending events will settle it.
    if (isWithin(parent, entry)) return;
    if (!sameName) {
        std::uint32_t offset = 0;
        if (!storeName(name, nameLength, &offset)) {
            dropSubtree(entry);
            markForRetry(parent);
            return;
        }
        unusedNameBytes_ += entries_[entry].nameLength;
        entries_[entry].nameOffset = offset;
        entries_[entry].nameLength = static_cast<std::uint8_t>(nameLength);
    }
    entries_[entry].parent = parent;
}

bool DirectoryTree::isWithin(std::uint32_t entry, std::uint32_t top) const {
    // Bounded by the entry count, so a damaged chain can never loop forever.
    for (std::uint32_t steps = 0; steps <= liveEntries_; ++steps) {
        if (entry == top) return true;
        if (entry == ROOT) return false;
        entry = entries_[entry].parent;
    }
    return false;
}

void DirectoryTree::dropSubtree(std::uint32_t top) {
    // Mark first: removing an entry reuses its parent link, which later checks still follow.
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        if (entries_[entry].watch != FREE && isWithin(entry, top)) entries_[entry].flags |= DOOMED;
    }
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        if (entries_[entry].watch != FREE && (entries_[entry].flags & DOOMED)) {
            removeEntry(entry, true);
        }
    }
}

void DirectoryTree::dropWholeTree() {
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        if (entries_[entry].watch != FREE) removeEntry(entry, true);
    }
    rootGone_ = true;
    entries_.release();
    index_.release();
    names_.release();
    unusedNameBytes_ = 0;
    freeEntries_ = UINT32_MAX;
    pendingRetries_ = 0;
}

bool DirectoryTree::markForRetry(std::uint32_t entry) {
    if (!(entries_[entry].flags & NEEDS_RETRY)) {
        entries_[entry].flags |= NEEDS_RETRY;
        ++pendingRetries_;
    }
    return false;
}

bool DirectoryTree::storeName(const char* name, std::size_t nameLength, std::uint32_t* offset) {
    if (unusedNameBytes_ > COMPACT_NAMES_AFTER && unusedNameBytes_ * 2 > names_.size()) {
        compactNames();
    }
    if (nameLength == 0) {
        *offset = 0;
        return true;
    }
    char* stored = names_.extend(nameLength);
    if (stored == nullptr) return false;
    std::memcpy(stored, name, nameLength);
    *offset = static_cast<std::uint32_t>(stored - names_.data());
    return true;
}

void DirectoryTree::compactNames() {
    PodArray<char> compacted;
    if (!compacted.reserve(names_.size() - unusedNameBytes_)) return;
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        WatchedDirectory& directory = entries_[entry];
        if (directory.watch == FREE || directory.nameLength == 0) continue;
        char* stored = compacted.extend(directory.nameLength);
        std::memcpy(stored, nameOf(entry), directory.nameLength);
        directory.nameOffset = static_cast<std::uint32_t>(stored - compacted.data());
    }
    names_.swap(compacted);
    unusedNameBytes_ = 0;
}

const char* DirectoryTree::nameOf(std::uint32_t entry) const {
    return names_.data() + entries_[entry].nameOffset;
}

std::size_t DirectoryTree::listingPath(std::uint32_t entry) {
    // Walks go depth first, so the parent's path is nearly always still in the buffer.
    if (entry != ROOT) {
        std::uint32_t parent = entries_[entry].parent;
        for (std::size_t step = pathSteps_.size(); step-- > 0;) {
            if (pathSteps_[step].entry != parent) continue;
            std::size_t length = pathSteps_[step].length + 1 + entries_[entry].nameLength;
            if (!path_.reserve(length + 2 + NAME_MAX)) break;
            pathSteps_.truncate(step + 1);
            if (!pathSteps_.push({entry, static_cast<std::uint32_t>(length)})) break;
            return appendName(pathSteps_[step].length, nameOf(entry), entries_[entry].nameLength);
        }
    }
    return buildPath(entry);
}

std::size_t DirectoryTree::buildPath(std::uint32_t entry) {
    pathSteps_.truncate(0);
    std::size_t prefix = rootPath_.size() - 1;
    std::size_t length = prefix;
    std::uint32_t at = entry;
    for (std::uint32_t steps = 0; at != ROOT; at = entries_[at].parent) {
        if (++steps > liveEntries_) return NO_PATH;
        length += 1 + entries_[at].nameLength;
    }
    // Room for a child's name too, which callers append in place.
    if (!path_.reserve(length + 2 + NAME_MAX)) return NO_PATH;
    char* out = path_.data();
    std::memcpy(out, rootPath_.data(), prefix);
    out[length] = '\0';
    std::size_t end = length;
    for (at = entry; at != ROOT; at = entries_[at].parent) {
        end -= entries_[at].nameLength;
        std::memcpy(out + end, nameOf(at), entries_[at].nameLength);
        out[--end] = '/';
    }
    if (length == 0) {
        out[0] = '/';
        out[1] = '\0';
    }
    // Kept only when it can take a step; without it the next path is built in full.
    if (!pathSteps_.push({entry, static_cast<std::uint32_t>(length)})) pathSteps_.truncate(0);
    return length;
}

std::size_t DirectoryTree::appendName(std::size_t length, const char* name,
                                      std::size_t nameLength) {
    char* out = path_.data();
    out[length] = '/';
    std::memcpy(out + length + 1, name, nameLength);
    out[length + 1 + nameLength] = '\0';
    return length + 1 + nameLength;
}

}  // namespace kernel_stand_in
