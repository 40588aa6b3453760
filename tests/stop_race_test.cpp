// Stops racing everything else: thousands of watches, each ended by a stop from another thread
// at a chosen moment (after a random delay, while the waiter sleeps, just after a change woke
// it), with changes in flight in every other watch. Every watch must end, no stop may reach a
// later watch, and nothing may leak: descriptors, watches, memory. Also run under
// ThreadSanitizer.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

#include "monitor/monitor.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

enum class Moment { AfterDelay, WhileAsleep, JustAfterAWake };

// Writes files below `directory` on a thread of its own while it is switched on.
class Writer {
  public:
    explicit Writer(fs::path directory)
        : directory_(std::move(directory)), thread_([this] { run(); }) {}
    ~Writer() {
        finished_.store(true);
        thread_.join();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Returns once the writer has stopped or started writing.
    void set(bool on) {
        writing_.store(on);
        while (paused_.load() == on)
            std::this_thread::yield();
    }

  private:
    void run() {
        for (unsigned n = 0; !finished_.load(); ++n) {
            if (!writing_.load()) {
                paused_.store(true);
                std::this_thread::yield();
                continue;
            }
            paused_.store(false);
            writeFile(directory_ / ("f" + std::to_string(n % 8)));
        }
    }

    fs::path directory_;
    std::atomic<bool> writing_{false};
    std::atomic<bool> paused_{true};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

struct Watcher {
    std::atomic<int> threadId{0};
    std::atomic<bool> stopIssued{false};
    std::atomic<bool> stopReturned{false};
    std::atomic<int> wakes{0};
    int wakesBeforeStop = 0;
};

// Waits until `ready` holds, or gives up after a while (the stop then just comes later).
template <typename Condition>
void awaitMoment(Condition ready) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (!ready() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::yield();
}

void raceStops(int cycles, std::uint64_t seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TemporaryDirectory tree;
    fs::create_directories(tree / "sub");
    Writer writer(tree / "sub");
    std::mt19937_64 random(seed);
    int staleWakes = 0;
    unsigned closedHandleUses = kernel_stand_in::closedHandleUses();
    int descriptors = 0;
    std::size_t heap = 0;
    // The first watches warm up the allocator's caches and the threads' stacks.
    const int warmUp = cycles / 20 * 2;

    for (int cycle = 0; cycle < cycles; ++cycle) {
        // Every other watch runs with no changes at all: any wake before its stop would have
        // to come from a stop meant for an earlier watch.
        bool quiet = cycle % 2 == 0;
        auto moment = static_cast<Moment>(random() % (quiet ? 2 : 3));
        auto delay = std::chrono::microseconds(random() % 400);
        writer.set(!quiet);
        // Counted while the writer holds no file open.
        if (cycle == warmUp) {
            descriptors = openDescriptorCount();
            heap = heapBytesInUse();
        }
        ASSERT_TRUE(startWatch(tree.path().c_str())) << "cycle " << cycle;

        Watcher watcher;
        std::promise<void> ended;
        std::thread waiting([&watcher, &ended] {
            watcher.threadId.store(static_cast<int>(gettid()));
            while (!watcher.stopReturned.load()) {
                waitForChange();
                watcher.wakes.fetch_add(1);
                if (!watcher.stopIssued.load()) ++watcher.wakesBeforeStop;
            }
            // The last wait may have returned on a change before the stop; this one ends the
            // watch, if no earlier one did.
            waitForChange();
            ended.set_value();
        });
        std::thread stopper([&watcher, moment, delay] {
            if (moment == Moment::AfterDelay) std::this_thread::sleep_for(delay);
            if (moment == Moment::WhileAsleep) {
                awaitMoment([&] { return sleepsInPoll(watcher.threadId.load()); });
            }
            if (moment == Moment::JustAfterAWake) {
                awaitMoment([&] { return watcher.wakes.load() > 0; });
            }
            watcher.stopIssued.store(true);
            requestStop();
            watcher.stopReturned.store(true);
        });
        if (ended.get_future().wait_for(RETURNS_WITHIN) != std::future_status::ready) {
            std::fprintf(stderr, "watch %d never ended (seed %llu)\n", cycle,
                         static_cast<unsigned long long>(seed));
            std::abort();
        }
        waiting.join();
        stopper.join();
        if (quiet) staleWakes += watcher.wakesBeforeStop;
    }
    writer.set(false);

    EXPECT_EQ(staleWakes, 0);
    // No call named a handle after it was closed: no stop set an event released under it.
    EXPECT_EQ(kernel_stand_in::closedHandleUses(), closedHandleUses);
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(inotifyWatchCount(), 0);
    // Far less than one watch's buffers: a leak of anything per watch would show.
    if (heapIsCounted()) {
        EXPECT_LT(heapBytesInUse(), heap + std::size_t{64} * 1024);
    }
}

std::uint64_t seed() {
    const char* chosen = std::getenv("WINDOWSFSCM_STRESS_SEED");
    return chosen != nullptr ? std::stoull(chosen) : std::random_device()();
}

TEST(StopRaceTest, EveryWatchEndsAndNoStopReachesTheNextOne) {
    raceStops(3000, seed());
}

// A stop that is slow to set its event, while a change wakes the waiter, who then finds the
// stop flag: the waiter must not release the event before the stopping thread has set it.
TEST(StopRaceTest, SlowStopNeverSetsAReleasedEvent) {
    kernel_stand_in::sys::slowCalls(kernel_stand_in::sys::Call::SetEvent, 2000);
    raceStops(300, seed());
    kernel_stand_in::sys::clearInjectedFailures();
}

}  // namespace
