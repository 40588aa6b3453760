// The threads that share one walk, and the lock they share: the caller's thread walks first and
// brings in helper threads as the walk proves large. Each thread lists the directories it found
// itself, newest first, and one that runs out takes the oldest of another's. Helpers live only
// inside the walk: every one has ended before the walk returns. A helper that cannot be made (no
// thread, no memory) leaves the walk to the threads it has, down to the caller's own.
//
// How many: one thread more for each DIRECTORIES_PER_THREAD directories found, so a small tree
// never makes a thread and a thread's making (about 30 us) stays a tenth or less of the work it
// takes on (32 directories take about 0.3 ms with the cache warm, far more cold). Up to two
// threads per processor the process may use, and never fewer than THREADS_AT_LEAST: warm, the
// walk is CPU-bound and a thread per processor keeps them busy (more cost next to nothing);
// cold, a thread waits on the disk much of the time, and more threads than processors keep the
// disk's queue full (on two processors a cold walk of 100,000 directories took 0.39 of the
// single-threaded time on 4 threads, 0.30 on 8 and 0.25 on 16). Never more than THREADS_AT_MOST:
// the store's lock and the kernel's lock on the inotify instance serialize part of each
// directory's work, so more would only queue.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/linux/lock.h"
#include "platform/linux/walker.h"

namespace kernel_stand_in {

class WalkCrew {
  public:
    static constexpr unsigned DIRECTORIES_PER_THREAD = 32;
    static constexpr unsigned THREADS_PER_PROCESSOR = 2;
    static constexpr unsigned THREADS_AT_LEAST = 16;
    static constexpr unsigned THREADS_AT_MOST = 32;

    // What each thread runs, with its own walker, until the walk is over.
    using Work = void (*)(void* context, WalkCrew& crew, Walker& walker);

    // A walk from the directories in `caller`'s list, run by `work`.
    WalkCrew(Walker& caller, Work work, void* context)
        : work_(work), context_(context), pending_(caller.toList.size()) {
        walkers_[walkerCount_++] = &caller;
    }
    ~WalkCrew() { joinHelpers(); }
    WalkCrew(const WalkCrew&) = delete;
    WalkCrew& operator=(const WalkCrew&) = delete;

    Lock& lock() { return lock_; }

    // Waits for a directory for `walker` to list and takes it; false once the walk is over:
    // nothing left to list and no thread listing, or abandoned.
    bool take(Locked& hold, Walker& walker, std::uint32_t* directory);
    // Ends the listing of the directory taken last.
    void finishOne();
    // Adds a directory found by `walker`; false when memory ran out.
    bool push(Walker& walker, std::uint32_t directory);
    // Wakes threads waiting for what the last pushes added.
    void wakeForPushed();

    // Gives up on the walk: every thread stops at its next step.
    void abandon();
    bool abandoned() const { return abandoned_.load(std::memory_order_relaxed); }
    // Some directory could not be fully listed.
    void fallShort() { complete_ = false; }
    bool complete() const { return complete_; }

    // Called by the caller's thread between directories, with the lock held: starts the helpers
    // that the directories found so far call for.
    void bringInHelpers(Locked& hold);
    // Waits for every helper to end and gives back what each held. Called once the caller's own
    // work is over.
    void joinHelpers();

    // For tests: at most `threads` threads (0: as the processors give), one more for each
    // `directoriesPerThread` directories found (0: DIRECTORIES_PER_THREAD).
    static void setThreadsForTests(unsigned threads, unsigned directoriesPerThread);

  private:
    struct Helper {
        WalkCrew* crew;
        Walker* walker;
        pthread_t thread;
    };

    static void* runHelper(void* helper);
    static unsigned threadLimit();
    bool startHelper();
    Walker* fullestList();

    Work work_;
    void* context_;
    Lock lock_;
    Condition changed_;
    // Every thread's walker, the caller's first; helpers add theirs when they begin.
    Walker* walkers_[THREADS_AT_MOST] = {};
    unsigned walkerCount_ = 0;
    // Directories in all the lists; threads listing one; threads waiting for one; directories
    // added since the waiting were last woken, and in the whole walk.
    std::size_t pending_;
    unsigned listing_ = 0;
    unsigned waiting_ = 0;
    unsigned pushed_ = 0;
    std::uint32_t found_ = 0;
    bool complete_ = true;
    std::atomic<bool> abandoned_{false};
    // Only the caller's thread starts and joins helpers, so these need no lock.
    unsigned helperLimit_ = 0;
    bool limitKnown_ = false;
    unsigned helperCount_ = 0;
    Helper helpers_[THREADS_AT_MOST - 1] = {};
};

}  // namespace kernel_stand_in
