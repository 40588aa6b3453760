#include "platform/linux/walk_crew.h"

#include <algorithm>
#include <new>

#include "platform/linux/system_calls.h"

namespace kernel_stand_in {
namespace {

std::atomic<unsigned> threadsForTests{0};
std::atomic<unsigned> directoriesPerThreadForTests{0};

}  // namespace

bool WalkCrew::take(Locked& hold, Walker& walker, std::uint32_t* directory) {
    // While others list, they may yet find more.
    while (pending_ == 0 && listing_ > 0 && !abandoned()) {
        ++waiting_;
        changed_.wait(hold);
        --waiting_;
    }
    if (abandoned() || pending_ == 0) return false;
    *directory =
        walker.toList.empty() ? fullestList()->toList.takeOldest() : walker.toList.takeNewest();
    --pending_;
    ++listing_;
    return true;
}

Walker* WalkCrew::fullestList() {
    Walker* fullest = walkers_[0];
    for (unsigned at = 1; at < walkerCount_; ++at) {
        if (walkers_[at]->toList.size() > fullest->toList.size()) fullest = walkers_[at];
    }
    return fullest;
}

void WalkCrew::finishOne() {
    --listing_;
    // Nothing left and nobody to find more: the walk is over for those waiting too.
    if (listing_ == 0 && pending_ == 0 && waiting_ > 0) changed_.wakeAll();
}

bool WalkCrew::push(Walker& walker, std::uint32_t directory) {
    if (!walker.toList.push(directory)) return false;
    ++pending_;
    ++pushed_;
    ++found_;
    return true;
}

void WalkCrew::wakeForPushed() {
    if (pushed_ >= waiting_) {
        if (waiting_ > 0) changed_.wakeAll();
    } else {
        for (unsigned woken = 0; woken < pushed_; ++woken)
            changed_.wakeOne();
    }
    pushed_ = 0;
}

void WalkCrew::abandon() {
    abandoned_.store(true, std::memory_order_relaxed);
    changed_.wakeAll();
}

void WalkCrew::bringInHelpers(Locked& hold) {
    unsigned perThread = directoriesPerThreadForTests.load(std::memory_order_relaxed);
    std::uint32_t wanted = found_ / (perThread != 0 ? perThread : DIRECTORIES_PER_THREAD);
    if (wanted <= helperCount_ || (limitKnown_ && helperCount_ == helperLimit_) || pending_ == 0) {
        return;
    }
    hold.unlock();
    if (!limitKnown_) {
        helperLimit_ = threadLimit() - 1;
        limitKnown_ = true;
    }
    if (wanted > helperLimit_) wanted = helperLimit_;
    while (helperCount_ < wanted) {
        if (!startHelper()) {
            // No thread or no memory now: the walk goes on with those it has.
            helperLimit_ = helperCount_;
            break;
        }
    }
    hold.relock();
}

bool WalkCrew::startHelper() {
    void* memory = sys::allocate(sizeof(Walker));
    if (memory == nullptr) return false;
    Helper& helper = helpers_[helperCount_];
    helper.crew = this;
    helper.walker = new (memory) Walker;
    if (!sys::startThread(&helper.thread, runHelper, &helper)) {
        helper.walker->~Walker();
        sys::deallocate(memory);
        return false;
    }
    ++helperCount_;
    return true;
}

void* WalkCrew::runHelper(void* helper) {
    auto* self = static_cast<Helper*>(helper);
    WalkCrew& crew = *self->crew;
    {
        Locked hold(crew.lock_);
        crew.walkers_[crew.walkerCount_++] = self->walker;
    }
    self->walker->hasOwnWorkingDirectory = sys::ownWorkingDirectory();
    crew.work_(crew.context_, crew, *self->walker);
    return nullptr;
}

void WalkCrew::joinHelpers() {
    for (; helperCount_ > 0; --helperCount_) {
        Helper& helper = helpers_[helperCount_ - 1];
        sys::joinThread(helper.thread);
        helper.walker->~Walker();
        sys::deallocate(helper.walker);
    }
}

unsigned WalkCrew::threadLimit() {
    unsigned forced = threadsForTests.load(std::memory_order_relaxed);
    if (forced != 0) return std::min(forced, THREADS_AT_MOST);
    return std::clamp(THREADS_PER_PROCESSOR * sys::usableProcessors(), THREADS_AT_LEAST,
                      THREADS_AT_MOST);
}

void WalkCrew::setThreadsForTests(unsigned threads, unsigned directoriesPerThread) {
    threadsForTests.store(threads, std::memory_order_relaxed);
    directoriesPerThreadForTests.store(directoriesPerThread, std::memory_order_relaxed);
}

}  // namespace kernel_stand_in
