// What one thread of a walk keeps for itself: its list gives the newest back to it and the oldest
// to others, in order however far the two ends run; the children it watched keep their names
// until recorded; the descriptors it holds follow one line of descent, a few at most, and one
// held for an entry since dropped is not taken for the directory that reuses the entry.
#include "platform/linux/walker.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using kernel_stand_in::EntryStore;
using kernel_stand_in::HeldDirectories;
using kernel_stand_in::WatchedChildren;
using kernel_stand_in::WorkList;

TEST(WorkListTest, NewestForItsOwnerAndOldestForOthersInOrder) {
    WorkList list;
    std::deque<std::uint32_t> model;
    std::mt19937 random(12);
    std::uint32_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        // Mostly growing at first, then mostly taken from the oldest end, as when others take
        // from a busy thread's list.
        unsigned choice = random() % 10;
        bool grow = step < 5000 ? choice < 7 : choice < 3;
        if (grow || model.empty()) {
            ASSERT_TRUE(list.push(next));
            model.push_back(next++);
        } else if (choice % 2 == 0) {
            ASSERT_EQ(list.takeNewest(), model.back());
            model.pop_back();
        } else {
            ASSERT_EQ(list.takeOldest(), model.front());
            model.pop_front();
        }
        ASSERT_EQ(list.size(), model.size());
        ASSERT_EQ(list.empty(), model.empty());
    }
    list.release();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(kernel_stand_in::sys::heldAllocations(), 0);
}

TEST(WatchedChildrenTest, KeepsNamesUntilFullAndRecorded) {
    WatchedChildren found;
    const std::string longest(NAME_MAX, 'n');
    std::size_t added = 0;
    while (!found.full()) {
        std::string name = longest.substr(0, NAME_MAX - added);
        found.add(name.data(), name.size(), static_cast<int>(added), 0);
        ++added;
    }
    // The names' room ran out before the count did.
    EXPECT_LT(added, 64u);
    for (std::size_t at = 0; at < found.count(); ++at) {
        EXPECT_EQ(std::string(found.nameOf(found[at]), found[at].nameLength),
                  longest.substr(0, NAME_MAX - at));
        EXPECT_EQ(found[at].watch, static_cast<int>(at));
    }
    found.clear();
    EXPECT_EQ(found.count(), 0u);
    EXPECT_FALSE(found.full());
}

class HeldDirectoriesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        descriptorsBefore_ = test_support::openDescriptorCount();
        ASSERT_TRUE(store.addRoot("/", 1, 1));
        // A line of descent below the root: chain[0] is the root, chain[i] the child of
        // chain[i - 1].
        chain.push_back(EntryStore::ROOT);
        for (int depth = 1; depth <= 6; ++depth) {
            chain.push_back(store.add(chain.back(), "d", 1, depth + 1));
        }
    }
    void TearDown() override {
        held.closeAll();
        store.clear();
        EXPECT_EQ(test_support::openDescriptorCount(), descriptorsBefore_);
    }

    int openDirectory() { return open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }
    void holdDepth(std::size_t depth) {
        held.hold(chain[depth], store.watchOf(chain[depth]), openDirectory());
    }

    EntryStore store;
    std::vector<std::uint32_t> chain;
    HeldDirectories held;

  private:
    int descriptorsBefore_ = 0;
};

TEST_F(HeldDirectoriesTest, HoldsTheDeepestFewAndLetsGoOfThoseBelowTheOneUsed) {
    int descriptors = test_support::openDescriptorCount();
    for (std::size_t depth = 0; depth < chain.size(); ++depth)
        holdDepth(depth);
    // Only the deepest are kept.
    EXPECT_EQ(test_support::openDescriptorCount(), descriptors + int{HeldDirectories::MOST});
    EXPECT_EQ(held.find(store, chain[0]), HeldDirectories::NONE);
    EXPECT_EQ(held.find(store, chain[6]), HeldDirectories::MOST - 1);

    // A sibling of chain[5] is opened in chain[4]: the two below it are closed.
    std::size_t parentAt = held.find(store, chain[4]);
    ASSERT_NE(parentAt, HeldDirectories::NONE);
    EXPECT_GE(held.keepUpTo(parentAt), 0);
    EXPECT_EQ(test_support::openDescriptorCount(), descriptors + int{HeldDirectories::MOST} - 2);
    EXPECT_EQ(held.find(store, chain[6]), HeldDirectories::NONE);

    // A directory elsewhere: none of them is of use.
    EXPECT_EQ(held.keepUpTo(HeldDirectories::NONE), -1);
    EXPECT_EQ(test_support::openDescriptorCount(), descriptors);
}

TEST_F(HeldDirectoriesTest, AnEntryDroppedAndReusedIsNotTakenForTheOneHeld) {
    holdDepth(1);
    holdDepth(2);
    std::uint32_t dropped = chain[2];
    store.removeSubtree(dropped, [](std::uint32_t) {});
    EXPECT_EQ(held.find(store, dropped), HeldDirectories::NONE);
    std::uint32_t reused = store.add(chain[1], "other", 5, 100);
    ASSERT_EQ(reused, dropped);
    EXPECT_EQ(held.find(store, reused), HeldDirectories::NONE);
    EXPECT_EQ(held.find(store, chain[1]), 0u);
}

}  // namespace
