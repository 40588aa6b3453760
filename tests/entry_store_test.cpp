// The entry store on its own, against a reference model: paths after every kind of change, the
// path buffer's shortcut after entries moved or were reused, subtrees removed leaves first and
// nothing else, name compaction, and running out of memory at any allocation, which must leave
// the store as it was.
#include "platform/linux/entry_store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/linux/system_calls.h"

namespace {

using kernel_stand_in::EntryPath;
using kernel_stand_in::EntryStore;
namespace sys = kernel_stand_in::sys;

constexpr const char* ROOT_PATH = "/watched/root";

struct ModelEntry {
    std::uint32_t parent;
    std::string name;
    int watch;
};

// What the store should hold, kept the plain way.
class Model {
  public:
    std::map<std::uint32_t, ModelEntry> entries;

    std::string pathOf(std::uint32_t entry) const {
        if (entry == EntryStore::ROOT) return ROOT_PATH;
        const ModelEntry& found = entries.at(entry);
        return pathOf(found.parent) + "/" + found.name;
    }

    bool isWithin(std::uint32_t entry, std::uint32_t top) const {
        for (;; entry = entries.at(entry).parent) {
            if (entry == top) return true;
            if (entry == EntryStore::ROOT) return false;
        }
    }

    std::set<std::uint32_t> subtree(std::uint32_t top) const {
        std::set<std::uint32_t> below;
        for (const auto& [entry, data] : entries) {
            if (isWithin(entry, top)) below.insert(entry);
        }
        return below;
    }
};

class EntryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(store.addRoot(ROOT_PATH, std::strlen(ROOT_PATH), nextWatch));
        model.entries[EntryStore::ROOT] = {EntryStore::ROOT, "", nextWatch++};
    }
    void TearDown() override { sys::clearInjectedFailures(); }

    std::uint32_t add(std::uint32_t parent, const std::string& name) {
        std::uint32_t entry = store.add(parent, name.data(), name.size(), nextWatch);
        if (entry != EntryStore::NONE) model.entries[entry] = {parent, name, nextWatch++};
        return entry;
    }

    bool move(std::uint32_t entry, std::uint32_t parent, const std::string& name) {
        if (!store.move(entry, parent, name.data(), name.size())) return false;
        model.entries[entry].parent = parent;
        model.entries[entry].name = name;
        return true;
    }

    // Removes the subtree and checks that exactly it went, each entry after its children.
    void removeSubtree(std::uint32_t top) {
        std::set<std::uint32_t> expected = model.subtree(top);
        std::set<std::uint32_t> removed;
        store.removeSubtree(top, [&](std::uint32_t entry) {
            for (std::uint32_t below : expected) {
                if (below != entry && model.entries.at(below).parent == entry) {
                    EXPECT_TRUE(removed.count(below)) << "removed before its child";
                }
            }
            removed.insert(entry);
        });
        EXPECT_EQ(removed, expected);
        for (std::uint32_t entry : expected)
            model.entries.erase(entry);
    }

    void expectSameAsModel() {
        ASSERT_EQ(store.liveCount(), model.entries.size());
        for (const auto& [entry, data] : model.entries) {
            ASSERT_TRUE(store.isLive(entry));
            EXPECT_EQ(store.find(data.watch), entry);
            EXPECT_EQ(store.watchOf(entry), data.watch);
            std::size_t length = path.build(store, entry);
            ASSERT_NE(length, EntryPath::NO_PATH);
            EXPECT_EQ(std::string(path.data(), length), model.pathOf(entry)) << "entry " << entry;
        }
        for (std::uint32_t entry = 0; entry < store.slots(); ++entry) {
            EXPECT_EQ(store.isLive(entry), model.entries.count(entry) == 1) << "entry " << entry;
        }
    }

    std::uint32_t anyEntry(std::mt19937& random) const {
        auto at = model.entries.begin();
        std::advance(at, random() % model.entries.size());
        return at->first;
    }

    EntryStore store;
    EntryPath path;
    Model model;
    int nextWatch = 1;
};

TEST_F(EntryStoreTest, PathsFollowAddsMovesAndRemovals) {
    std::uint32_t a = add(EntryStore::ROOT, "a");
    std::uint32_t b = add(a, "b");
    std::uint32_t c = add(b, "c");
    std::uint32_t d = add(EntryStore::ROOT, "d");
    expectSameAsModel();

    // The buffer holds b's path, the start of c's; after b moves, it must not be extended.
    ASSERT_NE(path.build(store, b), EntryPath::NO_PATH);
    ASSERT_TRUE(move(b, d, "renamed"));
    std::size_t length = path.build(store, c);
    EXPECT_EQ(std::string(path.data(), length), "/watched/root/d/renamed/c");

    // c's number goes to a new entry elsewhere: its old path must not be reused for it.
    ASSERT_NE(path.build(store, c), EntryPath::NO_PATH);
    removeSubtree(c);
    std::uint32_t reused = add(a, "fresh");
    EXPECT_EQ(reused, c);
    std::uint32_t child = add(reused, "child");
    length = path.build(store, child);
    EXPECT_EQ(std::string(path.data(), length), "/watched/root/a/fresh/child");
    expectSameAsModel();

    EXPECT_TRUE(store.isWithin(b, d));
    EXPECT_FALSE(store.isWithin(d, b));
    removeSubtree(d);
    removeSubtree(a);
    expectSameAsModel();
    EXPECT_EQ(store.liveCount(), 1u);
}

TEST_F(EntryStoreTest, TheRootOfTheFilesystemHasNoDoubleSlash) {
    EntryStore top;
    ASSERT_TRUE(top.addRoot("/", 1, 1));
    std::uint32_t tmp = top.add(EntryStore::ROOT, "tmp", 3, 2);
    EntryPath built;
    EXPECT_EQ(built.build(top, EntryStore::ROOT), 0u);
    EXPECT_STREQ(built.data(), "/");
    EXPECT_STREQ(top.rootPath(), "/");
    std::size_t length = built.build(top, tmp);
    EXPECT_EQ(std::string(built.data(), length), "/tmp");
    length = built.append(length, "x", 1);
    EXPECT_EQ(std::string(built.data(), length), "/tmp/x");
}

TEST_F(EntryStoreTest, RandomChangesKeepTheStoreAndTheModelAlike) {
    std::mt19937 random(11);
    for (int step = 0; step < 20000; ++step) {
        unsigned choice = random() % 10;
        std::uint32_t entry = anyEntry(random);
        std::string name = "n" + std::to_string(random() % 50);
        if (choice < 6 || model.entries.size() < 10) {
            ASSERT_NE(add(entry, name), EntryStore::NONE);
        } else if (choice < 8) {
            std::uint32_t parent = anyEntry(random);
            if (entry == EntryStore::ROOT || model.isWithin(parent, entry)) continue;
            ASSERT_TRUE(move(entry, parent, name));
        } else if (entry != EntryStore::ROOT) {
            removeSubtree(entry);
        }
        // Most checks build paths that extend the last one, as a walk does.
        if (step % 500 == 0) {
            expectSameAsModel();
        } else {
            std::uint32_t probe = anyEntry(random);
            std::size_t length = path.build(store, probe);
            ASSERT_EQ(std::string(path.data(), length), model.pathOf(probe)) << "step " << step;
        }
    }
    expectSameAsModel();
}

TEST_F(EntryStoreTest, AnAllocationRefusedLeavesTheStoreAsItWas) {
    std::mt19937 random(5);
    unsigned refusals = 0;
    for (int step = 0; step < 3000; ++step) {
        // Long names make the name arena grow often.
        std::string name(1 + random() % 255, static_cast<char>('a' + random() % 26));
        std::uint32_t entry = anyEntry(random);
        std::uint32_t parent = anyEntry(random);
        bool moving = random() % 4 == 0 && entry != EntryStore::ROOT;
        if (moving && model.isWithin(parent, entry)) parent = EntryStore::ROOT;
        unsigned failedBefore = sys::injectedFailureCount();
        sys::failCalls(sys::Call::Allocate, 1, 1, ENOMEM);
        bool refused = moving ? !move(entry, parent, name) : add(entry, name) == EntryStore::NONE;
        // The refusal may fall on an allocation the change did not need; then it succeeded.
        bool injected = sys::injectedFailureCount() == failedBefore + 1;
        sys::clearInjectedFailures();
        if (refused) {
            ASSERT_TRUE(injected);
            ++refusals;
        }
        if (step % 100 == 0 && model.entries.size() > 200) removeSubtree(anyEntry(random));
        if (step % 50 == 0) expectSameAsModel();
    }
    expectSameAsModel();
    EXPECT_GT(refusals, 20u);
}

TEST(EntryStoreRootTest, ARootThatCannotBeStoredLeavesNothing) {
    for (unsigned nth = 1;; ++nth) {
        ASSERT_LT(nth, 20u) << "the root never came through";
        EntryStore store;
        unsigned failedBefore = sys::injectedFailureCount();
        sys::failCalls(sys::Call::Allocate, nth, 1, ENOMEM);
        bool stored = store.addRoot(ROOT_PATH, std::strlen(ROOT_PATH), 1);
        bool refused = sys::injectedFailureCount() == failedBefore + 1;
        sys::clearInjectedFailures();
        if (!refused) {
            EXPECT_TRUE(stored);
            EXPECT_EQ(store.liveCount(), 1u);
            break;
        }
        EXPECT_FALSE(stored);
        EXPECT_EQ(store.liveCount(), 0u);
        EXPECT_EQ(store.find(1), EntryStore::NONE);
    }
}

class NameCompactionTest : public EntryStoreTest {
  protected:
    // Fills the arena with long names, 200 directories with two children each, then removes
    // two thirds of them: enough unused bytes for the next name stored to compact the arena.
    void leaveMostNamesUnused() {
        std::vector<std::uint32_t> tops;
        for (int i = 0; i < 200; ++i) {
            std::string name = std::to_string(i) + std::string(250, 'x');
            std::uint32_t top = add(EntryStore::ROOT, name);
            ASSERT_NE(top, EntryStore::NONE);
            ASSERT_NE(add(top, name + "a"), EntryStore::NONE);
            ASSERT_NE(add(top, name + "b"), EntryStore::NONE);
            tops.push_back(top);
        }
        for (std::size_t i = 0; i < tops.size(); ++i) {
            if (i % 3 != 0) removeSubtree(tops[i]);
        }
        ASSERT_GT(store.unusedNameBytes(), std::size_t{64} * 1024);
    }
};

TEST_F(NameCompactionTest, UnusedNamesAreDroppedAndPathsStayRight) {
    leaveMostNamesUnused();
    ASSERT_NE(add(EntryStore::ROOT, "after"), EntryStore::NONE);
    EXPECT_EQ(store.unusedNameBytes(), 0u);
    expectSameAsModel();
}

TEST_F(NameCompactionTest, WithoutMemoryForACopyTheArenaIsKeptAsItIs) {
    leaveMostNamesUnused();
    std::size_t unused = store.unusedNameBytes();
    sys::failCalls(sys::Call::Allocate, 1, 1, ENOMEM);
    ASSERT_NE(add(EntryStore::ROOT, "after"), EntryStore::NONE);
    EXPECT_EQ(store.unusedNameBytes(), unused);
    expectSameAsModel();

    sys::clearInjectedFailures();
    ASSERT_NE(add(EntryStore::ROOT, "later"), EntryStore::NONE);
    EXPECT_EQ(store.unusedNameBytes(), 0u);
    expectSameAsModel();
}

TEST_F(EntryStoreTest, APathThatCannotBeBuiltSaysSo) {
    std::uint32_t a = add(EntryStore::ROOT, "a");
    EntryPath fresh;
    sys::failCalls(sys::Call::Allocate, 1, 1, ENOMEM);
    EXPECT_EQ(fresh.build(store, a), EntryPath::NO_PATH);
    sys::clearInjectedFailures();
    std::size_t length = fresh.build(store, a);
    EXPECT_EQ(std::string(fresh.data(), length), "/watched/root/a");
}

}  // namespace
