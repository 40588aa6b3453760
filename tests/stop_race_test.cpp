// Stops racing everything else: thousands of watches, each ended by a stop from another thread
// at a random moment (while the waiter is blocked, between waits, just after a change woke it),
// with changes in flight. Every watch must end, no stop may reach a later watch, and nothing
// may leak. Also run under ThreadSanitizer.
#include <atomic>
#include <random>
#include <thread>

#include "monitor/monitor.h"
#include "platform/linux/handle_table.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

void raceStops(int cycles) {
    TemporaryDirectory tree;
    fs::create_directories(tree / "sub");
    int descriptors = openDescriptorCount();

    std::atomic<bool> writing{false};
    std::atomic<bool> writerPaused{true};
    std::atomic<bool> finished{false};
    std::thread writer([&] {
        for (unsigned n = 0; !finished.load(); ++n) {
            if (!writing.load()) {
                writerPaused.store(true);
                std::this_thread::yield();
                continue;
            }
            writerPaused.store(false);
            writeFile(tree / "sub" / ("f" + std::to_string(n % 8)));
        }
    });
    auto setWriting = [&](bool on) {
        writing.store(on);
        if (on) return;
        while (!writerPaused.load())
            std::this_thread::yield();
    };

    std::mt19937 random(20261208);
    std::thread stopper;
    int staleWakes = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // Every other watch runs with no changes at all: any wake before its stop would have
        // to come from a stop meant for an earlier watch.
        bool quiet = cycle % 2 == 0;
        setWriting(!quiet);
        ASSERT_TRUE(startWatch(tree.path().c_str())) << "cycle " << cycle;
        // The previous stopper may still be inside its stop while this watch starts.
        if (stopper.joinable()) stopper.join();

        std::atomic<bool> stopIssued{false};
        int wakesBeforeStop = 0;
        std::thread watcher([&] {
            while (!stopIssued.load()) {
                waitForChange();
                if (!stopIssued.load()) ++wakesBeforeStop;
            }
            // The stop may have come after this loop's last wait returned on a change.
            waitForChange();
        });
        unsigned delayMicroseconds = random() % 400;
        stopper = std::thread([&stopIssued, delayMicroseconds] {
            if (delayMicroseconds > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds));
            }
            stopIssued.store(true);
            requestStop();
        });
        watcher.join();
        if (quiet) staleWakes += wakesBeforeStop;
    }
    stopper.join();
    finished.store(true);
    writer.join();

    EXPECT_EQ(staleWakes, 0);
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST(StopRaceTest, EveryWatchEndsAndNoStopReachesTheNextOne) {
    raceStops(2000);
}

// A stop that is slow to set its event, while a change wakes the waiter, who then finds the
// stop flag: the waiter must not release the event before the stopping thread has set it.
TEST(StopRaceTest, SlowStopNeverSetsAReleasedEvent) {
    unsigned before = linux_kernel::closedHandleUses();
    linux_kernel::sys::slowCalls(linux_kernel::sys::Call::SetEvent, 2000);
    raceStops(300);
    linux_kernel::sys::clearInjectedFailures();
    EXPECT_EQ(linux_kernel::closedHandleUses(), before);
}

}  // namespace
