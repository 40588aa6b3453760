// The start / wait / stop protocol: no change is lost between waits, a stop always ends the
// watch it was meant for and only that one, calls outside a watch are harmless, and a watch
// gives back everything it took.
#include "monitor/monitor.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

class WatchProtocolTest : public WatchTest {};

TEST_F(WatchProtocolTest, QuietTreeKeepsTheWaitBlockedWithoutUsingCpu) {
    makeTree(tree.path(), 2, 3);
    startOn(tree.path());
    waiter.beginWait();
    expectStaysBlockedWithoutSpinning();
}

TEST_F(WatchProtocolTest, ChangeBeforeTheFirstWaitIsNotLost) {
    startOn(tree.path());
    writeFile(tree / "early");
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
}

TEST_F(WatchProtocolTest, ChangesBetweenWaitsAreNotLost) {
    fs::create_directories(tree / "sub");
    startOn(tree.path());
    for (int round = 0; round < 20; ++round) {
        waiter.beginWait();
        appendToFile(tree / "sub/file");
        ASSERT_TRUE(waiter.returns());
        // Made while no wait is running: the next wait must return without further changes.
        writeFile(tree / ("between" + std::to_string(round)));
        waiter.beginWait();
        ASSERT_TRUE(waiter.returns()) << "round " << round;
        waiter.settle();
        appendToFile(tree / "sub/file");
        ASSERT_TRUE(waiter.returns());
    }
}

TEST_F(WatchProtocolTest, StopWakesABlockedWaitWhichReleasesTheWatch) {
    makeTree(tree.path(), 1, 3);
    startOn(tree.path());
    waiter.beginWait();
    ASSERT_TRUE(waiter.staysBlocked());
    requestStop();
    EXPECT_TRUE(waiter.returns());
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(WatchProtocolTest, StopBetweenWaitsEndsTheNextWait) {
    startOn(tree.path());
    waiter.beginWait();
    writeFile(tree / "file");
    ASSERT_TRUE(waiter.returns());
    requestStop();
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(WatchProtocolTest, ChangeAndStopBothPendingEndTheWatchInOneReturn) {
    startOn(tree.path());
    writeFile(tree / "file");
    requestStop();
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
    EXPECT_EQ(inotifyWatchCount(), 0);
    // The watch is over: later waits return at once and report nothing.
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
}

TEST_F(WatchProtocolTest, RestartAfterAStopStartsQuiet) {
    for (int round = 0; round < 5; ++round) {
        startOn(tree.path());
        requestStop();
        waiter.beginWait();
        ASSERT_TRUE(waiter.returns());

        startOn(tree.path());
        waiter.beginWait();
        ASSERT_TRUE(waiter.staysBlocked()) << "the old stop reached the new watch";
        writeFile(tree / "file");
        ASSERT_TRUE(waiter.returns());
        endWatch();
    }
}

TEST_F(WatchProtocolTest, CallsWithoutAnOpenWatchAreHarmless) {
    // Before any watch in this process state, after a false start, after a finished watch.
    requestStop();
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());

    EXPECT_FALSE(startWatch((tree / "missing").c_str()));
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
    requestStop();
    requestStop();

    startOn(tree.path());
    requestStop();
    requestStop();
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());
    requestStop();
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());

    startOn(tree.path());
    waiter.beginWait();
    EXPECT_TRUE(waiter.staysBlocked());
}

TEST_F(WatchProtocolTest, StartWhileAWatchIsOpenReleasesTheOldOne) {
    makeTree(tree.path(), 1, 3);
    int baseline = openDescriptorCount();
    for (int round = 0; round < 100; ++round) {
        startOn(tree.path());
        // Every other watch is left with a stop nobody consumed, as a watcher that leaves its
        // loop on its own flag can leave it.
        if (round % 2 == 0) requestStop();
    }
    EXPECT_EQ(inotifyWatchCount(), 4);
    EXPECT_EQ(openDescriptorCount(), baseline + 2);
    waiter.beginWait();
    EXPECT_TRUE(waiter.staysBlocked());
}

TEST_F(WatchProtocolTest, FalseStartsHoldNothing) {
    writeFile(tree / "plain");
    int baseline = openDescriptorCount();
    const fs::path unwatchable[] = {tree / "missing", tree / "plain", tree / "plain/below", ""};
    for (const auto& path : unwatchable) {
        EXPECT_FALSE(startWatch(path.c_str())) << path;
        EXPECT_EQ(openDescriptorCount(), baseline) << path;
    }
    EXPECT_FALSE(startWatch(nullptr));
    EXPECT_EQ(openDescriptorCount(), baseline);
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(WatchProtocolTest, ThousandCyclesLeaveDescriptorsAndMemoryWhereTheyWere) {
    makeTree(tree.path(), 2, 3);
    auto cycle = [&] {
        startOn(tree.path());
        waiter.beginWait();
        requestStop();
        ASSERT_TRUE(waiter.returns());
    };
    // Warm up first: the waiter thread's malloc cache keeps a few freed chunks, counted as in use.
    for (int i = 0; i < 100; ++i)
        cycle();
    int descriptors = openDescriptorCount();
    std::size_t heap = heapBytesInUse();
    for (int i = 0; i < 1000; ++i)
        cycle();
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(inotifyWatchCount(), 0);
    EXPECT_LT(heapBytesInUse(), heap + 4096);
}

}  // namespace
