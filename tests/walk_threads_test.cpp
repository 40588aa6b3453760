// Walks shared among many threads: the start, a tree moved in and a rescan after lost events watch
// every directory exactly once; no thread of the walk outlives the call; a failure on any thread
// fails the start holding nothing; threads that cannot be made leave the walk to the others;
// directories moved while threads list them end up watched where they are; a stop requested
// during a long start ends the watch. Also run under ThreadSanitizer.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "monitor/monitor.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;
using kernel_stand_in::sys::Call;
using kernel_stand_in::sys::failCalls;

// More threads than the machine has processors, each brought in after every directory found, so
// that threads meet from the root's listing on.
constexpr unsigned THREADS = 16;

// Three levels of seven: 399 directories below the root, each with a file.
constexpr int DEPTH = 3;
constexpr int FANOUT = 7;
constexpr int DIRECTORIES = 1 + 7 + 49 + 343;

class WalkThreadsTest : public WatchTest {
  protected:
    void SetUp() override {
        WatchTest::SetUp();
        threadsBefore_ = threadCount();
    }
    void TearDown() override {
        kernel_stand_in::sys::clearInjectedFailures();
        WatchTest::TearDown();
        // The waiter is the test's own thread; the walk's are all gone.
        EXPECT_EQ(threadCountSettledTo(threadsBefore_), threadsBefore_);
    }

    // Starts on the tree and checks that no thread of the walk is left running.
    void startOnTree() {
        startOn(tree.path());
        EXPECT_EQ(threadCountSettledTo(threadsBefore_), threadsBefore_);
    }

    // Lets the wait read what is queued and retry what it must, then checks that every directory
    // of the tree, and no other, is watched, and that a file written in `probe` wakes the wait.
    void expectWholeTreeWatched(const fs::path& probe) {
        // Until the wait sleeps with nothing left to read: a wait busy with a long walk or with
        // slowed calls would look quiet to a wait with a time-out.
        for (int attempt = 0;; ++attempt) {
            ASSERT_LT(attempt, 1000) << "the wait keeps returning with nothing changing";
            if (waiter.idle()) waiter.beginWait();
            if (waiter.blocksWithNothingPending()) break;
        }
        EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));
        writeFile(probe / "probe");
        EXPECT_TRUE(waiter.returns()) << probe;
    }

    int threadsBefore() const { return threadsBefore_; }

    SharedWalks sharedWalks{THREADS, 1};

  private:
    int threadsBefore_ = 0;
};

TEST_F(WalkThreadsTest, LargeTreeIsWatchedWholeAndNoThreadOutlivesTheStart) {
    ASSERT_EQ(makeTree(tree.path(), DEPTH, FANOUT) + 1, DIRECTORIES);
    startOnTree();
    EXPECT_EQ(inotifyWatchCount(), DIRECTORIES);
    waiter.beginWait();
    appendToFile(tree / "d6/d0/d6/file");
    EXPECT_TRUE(waiter.returns());
    expectWholeTreeWatched(tree / "d3/d3/d3");
}

TEST_F(WalkThreadsTest, TreeMovedInIsWatchedWholeOnManyThreads) {
    makeTree(outside / "arriving", DEPTH, FANOUT);
    startOnTree();
    waiter.beginWait();
    fs::rename(outside / "arriving", tree / "arrived");
    EXPECT_TRUE(waiter.returns());
    expectWholeTreeWatched(tree / "arrived/d6/d6/d6");
}

// Events lost to the kernel's full queue make the watch list the whole tree again, now on many
// threads: what was made, deleted and moved meanwhile is found as it is.
TEST_F(WalkThreadsTest, LostEventsRescanTheTreeOnManyThreads) {
    int queueLimit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLimit;
    if (queueLimit <= 0 || queueLimit > 1 << 20) GTEST_SKIP() << "no queue limit to reach";
    makeTree(tree.path(), DEPTH, FANOUT);
    startOnTree();

    // Writes to two files in turn, so the kernel cannot merge the events, until it drops them.
    int files[2] = {open((tree / "d0/file").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC),
                    open((tree / "d1/file").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)};
    ASSERT_GE(files[0], 0);
    ASSERT_GE(files[1], 0);
    for (int i = 0; i <= queueLimit; ++i)
        ASSERT_EQ(write(files[i % 2], "x", 1), 1);
    close(files[0]);
    close(files[1]);
    makeTree(tree / "lost/in/the", 2, 5);
    fs::remove_all(tree / "d2");
    fs::rename(tree / "d3", tree / "d4/d0/moved");

    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
    expectWholeTreeWatched(tree / "lost/in/the/d4/d4");
    expectWholeTreeWatched(tree / "d4/d0/moved/d6/d6");
}

TEST_F(WalkThreadsTest, ThreadsThatCannotBeMadeLeaveTheWalkToTheOthers) {
    makeTree(tree.path(), DEPTH, FANOUT);
    struct Shortage {
        Call call;
        unsigned nth;  // the first call that fails; every later one fails too
        int error;
    };
    // No thread at all, then none after the second; the processors unknown, so that the library
    // picks the number of threads without them; threads without a working directory of their
    // own, from the start or after a while, which then watch by whole paths. (A thread's own
    // memory refused is among the allocations refused below.) Each fault must land whatever the
    // number of threads the walk ends up with: the root's seven subdirectories bring in seven
    // threads at once, each of which asks for a working directory of its own first.
    const Shortage shortages[] = {{Call::StartThread, 1, EAGAIN},
                                  {Call::StartThread, 3, EAGAIN},
                                  {Call::Processors, 1, ENOSYS},
                                  {Call::WorkingDirectory, 1, EPERM},
                                  {Call::WorkingDirectory, 4, EACCES}};
    // The library's own choice of threads, brought in from the first directory on.
    SharedWalks ownChoice(0, 1);
    for (const Shortage& shortage : shortages) {
        SCOPED_TRACE(static_cast<unsigned>(shortage.call));
        unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
        failCalls(shortage.call, shortage.nth, 1000, shortage.error);
        ASSERT_TRUE(startWatch(tree.path().c_str()));
        EXPECT_GT(kernel_stand_in::sys::injectedFailureCount(), injectedBefore);
        kernel_stand_in::sys::clearInjectedFailures();
        EXPECT_EQ(inotifyWatchCount(), DIRECTORIES);
        endWatch();
    }
    startOnTree();
    expectWholeTreeWatched(tree / "d5/d5/d5");
}

// A failure on one thread while the others are in the middle of their listings: the start fails,
// every thread stops, and nothing is held: no descriptor, watch, block of memory or thread.
struct WalkFault {
    const char* name;
    Call call;
    unsigned nth;
    int error;
};

void PrintTo(const WalkFault& fault, std::ostream* out) {
    *out << fault.name;
}

const WalkFault WALK_FAULTS[] = {
    {"WatchLimitReached", Call::AddWatch, DIRECTORIES / 2, ENOSPC},
    {"LastWatchRefused", Call::AddWatch, DIRECTORIES, ENOMEM},
    {"ListingOutOfDescriptors", Call::OpenDirectory, DIRECTORIES / 3, EMFILE},
    {"ListingCutShort", Call::ReadDirectory, DIRECTORIES / 2, ENOMEM},
};

class WalkFaultTest : public WalkThreadsTest, public ::testing::WithParamInterface<WalkFault> {};

TEST_P(WalkFaultTest, StartFailsHoldingNothingWhicheverThreadMeetsTheFault) {
    makeTree(tree.path(), DEPTH, FANOUT);
    const WalkFault& fault = GetParam();
    // Slow listings keep every thread in the middle of one when the fault comes.
    kernel_stand_in::sys::slowCalls(Call::ReadDirectory, 200);
    int descriptors = openDescriptorCount();
    // A first failing start warms the allocator and the threads' stacks, which the C library keeps.
    failCalls(fault.call, fault.nth, 1, fault.error);
    EXPECT_FALSE(startWatch(tree.path().c_str()));
    std::size_t heap = heapBytesInUse();
    for (int round = 0; round < 3; ++round) {
        unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
        failCalls(fault.call, fault.nth, 1, fault.error);
        EXPECT_FALSE(startWatch(tree.path().c_str())) << "round " << round;
        EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + 1);
        EXPECT_EQ(openDescriptorCount(), descriptors);
        EXPECT_EQ(inotifyWatchCount(), 0);
        EXPECT_EQ(kernel_stand_in::sys::heldAllocations(), 0);
        EXPECT_EQ(threadCountSettledTo(threadsBefore()), threadsBefore());
    }
    // Far less than what a start holds: a leak on any path would show.
    if (heapIsCounted()) {
        EXPECT_LT(heapBytesInUse(), heap + std::size_t{32} * 1024);
    }
    kernel_stand_in::sys::clearInjectedFailures();
    startOnTree();
    EXPECT_EQ(inotifyWatchCount(), DIRECTORIES);
}

INSTANTIATE_TEST_SUITE_P(Faults, WalkFaultTest, ::testing::ValuesIn(WALK_FAULTS),
                         [](const auto& test) { return std::string(test.param.name); });

// Each allocation of a start on many threads refused in turn, up to the first start that needs
// none refused: the start either fails holding nothing or watches the whole tree.
TEST_F(WalkThreadsTest, StartHoldsNothingOrEverythingWhicheverAllocationIsRefused) {
    makeTree(tree.path(), 2, FANOUT);
    startWithEachAllocationRefused(1 + FANOUT + FANOUT * FANOUT, 2000);
}

// Directories moved back and forth between two parents while threads list those parents and the
// moved directories themselves: once the events are read, each directory is watched once, where
// it is now, and changes in it are seen.
TEST_F(WalkThreadsTest, DirectoriesMovedWhileThreadsListThemAreWatchedWhereTheyEndUp) {
    makeTree(tree / "left", DEPTH, FANOUT);
    fs::create_directory(tree / "right");
    // Each move takes one of the subtrees below left/d0 to right, or brings it back.
    int move = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Slow listings and watches widen the moments at which a move lands.
        kernel_stand_in::sys::slowCalls(Call::ReadDirectory, 100);
        kernel_stand_in::sys::slowCalls(Call::AddWatch, 20);
        std::atomic<bool> started{false};
        std::thread mover([&] {
            for (; !started.load(); ++move) {
                std::string name = "d" + std::to_string(move % FANOUT);
                bool there = move / FANOUT % 2 == 1;
                fs::rename(tree / (there ? "right" : "left/d0") / name,
                           tree / (there ? "left/d0" : "right") / name);
            }
        });
        bool watching = startWatch(tree.path().c_str());
        started.store(true);
        mover.join();
        ASSERT_TRUE(watching);
        kernel_stand_in::sys::clearInjectedFailures();
        for (const auto& side : {tree / "left/d0", tree / "right"}) {
            for (const auto& moved : fs::directory_iterator(side)) {
                if (moved.is_directory()) expectWholeTreeWatched(moved.path() / "d6");
            }
        }
        endWatch();
    }
}

// The signals blocked by a thread of the process, as the kernel shows them; false once the thread
// has ended.
bool readBlockedSignals(const fs::path& task, unsigned long long* mask) {
    std::ifstream status(task / "status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) != 0) continue;
        *mask = std::stoull(line.substr(7), nullptr, 16);
        return true;
    }
    return false;
}

bool blocks(unsigned long long mask, int signal) {
    return (mask >> (signal - 1) & 1) != 0;
}

// A C library blocks signals while it starts a thread, then sets the mask the thread was made
// with. glibc blocks every signal, its own first real-time one (32) included, which no mask made
// with sigfillset blocks; musl blocks every signal but its own (32 to 34), SIGSEGV and the other
// faults included. A mask of either kind is not yet the thread's own.
bool startingMask(unsigned long long mask) {
    constexpr int LIBRARY_SIGNAL = 32;
    if (blocks(mask, LIBRARY_SIGNAL)) return true;
    for (int signal = 1; signal < LIBRARY_SIGNAL; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP && !blocks(mask, signal)) return false;
    }
    return true;
}

// Signals sent to the process never run a handler on a thread of the walk, while the faults a
// thread may raise itself are left to their handlers.
TEST_F(WalkThreadsTest, WalkThreadsLeaveTheProcesssSignalsToItsOwnThreads) {
    makeTree(tree.path(), DEPTH, FANOUT);
    std::set<std::string> ownThreads;
    for (const auto& task : fs::directory_iterator("/proc/self/task"))
        ownThreads.insert(task.path().filename());
    kernel_stand_in::sys::slowCalls(Call::ReadDirectory, 1000);
    bool seen = false;
    unsigned long long mask = 0;
    for (int attempt = 0; !seen; ++attempt) {
        ASSERT_LT(attempt, 20) << "no thread of the walk was seen running with a mask of its own";
        std::atomic<int> startingThread{0};
        std::atomic<bool> started{false};
        std::thread starting([&] {
            startingThread.store(static_cast<int>(gettid()));
            EXPECT_TRUE(startWatch(tree.path().c_str()));
            started.store(true);
        });
        while (startingThread.load() == 0)
            std::this_thread::yield();
        while (!seen && !started.load()) {
            for (const auto& task : fs::directory_iterator("/proc/self/task")) {
                std::string thread = task.path().filename();
                if (ownThreads.count(thread) != 0 ||
                    thread == std::to_string(startingThread.load())) {
                    continue;
                }
                seen = readBlockedSignals(task.path(), &mask) && !startingMask(mask);
                if (seen) break;
            }
        }
        starting.join();
        endWatch();
    }
    EXPECT_TRUE(blocks(mask, SIGINT));
    EXPECT_TRUE(blocks(mask, SIGTERM));
    EXPECT_TRUE(blocks(mask, SIGQUIT));
    EXPECT_FALSE(blocks(mask, SIGSEGV));
    EXPECT_FALSE(blocks(mask, SIGBUS));
}

TEST_F(WalkThreadsTest, StopRequestedDuringALongStartEndsTheWatch) {
    makeTree(tree.path(), DEPTH, FANOUT);
    kernel_stand_in::sys::slowCalls(Call::ReadDirectory, 300);
    std::atomic<int> started{-1};
    std::thread starting([&] { started.store(startWatch(tree.path().c_str()) ? 1 : 0); });
    // Once the walk is well under way, on many threads.
    while (started.load() == -1 && inotifyWatchCount() < DIRECTORIES / 4)
        std::this_thread::yield();
    requestStop();
    starting.join();
    kernel_stand_in::sys::clearInjectedFailures();
    // The start is whole or nothing; a watch it returns is ended by the first wait.
    EXPECT_EQ(inotifyWatchCount(), started.load() == 1 ? DIRECTORIES : 0);
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
    EXPECT_EQ(inotifyWatchCount(), 0);

    startOnTree();
    expectWholeTreeWatched(tree / "d1/d2/d3");
}

}  // namespace
