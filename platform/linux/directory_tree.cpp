#include "platform/linux/directory_tree.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
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

// The tree's marks on its entries.
constexpr std::uint8_t NEEDS_RETRY = 1;  // some child could not be watched or listed
constexpr std::uint8_t SEEN = 2;         // found again by the current rescan

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

}  // namespace

bool DirectoryTree::open(const char* path) {
    close();
    if (path == nullptr) return false;
    inotifyFd_ = sys::inotifyInit();
    if (inotifyFd_ < 0) return false;
    if (watchRoot(path) && walk(ROOT, Walk::Start) && root_ == Root::Watched) return true;
    close();
    return false;
}

void DirectoryTree::close() {
    // Closing the descriptor drops every kernel watch at once.
    if (inotifyFd_ >= 0) sys::close(inotifyFd_);
    inotifyFd_ = -1;
    reset();
}

void DirectoryTree::reset() {
    entries_.clear();
    pendingRetries_ = 0;
    retries_.release();
    retrying_.release();
    retriesOverflowed_ = false;
    caller_.toList.release();
    caller_.path.release();
    root_ = Root::Gone;
}

bool DirectoryTree::watchRoot(const char* path) {
    // An absolute, link-free root keeps every path we build valid whatever the caller's working
    // directory, and pins a root given as a link to the directory it named at the start.
    char resolved[PATH_MAX];
    struct stat root;
    if (!sys::resolvePath(path, resolved) || sys::statusAt(AT_FDCWD, resolved, true, &root) != 0) {
        return false;
    }
    int watch = sys::addWatch(inotifyFd_, resolved, ROOT_MASK);
    if (watch < 0 || !entries_.addRoot(resolved, std::strlen(resolved), watch)) return false;
    rootDevice_ = root.st_dev;
    rootInode_ = root.st_ino;
    root_ = Root::Watched;
    return true;
}

void DirectoryTree::checkRootMovedAway() {
    if (root_ != Root::Watched) return;
    // Renaming a directory above the root is reported to no watch of ours. It shows when a path
    // built from the root's name leads nowhere and the name no longer leads to the root either.
    // A shortage (no memory) tells nothing either way.
    struct stat root;
    if (sys::statusAt(AT_FDCWD, entries_.rootPath(), true, &root) != 0) {
        if (outOfReach(errno)) root_ = Root::MovedAway;
    } else if (root.st_dev != rootDevice_ || root.st_ino != rootInode_) {
        root_ = Root::MovedAway;
    }
}

bool DirectoryTree::dropTreeIfRootMovedAway() {
    if (root_ != Root::MovedAway) return false;
    // As when the root itself is renamed: one change, then nothing more is watched.
    dropWholeTree();
    return true;
}

bool DirectoryTree::walk(std::uint32_t top, Walk kind) {
    caller_.toList.clear();
    if (!caller_.toList.push(top)) {
        markForRetry(top);
        return false;
    }
    Walking walking{this, kind};
    WalkCrew crew(caller_, walkOn, &walking);
    work(caller_, crew, kind);
    crew.joinHelpers();
    return crew.complete();
}

void DirectoryTree::walkOn(void* walking, WalkCrew& crew, Walker& walker) {
    const auto* what = static_cast<const Walking*>(walking);
    what->tree->work(walker, crew, what->kind);
}

void DirectoryTree::work(Walker& walker, WalkCrew& crew, Walk kind) {
    Locked hold(crew.lock());
    std::uint32_t directory = 0;
    while (crew.take(hold, walker, &directory)) {
        // Dropped since it was found, when it turned out to be elsewhere.
        if (entries_.isLive(directory)) listDirectory(walker, directory, kind, crew, hold);
        crew.finishOne();
        if (&walker == &caller_) crew.bringInHelpers(hold);
    }
    hold.unlock();
    walker.held.closeAll();
}

void DirectoryTree::listDirectory(Walker& walker, std::uint32_t directory, Walk kind,
                                  WalkCrew& crew, Locked& hold) {
    std::size_t length = walker.path.build(entries_, directory);
    if (length == EntryPath::NO_PATH) {
        markForRetry(directory);
        fallShort(crew, kind);
        return;
    }
    int watch = entries_.watchOf(directory);
    std::size_t nameLength = entries_.nameLengthOf(directory);
    std::size_t parentAt = directory == ROOT
                               ? HeldDirectories::NONE
                               : walker.held.find(entries_, entries_.parentOf(directory));
    hold.unlock();

    // Opened by its name in its parent's descriptor where this thread holds it: one step for the
    // kernel to resolve instead of the whole path, and never through a link on the way.
    int parentFd = walker.held.keepUpTo(parentAt);
    bool opened = parentFd >= 0
                      ? walker.listing.openAt(parentFd, walker.path.data() + length - nameLength)
                      : walker.listing.open(walker.path.data(), directory == ROOT);
    if (!opened) {
        int error = errno;
        hold.relock();
        if (isListedAs(directory, watch) && !handleUnlistable(directory, kind, error)) {
            fallShort(crew, kind);
        }
        return;
    }

    // Each subdirectory is watched before it is put on the list to be listed itself: by its name
    // in the directory listed, where the thread can move into it, else by its whole path.
    bool anySubdirectory = false;
    bool byName = false;
    while (!crew.abandoned() && walker.listing.read()) {
        std::size_t childLength = 0;
        while (const char* name = walker.listing.nextReadSubdirectory(&childLength)) {
            if (!anySubdirectory && walker.hasOwnWorkingDirectory) {
                byName = sys::changeDirectory(walker.listing.descriptor());
            }
            anySubdirectory = true;
            // Even by name, only a directory its whole path can name is watched: what follows
            // (events, retries) goes by that path.
            int childWatch = -1;
            int error = ENAMETOOLONG;
            if (walker.path.append(length, name, childLength) < PATH_MAX) {
                const char* child = byName ? name : walker.path.data();
                childWatch = sys::addWatch(inotifyFd_, child, SUBDIRECTORY_MASK);
                error = childWatch < 0 ? errno : 0;
            }
            walker.found.add(name, childLength, childWatch, error);
            // A shortage fails a start: let the other threads know at once.
            bool startFails = kind == Walk::Start && childWatch < 0 && !outOfReach(error);
            if (walker.found.full() || startFails) {
                hold.relock();
                recordChildren(walker, directory, watch, kind, crew);
                crew.wakeForPushed();
                hold.unlock();
            }
            if (crew.abandoned()) break;
        }
    }
    int error = walker.listing.failed();
    if (anySubdirectory && error == 0) {
        walker.held.hold(directory, watch, walker.listing.releaseDescriptor());
    } else {
        walker.listing.close();
    }

    hold.relock();
    recordChildren(walker, directory, watch, kind, crew);
    crew.wakeForPushed();
    if (error != 0 && !outOfReach(error) && isListedAs(directory, watch)) {
        markForRetry(directory);
        fallShort(crew, kind);
    }
}

void DirectoryTree::recordChildren(Walker& walker, std::uint32_t directory, int watch, Walk kind,
                                   WalkCrew& crew) {
    // Another thread may have dropped the directory while it was listed, when it found it had
    // left; its parent is listed again then. What was found in it is not part of the tree. An
    // abandoned start releases every watch at once.
    bool dropped = !isListedAs(directory, watch);
    for (std::size_t at = 0; at < walker.found.count() && !crew.abandoned(); ++at) {
        const WatchedChildren::Child& child = walker.found[at];
        if (dropped) {
            if (child.watch >= 0 && entries_.find(child.watch) == EntryStore::NONE) {
                sys::removeWatch(inotifyFd_, child.watch);
            }
            continue;
        }
        std::uint32_t entry = 0;
        WatchResult result = recordWatch(directory, walker.found.nameOf(child), child.nameLength,
                                         child.watch, child.error, kind, &entry);
        if (result == WatchResult::Failed) {
            markForRetry(directory);
            fallShort(crew, kind);
        } else if (result == WatchResult::Missed) {
            markForRetry(directory);
        } else if (result == WatchResult::Added ||
                   (kind == Walk::Rescan && result == WatchResult::Known)) {
            if (!crew.push(walker, entry)) {
                markForRetry(entry);
                fallShort(crew, kind);
            }
        }
    }
    walker.found.clear();
}

bool DirectoryTree::isListedAs(std::uint32_t directory, int watch) const {
    return entries_.isLive(directory) && entries_.watchOf(directory) == watch;
}

void DirectoryTree::fallShort(WalkCrew& crew, Walk kind) {
    crew.fallShort();
    // A start holds the whole tree or nothing: once it cannot, nothing more is worth doing.
    if (kind == Walk::Start) crew.abandon();
}

bool DirectoryTree::handleUnlistable(std::uint32_t directory, Walk kind, int error) {
    if (!nameMissed(error)) {
        if (outOfReach(error)) return true;
        markForRetry(directory);
        return false;
    }
    checkRootMovedAway();
    if (directory == ROOT) {
        // A root gone or moved away is settled by its own events or the check above; retrying
        // it would only wake every wait. One still in place is listed again.
        if (root_ != Root::Watched) return true;
        markForRetry(ROOT);
        return false;
    }
    if (kind == Walk::Retry) {
        // Missed again after the events were read: the directory left before its watch was
        // made, so no event will ever correct our record. Its parent's listing will find it if
        // it is still in the tree.
        std::uint32_t parent = entries_.parentOf(directory);
        dropSubtree(directory, false);
        markForRetry(parent);
    } else {
        markForRetry(directory);
    }
    return true;
}

DirectoryTree::WatchResult DirectoryTree::recordWatch(std::uint32_t parent, const char* name,
                                                      std::size_t nameLength, int watch, int error,
                                                      Walk kind, std::uint32_t* entry) {
    if (watch < 0) {
        if (nameMissed(error)) {
            checkRootMovedAway();
            return WatchResult::Missed;
        }
        return outOfReach(error) ? WatchResult::Skipped : WatchResult::Failed;
    }

    // The kernel hands back the existing watch for a directory watched already: we met it
    // under another name or parent, so update it in place.
    std::uint32_t known = entries_.find(watch);
    if (known != EntryStore::NONE) {
        if (known == ROOT) return WatchResult::Skipped;
        if (kind == Walk::Rescan) {
            if (entries_.marksOf(known) & SEEN) return WatchResult::Skipped;
            entries_.setMarks(known, entries_.marksOf(known) | SEEN);
        }
        if (!relocate(known, parent, name, nameLength)) return WatchResult::Failed;
        *entry = known;
        return WatchResult::Known;
    }

    std::uint32_t added = entries_.add(parent, name, nameLength, watch);
    if (added == EntryStore::NONE) {
        sys::removeWatch(inotifyFd_, watch);
        return WatchResult::Failed;
    }
    if (kind == Walk::Rescan) entries_.setMarks(added, SEEN);
    *entry = added;
    return WatchResult::Added;
}

bool DirectoryTree::relocate(std::uint32_t entry, std::uint32_t parent, const char* name,
                             std::size_t nameLength) {
    // Our view lags the filesystem by the events not yet read; a move that would put a
    // directory below itself is one of those, and the pending events will settle it.
    if (entries_.isWithin(parent, entry)) return true;
    if (entries_.move(entry, parent, name, nameLength)) return true;
    // No memory for the new name: forget the subtree and find it again from its parent.
    dropSubtree(entry, false);
    markForRetry(parent);
    return false;
}

void DirectoryTree::watchNewDirectory(std::uint32_t parent, const char* name,
                                      std::size_t nameLength) {
    std::size_t length = caller_.path.build(entries_, parent);
    if (length == EntryPath::NO_PATH) {
        markForRetry(parent);
        return;
    }
    caller_.path.append(length, name, nameLength);
    int watch = sys::addWatch(inotifyFd_, caller_.path.data(), SUBDIRECTORY_MASK);
    std::uint32_t added = 0;
    WatchResult result = recordWatch(parent, name, nameLength, watch, errno, Walk::Update, &added);
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
    return dropTreeIfRootMovedAway() || changed;
}

bool DirectoryTree::interpret(const inotify_event& event, bool changeKnown) {
    if (event.mask & IN_Q_OVERFLOW) {
        rescanWholeTree();
        return true;
    }
    // Events of watches we dropped already are not changes of their own.
    std::uint32_t entry = entries_.find(event.wd);
    if (entry == EntryStore::NONE) return false;

    if (event.mask & IN_IGNORED) {
        // The kernel dropped the watch: the directory was deleted or its filesystem unmounted.
        if (entry == ROOT) {
            dropWholeTree();
            return true;
        }
        dropSubtree(entry, true);
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
        std::size_t length = caller_.path.build(entries_, entry);
        if (length == EntryPath::NO_PATH) return true;
        caller_.path.append(length, event.name, nameLength);
        errno = 0;
        if (lastWriteTimeWasSet(caller_.path.data())) return true;
        if (nameMissed(errno)) checkRootMovedAway();
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
    if (mask & IN_UNMOUNT) {
        // The directory underneath the mount point takes its place and must be watched.
        markForRetry(entries_.parentOf(entry));
        return true;
    }
    // A subdirectory's own deletion or renaming was reported by its parent already.
    if (mask & IN_MOVE_SELF) confirmLocation(entry);
    return false;
}

void DirectoryTree::confirmLocation(std::uint32_t entry) {
    // A directory renamed inside the tree was relocated when its new name was reported, which
    // always comes before its own move event. So if it is not where we last recorded it, it
    // left the tree (or moved on, which later events will tell).
    std::uint32_t parent = entries_.parentOf(entry);
    char name[NAME_MAX + 1];
    std::size_t nameLength = entries_.nameLengthOf(entry);
    std::memcpy(name, entries_.nameOf(entry), nameLength);
    name[nameLength] = '\0';

    int watch = -1;
    int error = ENOMEM;
    if (caller_.path.build(entries_, entry) != EntryPath::NO_PATH) {
        watch = sys::addWatch(inotifyFd_, caller_.path.data(), SUBDIRECTORY_MASK);
        error = errno;
        if (watch == entries_.watchOf(entry)) return;
        if (nameMissed(error)) checkRootMovedAway();
    }
    dropSubtree(entry, false);
    // Whatever took its name is in the tree; its own event may already be behind us.
    if (watch >= 0) {
        watchNewDirectory(parent, name, nameLength);
        return;
    }
    if (outOfReach(error) && !nameMissed(error)) return;
    // Not where we recorded it. If its parent is, it left the parent; if not, the parent moved
    // in events not read yet, and listing it again once they are read finds the directory.
    if (!nameMissed(error) || !isInPlace(parent)) markForRetry(parent);
}

bool DirectoryTree::isInPlace(std::uint32_t directory) {
    // The root's place was checked just before, when the path below it led nowhere.
    if (directory == ROOT) return root_ == Root::Watched;
    if (caller_.path.build(entries_, directory) == EntryPath::NO_PATH) return false;
    int watch = sys::addWatch(inotifyFd_, caller_.path.data(), SUBDIRECTORY_MASK);
    if (watch == entries_.watchOf(directory)) return true;
    // Another directory has its name now, whose own event will bring it in.
    if (watch >= 0 && entries_.find(watch) == EntryStore::NONE) {
        sys::removeWatch(inotifyFd_, watch);
    }
    return false;
}

bool DirectoryTree::retryUnwatched() {
    if (pendingRetries_ == 0) return false;
    // Retries build paths from our records, so bring them up to date with the events first.
    bool changed = readEvents(false);
    std::uint32_t watchedBefore = entries_.liveCount();
    // Directories marked from here on wait for the next retry.
    retrying_.swap(retries_);
    if (retriesOverflowed_) {
        retriesOverflowed_ = false;
        // Walks may add entries (and move the store's arrays), so go by number.
        for (std::uint32_t entry = 0; entry < entries_.slots(); ++entry) {
            retry(entry);
        }
    } else {
        for (std::size_t at = 0; at < retrying_.size(); ++at) {
            retry(retrying_[at]);
        }
    }
    retrying_.truncate(0);
    // A directory watched only now may have changed unseen since the last wait returned.
    return dropTreeIfRootMovedAway() || changed || pendingRetries_ > 0 ||
           entries_.liveCount() != watchedBefore;
}

void DirectoryTree::retry(std::uint32_t entry) {
    // The list may name an entry dropped since it was marked, or a new one in its place.
    if (!entries_.isLive(entry) || !(entries_.marksOf(entry) & NEEDS_RETRY)) return;
    entries_.setMarks(entry, entries_.marksOf(entry) & static_cast<std::uint8_t>(~NEEDS_RETRY));
    --pendingRetries_;
    walk(entry, Walk::Retry);
}

void DirectoryTree::rescanWholeTree() {
    if (root_ == Root::Gone) return;
    // Events were lost: directories may have appeared, moved or gone unseen. List the whole
    // tree again, then drop every entry the listing did not find.
    for (std::uint32_t entry = 0; entry < entries_.slots(); ++entry) {
        if (entries_.isLive(entry)) entries_.setMarks(entry, 0);
    }
    pendingRetries_ = 0;
    retries_.truncate(0);
    retriesOverflowed_ = false;
    entries_.setMarks(ROOT, SEEN);
    bool complete = walk(ROOT, Walk::Rescan);
    for (std::uint32_t entry = 0; entry < entries_.slots(); ++entry) {
        if (!entries_.isLive(entry)) continue;
        std::uint8_t marks = entries_.marksOf(entry);
        entries_.setMarks(entry, marks & static_cast<std::uint8_t>(~SEEN));
        // An incomplete listing proves nothing about what it did not reach. What a complete
        // one did not reach lies below entries it did not reach either.
        if (complete && !(marks & SEEN)) dropSubtree(entry, false);
    }
}

void DirectoryTree::markForRetry(std::uint32_t entry) {
    if (entries_.marksOf(entry) & NEEDS_RETRY) return;
    entries_.setMarks(entry, entries_.marksOf(entry) | NEEDS_RETRY);
    ++pendingRetries_;
    // Without room in the list, the next retry looks at every entry instead.
    if (!retries_.push(entry)) retriesOverflowed_ = true;
}

void DirectoryTree::dropSubtree(std::uint32_t top, bool kernelDroppedTop) {
    entries_.removeSubtree(top, [&](std::uint32_t entry) {
        if (entry != top || !kernelDroppedTop)
            sys::removeWatch(inotifyFd_, entries_.watchOf(entry));
        if (entries_.marksOf(entry) & NEEDS_RETRY) --pendingRetries_;
    });
}

void DirectoryTree::dropWholeTree() {
    // The descriptor stays open, for the waits to block on until the stop; only the watches go.
    for (std::uint32_t entry = 0; entry < entries_.slots(); ++entry) {
        if (entries_.isLive(entry)) sys::removeWatch(inotifyFd_, entries_.watchOf(entry));
    }
    reset();
}

}  // namespace kernel_stand_in
