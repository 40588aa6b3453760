// Shared pieces of the native tests: temporary trees, a long-lived waiter thread, and counts of
// what the process holds (descriptors, inotify watches).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long a wait that must return may take: generous, never a speed requirement.
constexpr auto RETURNS_WITHIN = 10s;
// How long a wait that must not return is watched.
constexpr auto STAYS_BLOCKED_FOR = 300ms;

// A fresh directory under the system's temporary folder, removed with everything in it.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const fs::path& path() const { return path_; }
    fs::path operator/(const fs::path& relative) const { return path_ / relative; }

  private:
    fs::path path_;
};

void writeFile(const fs::path& path, const std::string& content = "x");
void appendToFile(const fs::path& path, const std::string& content = "x");
// Builds `depth` levels of `fanout` directories below `top`, with one file in each.
// Returns how many directories it made.
int makeTree(const fs::path& top, int depth, int fanout);
int countDirectories(const fs::path& top);

int openDescriptorCount();
// The threads of the process.
int threadCount();
// The threads of the process once those that ended have left it: a thread that has been joined
// may stay listed for a moment while the kernel finishes its exit (long enough to see under
// emulation). Waits up to ten seconds for the count to come down to `expected`.
int threadCountSettledTo(int expected);
// The inotify watches held by the process, read from /proc/self/fdinfo.
int inotifyWatchCount();
// Bytes of inotify events the kernel has queued for the process and nobody has read yet.
int inotifyQueuedBytes();
// Whether the C library counts the bytes its heap has handed out: glibc does (mallinfo2), musl
// keeps no count. Where it does not, the checks of the heap are left out; the layer's own count of
// the blocks it holds (sys::heldAllocations) is checked everywhere.
bool heapIsCounted();
// Bytes currently allocated from the heap; 0 where the heap is not counted.
std::size_t heapBytesInUse();

// For its lifetime, the calling thread and the threads it starts meanwhile meet file permissions
// as an unprivileged user would, so that tests running as root see permission errors too. The
// file-system identity is per thread on Linux: other threads keep their rights.
class UnprivilegedFileAccess {
  public:
    UnprivilegedFileAccess();
    ~UnprivilegedFileAccess();
    UnprivilegedFileAccess(const UnprivilegedFileAccess&) = delete;
    UnprivilegedFileAccess& operator=(const UnprivilegedFileAccess&) = delete;

  private:
    int previousUser_;
    int previousGroup_;
};

// For its lifetime, walks are shared among at most `threads` threads, one more brought in for each
// `directoriesPerThread` directories found; then back to what WINDOWSFSCM_TEST_WALK_THREADS
// chose (see test_support.cpp), or to the library's own choice.
class SharedWalks {
  public:
    SharedWalks(unsigned threads, unsigned directoriesPerThread);
    ~SharedWalks();
    SharedWalks(const SharedWalks&) = delete;
    SharedWalks& operator=(const SharedWalks&) = delete;
};

// Whether the thread `threadId` (a kernel thread id) sleeps in poll with no time-out: for a waiter,
// that nothing it waits on was signalled when it went to sleep.
bool sleepsInPoll(int threadId);

// Whether the calling thread may not list `directory`.
bool cannotRead(const fs::path& directory);

// Calls waitForChange on one long-lived thread, one call per beginWait, so tests decide exactly
// when each wait starts and can tell whether it has returned.
class Waiter {
  public:
    // Waits and stops through the monitor linked into the tests.
    Waiter();
    // Waits through `wait` and stops through `stop`: the entry points of a library file loaded
    // apart.
    Waiter(std::function<void()> wait, std::function<void()> stop);
    // A wait still blocked by then (a failed test) is ended with a stop.
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    void beginWait();
    bool idle();
    bool returnsWithin(std::chrono::milliseconds limit);
    bool returns() { return returnsWithin(RETURNS_WITHIN); }
    bool staysBlocked() { return !returnsWithin(STAYS_BLOCKED_FOR); }
    // Begins waits until one stays blocked for `quiet`, so the next return is caused by what
    // the test does next and not by events already queued. That wait is left running.
    void settle(std::chrono::milliseconds quiet = 150ms);
    // CPU time the waiting thread has used so far.
    std::chrono::nanoseconds cpuTime();
    // Waits until the running wait sleeps in the kernel with no event left unread, so that any
    // change made from then on must be what wakes it (true), or until it returns (false).
    bool blocksWithNothingPending();

  private:
    void run();

    const std::function<void()> wait_;
    const std::function<void()> stop_;
    std::atomic<int> threadId_{0};
    std::mutex lock_;
    std::condition_variable changed_;
    unsigned long requested_ = 0;
    unsigned long completed_ = 0;
    bool quit_ = false;
    std::thread thread_;
};

// The running waits of `waiters` stay blocked asleep, watched over the same while: a busy loop
// would burn the whole interval, blocking next to nothing.
void expectStayBlockedWithoutSpinning(const std::vector<Waiter*>& waiters);

// A test with a temporary tree to watch and a waiter; at its end the watch must have given
// back every descriptor, watch and block of memory it took.
class WatchTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void startOn(const fs::path& directory);
    // Requests the stop and makes sure a wait consumes it.
    void endWatch();
    // The running wait stays blocked asleep: a busy loop would burn the whole interval, blocking
    // next to nothing.
    void expectStaysBlockedWithoutSpinning();
    // Starts on the tree with each allocation refused in turn, up to the first start that needs
    // none refused, and expects each to fail holding nothing or to watch all `directories`.
    // Returns how many starts failed.
    unsigned startWithEachAllocationRefused(int directories, unsigned mostAllocations);

    TemporaryDirectory tree;
    TemporaryDirectory outside;
    Waiter waiter;

  private:
    int descriptorsBefore_ = 0;
};

}  // namespace test_support
