// Kernel calls that fail (no descriptors, no memory, no inotify watches left, interrupted): at
// the start they make a clean false that holds nothing; after the start a directory that cannot
// be watched is a change and is retried, never a silent gap; interrupted calls are retried.
#include <cerrno>

#include "monitor/monitor.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;
using kernel_stand_in::sys::Call;
using kernel_stand_in::sys::failCalls;

class FaultInjectionTest : public WatchTest {
  protected:
    void TearDown() override {
        kernel_stand_in::sys::clearInjectedFailures();
        WatchTest::TearDown();
    }
};

// A tree of two levels with four directories each, and its root.
constexpr int TREE_DEPTH = 2;
constexpr int TREE_FANOUT = 4;
constexpr unsigned DIRECTORIES = 21;

struct StartFault {
    const char* name;
    Call call;
    unsigned nth;
    int error;
    bool starts;  // interrupted calls are retried, so the start still succeeds
};

void PrintTo(const StartFault& fault, std::ostream* out) {
    *out << fault.name;
}

const StartFault START_FAULTS[] = {
    {"StopEventOutOfDescriptors", Call::EventFd, 1, EMFILE, false},
    {"StopEventOutOfSystemDescriptors", Call::EventFd, 1, ENFILE, false},
    {"InotifyOutOfDescriptors", Call::InotifyInit, 1, EMFILE, false},
    {"InotifyOutOfMemory", Call::InotifyInit, 1, ENOMEM, false},
    {"RootPathUnresolved", Call::ResolvePath, 1, ENOMEM, false},
    {"RootStatusRefused", Call::Status, 1, ENOMEM, false},
    {"NotificationOutOfMemory", Call::Allocate, 1, ENOMEM, false},
    {"RootWatchRefused", Call::AddWatch, 1, ENOSPC, false},
    {"FirstChildWatchRefused", Call::AddWatch, 2, ENOSPC, false},
    {"LastWatchRefused", Call::AddWatch, DIRECTORIES, ENOSPC, false},
    {"WatchOutOfMemoryHalfWay", Call::AddWatch, 7, ENOMEM, false},
    {"RootListingOutOfDescriptors", Call::OpenDirectory, 1, EMFILE, false},
    {"ListingOutOfSystemDescriptors", Call::OpenDirectory, 9, ENFILE, false},
    {"ListingCutShort", Call::ReadDirectory, 3, ENOMEM, false},
    {"RootListingMissed", Call::OpenDirectory, 1, ENOENT, false},
    {"ListingInterrupted", Call::OpenDirectory, 4, EINTR, true},
    {"ListingReadInterrupted", Call::ReadDirectory, 5, EINTR, true},
};

class StartFaultTest : public FaultInjectionTest,
                       public ::testing::WithParamInterface<StartFault> {};

TEST_P(StartFaultTest, StartFailsCleanlyWhateverCallFails) {
    ASSERT_EQ(makeTree(tree.path(), TREE_DEPTH, TREE_FANOUT) + 1, static_cast<int>(DIRECTORIES));
    const StartFault& fault = GetParam();
    int baseline = openDescriptorCount();
    unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
    failCalls(fault.call, fault.nth, 1, fault.error);
    EXPECT_EQ(startWatch(tree.path().c_str()), fault.starts);
    EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + 1);
    EXPECT_EQ(openDescriptorCount(), baseline + (fault.starts ? 2 : 0));
    EXPECT_EQ(inotifyWatchCount(), fault.starts ? static_cast<int>(DIRECTORIES) : 0);
    kernel_stand_in::sys::clearInjectedFailures();
    if (fault.starts) endWatch();

    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), static_cast<int>(DIRECTORIES));
}

INSTANTIATE_TEST_SUITE_P(Faults, StartFaultTest, ::testing::ValuesIn(START_FAULTS),
                         [](const auto& test) { return std::string(test.param.name); });

// Each allocation of a start refused in turn, up to the first start that needs none refused:
// the start either fails holding nothing or watches the whole tree, never part of it.
TEST_F(FaultInjectionTest, StartHoldsNothingOrEverythingWhicheverAllocationIsRefused) {
    makeTree(tree.path(), TREE_DEPTH, TREE_FANOUT);
    unsigned failedStarts = startWithEachAllocationRefused(static_cast<int>(DIRECTORIES), 1000);
    // The notification, the root's path and entry, the index, the work list, the names...
    EXPECT_GE(failedStarts, 5u);
}

// Faults while new directories are taken in: each is a change, never a gap. While they last,
// every wait returns; the wait after the one that finally watches the directories returns too,
// since something may have changed in them before they were watched.
struct LaterFault {
    const char* name;
    Call call;
    unsigned count;
    int error;
    unsigned nth = 1;  // of the calls from the change on
};

void PrintTo(const LaterFault& fault, std::ostream* out) {
    *out << fault.name;
}

const LaterFault LATER_FAULTS[] = {
    {"WatchRefused", Call::AddWatch, 1, ENOSPC},
    {"WatchRefusedThrice", Call::AddWatch, 3, ENOMEM},
    {"ListingRefused", Call::OpenDirectory, 1, EMFILE},
    {"ListingCutShort", Call::ReadDirectory, 1, ENOMEM},
    {"ListingInterrupted", Call::OpenDirectory, 2, EINTR},
    {"ReadRefused", Call::Read, 2, ENOMEM},
    {"ReadInterrupted", Call::Read, 3, EINTR},
    {"PollFailed", Call::Poll, 1, ENOMEM},
    {"PollInterrupted", Call::Poll, 3, EINTR},
    {"MemoryRefused", Call::Allocate, 1, ENOMEM},
    {"MemoryRefusedThrice", Call::Allocate, 3, ENOMEM},
    // A name that leads nowhere may mean a move not read yet: looked at again after the events.
    {"ListingMissedTheDirectory", Call::OpenDirectory, 1, ENOENT},
    {"ListingMissedTheDirectoryTwice", Call::OpenDirectory, 2, ENOENT},
    {"WatchMissedTheChild", Call::AddWatch, 1, ENOENT, 2},
};

class LaterFaultTest : public FaultInjectionTest,
                       public ::testing::WithParamInterface<LaterFault> {};

TEST_P(LaterFaultTest, NoDirectoryIsLeftUnwatchedAndNoChangeIsLost) {
    const LaterFault& fault = GetParam();
    startOn(tree.path());
    waiter.settle();
    unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
    failCalls(fault.call, fault.nth, fault.count, fault.error);
    fs::create_directories(tree / "outer/inner");
    ASSERT_TRUE(waiter.returns());

    // Made after that wait returned, perhaps where nothing is watched yet.
    writeFile(tree / "outer/inner/early");
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + fault.count);
    EXPECT_EQ(inotifyWatchCount(), 3);
    writeFile(tree / "outer/inner/file");
    EXPECT_TRUE(waiter.returns());
}

INSTANTIATE_TEST_SUITE_P(Faults, LaterFaultTest, ::testing::ValuesIn(LATER_FAULTS),
                         [](const auto& test) { return std::string(test.param.name); });

// A directory renamed when the new name finds no memory: its record is dropped and found again
// from its parent, with everything below it.
TEST_F(FaultInjectionTest, DirectoryRenamedWithoutMemoryForItsNameIsWatchedAgain) {
    fs::create_directories(tree / "short/below");
    startOn(tree.path());
    waiter.settle();
    unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
    // Longer than all names so far together, so storing it must grow the name arena.
    const std::string longName(200, 'n');
    failCalls(Call::Allocate, 1, 1, ENOMEM);
    fs::rename(tree / "short", tree / longName);
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + 1);
    EXPECT_EQ(inotifyWatchCount(), 3);
    writeFile(tree / longName / "below/file");
    EXPECT_TRUE(waiter.returns());
}

// Each allocation of taking in a moved-in subtree refused in turn, each time on a new watch, up
// to the first move that needs none refused: whichever it is, the whole subtree ends up watched.
TEST_F(FaultInjectionTest, MovedInSubtreeIsWatchedWhicheverAllocationIsRefused) {
    // More subdirectories than the work list and the entries first have room for.
    int arriving = makeTree(outside / "arriving", 1, 17) + 1;
    for (unsigned nth = 1;; ++nth) {
        ASSERT_LT(nth, 100u) << "taking in the subtree kept allocating";
        startOn(tree.path());
        waiter.settle();
        unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
        failCalls(Call::Allocate, nth, 1, ENOMEM);
        fs::rename(outside / "arriving", tree / "arrived");
        EXPECT_TRUE(waiter.returns()) << "allocation " << nth;
        waiter.settle();
        bool refused = kernel_stand_in::sys::injectedFailureCount() == injectedBefore + 1;
        kernel_stand_in::sys::clearInjectedFailures();
        EXPECT_EQ(inotifyWatchCount(), 1 + arriving) << "allocation " << nth;
        writeFile(tree / "arrived/d16/file");
        EXPECT_TRUE(waiter.returns()) << "allocation " << nth;
        endWatch();
        if (!refused) break;
        fs::rename(tree / "arrived", outside / "arriving");
    }
}

// A directory whose name leads nowhere twice, before and after the events were read, left before
// its watch could say where: its record is dropped, and its parent listed again finds it.
TEST_F(FaultInjectionTest, DirectoryMissedTwiceIsFoundAgainFromItsParent) {
    startOn(tree.path());
    waiter.settle();
    unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
    failCalls(Call::OpenDirectory, 1, 2, ENOENT);
    fs::create_directory(tree / "only");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + 2);
    EXPECT_EQ(inotifyWatchCount(), 2);
    writeFile(tree / "only/file");
    EXPECT_TRUE(waiter.returns());
}

// A child found by a listing whose name leads nowhere by the time it is watched: its parent is
// listed again once the events are read.
TEST_F(FaultInjectionTest, ChildMissedWhileListingIsWatchedAtTheRetry) {
    fs::create_directories(outside / "outer/inner");
    startOn(tree.path());
    waiter.settle();
    unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
    // The first watch is the moved-in directory's, the second its child's.
    failCalls(Call::AddWatch, 2, 1, ENOENT);
    fs::rename(outside / "outer", tree / "outer");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + 1);
    EXPECT_EQ(inotifyWatchCount(), 3);
    writeFile(tree / "outer/inner/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(FaultInjectionTest, InterruptedWaitsAreResumed) {
    startOn(tree.path());
    failCalls(Call::Poll, 1, 5, EINTR);
    failCalls(Call::Read, 1, 5, EINTR);
    waiter.beginWait();
    EXPECT_TRUE(waiter.staysBlocked());
    writeFile(tree / "file");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    writeFile(tree / "file");
    EXPECT_TRUE(waiter.returns());
}

}  // namespace
