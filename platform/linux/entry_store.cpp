#include "platform/linux/entry_store.h"

#include <climits>
#include <cstring>

namespace kernel_stand_in {
namespace {

// Names of removed entries stay in the arena until they are this many bytes and half of it.
constexpr std::size_t COMPACT_NAMES_AFTER = std::size_t{64} * 1024;

}  // namespace

bool EntryStore::addRoot(const char* path, std::size_t length, int watch) {
    // "/" would give "//name" for its children; keep an empty prefix instead.
    std::size_t prefix = length == 1 ? 0 : length;
    char* stored = rootPath_.extend(prefix + 1);
    if (stored == nullptr) return false;
    std::memcpy(stored, path, prefix);
    stored[prefix] = '\0';
    rootLength_ = prefix;
    if (newEntry(ROOT, "", 0, watch) == ROOT) return true;
    rootPath_.release();
    rootLength_ = 0;
    return false;
}

std::uint32_t EntryStore::add(std::uint32_t parent, const char* name, std::size_t nameLength,
                              int watch) {
    std::uint32_t entry = newEntry(parent, name, nameLength, watch);
    if (entry != NONE) link(entry, parent);
    return entry;
}

std::uint32_t EntryStore::newEntry(std::uint32_t parent, const char* name, std::size_t nameLength,
                                   int watch) {
    std::uint32_t offset = 0;
    if (!storeName(name, nameLength, &offset)) return NONE;
    std::uint32_t entry = freeEntries_;
    if (entry != NONE) {
        freeEntries_ = entries_[entry].parent;
    } else if (entries_.extend(1) != nullptr) {
        entry = static_cast<std::uint32_t>(entries_.size() - 1);
    } else {
        unusedNameBytes_ += nameLength;
        return NONE;
    }
    entries_[entry] = {
        watch, parent, NONE, NONE, NONE, offset, static_cast<std::uint8_t>(nameLength), 0};
    if (!index_.insert(watch, entry, descriptorOf())) {
        entries_[entry].watch = FREE;
        entries_[entry].parent = freeEntries_;
        freeEntries_ = entry;
        unusedNameBytes_ += nameLength;
        return NONE;
    }
    ++live_;
    return entry;
}

bool EntryStore::move(std::uint32_t entry, std::uint32_t parent, const char* name,
                      std::size_t nameLength) {
    bool sameName = hasName(entry, name, nameLength);
    if (entries_[entry].parent == parent && sameName) return true;
    if (!sameName) {
        std::uint32_t offset = 0;
        if (!storeName(name, nameLength, &offset)) return false;
        unusedNameBytes_ += entries_[entry].nameLength;
        entries_[entry].nameOffset = offset;
        entries_[entry].nameLength = static_cast<std::uint8_t>(nameLength);
    }
    unlink(entry);
    link(entry, parent);
    ++layoutVersion_;
    return true;
}

void EntryStore::link(std::uint32_t entry, std::uint32_t parent) {
    Entry& linked = entries_[entry];
    linked.parent = parent;
    linked.previousSibling = NONE;
    linked.nextSibling = entries_[parent].firstChild;
    if (linked.nextSibling != NONE) entries_[linked.nextSibling].previousSibling = entry;
    entries_[parent].firstChild = entry;
}

void EntryStore::unlink(std::uint32_t entry) {
    const Entry& unlinked = entries_[entry];
    if (unlinked.previousSibling != NONE) {
        entries_[unlinked.previousSibling].nextSibling = unlinked.nextSibling;
    } else if (entry != ROOT) {
        entries_[unlinked.parent].firstChild = unlinked.nextSibling;
    }
    if (unlinked.nextSibling != NONE) {
        entries_[unlinked.nextSibling].previousSibling = unlinked.previousSibling;
    }
}

void EntryStore::remove(std::uint32_t entry) {
    unlink(entry);
    Entry& removed = entries_[entry];
    index_.erase(removed.watch, descriptorOf());
    unusedNameBytes_ += removed.nameLength;
    removed.watch = FREE;
    removed.parent = freeEntries_;
    freeEntries_ = entry;
    --live_;
    ++layoutVersion_;
}

void EntryStore::clear() {
    entries_.release();
    index_.release();
    names_.release();
    rootPath_.release();
    rootLength_ = 0;
    unusedNameBytes_ = 0;
    freeEntries_ = NONE;
    live_ = 0;
    ++layoutVersion_;
}

bool EntryStore::hasName(std::uint32_t entry, const char* name, std::size_t nameLength) const {
    return entries_[entry].nameLength == nameLength &&
           std::memcmp(nameOf(entry), name, nameLength) == 0;
}

bool EntryStore::isWithin(std::uint32_t entry, std::uint32_t top) const {
    // Bounded by the entry count, so a damaged chain can never loop forever.
    for (std::uint32_t steps = 0; entry != top; ++steps) {
        if (entry == ROOT || steps > live_) return false;
        entry = entries_[entry].parent;
    }
    return true;
}

bool EntryStore::storeName(const char* name, std::size_t nameLength, std::uint32_t* offset) {
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

void EntryStore::compactNames() {
    // Without the memory for a compacted copy the arena keeps its unused bytes for now.
    PodArray<char> compacted;
    if (!compacted.reserve(names_.size() - unusedNameBytes_)) return;
    for (std::uint32_t entry = 0; entry < entries_.size(); ++entry) {
        Entry& kept = entries_[entry];
        if (kept.watch == FREE || kept.nameLength == 0) continue;
        char* stored = compacted.extend(kept.nameLength);
        std::memcpy(stored, nameOf(entry), kept.nameLength);
        kept.nameOffset = static_cast<std::uint32_t>(stored - compacted.data());
    }
    names_.swap(compacted);
    unusedNameBytes_ = 0;
}

std::size_t EntryPath::build(const EntryStore& store, std::uint32_t entry) {
    if (stepsVersion_ != store.layoutVersion()) steps_.truncate(0);
    stepsVersion_ = store.layoutVersion();
    // Walks go depth first, so the parent's path is nearly always still in the buffer.
    if (entry != EntryStore::ROOT) {
        std::uint32_t parent = store.parentOf(entry);
        for (std::size_t step = steps_.size(); step-- > 0;) {
            if (steps_[step].entry != parent) continue;
            std::size_t length = steps_[step].length + 1 + store.nameLengthOf(entry);
            if (!path_.reserve(length + 2 + NAME_MAX)) break;
            steps_.truncate(step + 1);
            if (!steps_.push({entry, static_cast<std::uint32_t>(length)})) break;
            return append(steps_[step].length, store.nameOf(entry), store.nameLengthOf(entry));
        }
    }
    return buildFromRoot(store, entry);
}

std::size_t EntryPath::buildFromRoot(const EntryStore& store, std::uint32_t entry) {
    steps_.truncate(0);
    std::size_t prefix = store.rootPrefixLength();
    std::size_t length = prefix;
    std::uint32_t at = entry;
    for (std::uint32_t steps = 0; at != EntryStore::ROOT; at = store.parentOf(at)) {
        if (++steps > store.liveCount()) return NO_PATH;
        length += 1 + store.nameLengthOf(at);
    }
    // Room for a child's name too, which callers append in place.
    if (!path_.reserve(length + 2 + NAME_MAX)) return NO_PATH;
    char* out = path_.data();
    std::memcpy(out, store.rootPrefix(), prefix);
    out[length] = '\0';
    std::size_t end = length;
    for (at = entry; at != EntryStore::ROOT; at = store.parentOf(at)) {
        end -= store.nameLengthOf(at);
        std::memcpy(out + end, store.nameOf(at), store.nameLengthOf(at));
        out[--end] = '/';
    }
    if (length == 0) {
        out[0] = '/';
        out[1] = '\0';
    }
    // Kept only when it can take a step; without it the next path is built in full.
    if (!steps_.push({entry, static_cast<std::uint32_t>(length)})) steps_.truncate(0);
    return length;
}

std::size_t EntryPath::append(std::size_t length, const char* name, std::size_t nameLength) {
    char* out = path_.data();
    out[length] = '/';
    std::memcpy(out + length + 1, name, nameLength);
    out[length + 1 + nameLength] = '\0';
    return length + 1 + nameLength;
}

void EntryPath::release() {
    path_.release();
    steps_.release();
}

}  // namespace kernel_stand_in
