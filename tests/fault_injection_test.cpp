// Kernel calls that fail: at the start they make a clean false that holds nothing; after the
// start a directory that cannot be watched is a change and is retried, never a silent gap;
// interrupted calls are retried.
#include <cerrno>

#include "monitor/monitor.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;
using linux_kernel::sys::Call;
using linux_kernel::sys::failCalls;

class FaultInjectionTest : public WatchTest {
  protected:
    void TearDown() override {
        linux_kernel::sys::clearInjectedFailures();
        WatchTest::TearDown();
    }
};

struct StartFault {
    Call call;
    unsigned nth;
    int error;
};

TEST_F(FaultInjectionTest, StartFailsCleanlyWhateverCallFails) {
    int directories = makeTree(tree.path(), 2, 4) + 1;
    const StartFault faults[] = {
        {Call::EventFd, 1, EMFILE},
        {Call::InotifyInit, 1, EMFILE},
        {Call::AddWatch, 1, ENOSPC},                                   // the root
        {Call::AddWatch, 2, ENOSPC},                                   // its first child
        {Call::AddWatch, static_cast<unsigned>(directories), ENOSPC},  // the very last
        {Call::AddWatch, 7, ENOMEM},
        {Call::OpenDirectory, 1, EMFILE},
        {Call::OpenDirectory, 9, ENFILE},
        {Call::ReadDirectory, 3, ENOMEM},
    };
    int baseline = openDescriptorCount();
    for (const StartFault& fault : faults) {
        failCalls(fault.call, fault.nth, 1, fault.error);
        EXPECT_FALSE(startWatch(tree.path().c_str()))
            << "call " << static_cast<unsigned>(fault.call) << " #" << fault.nth;
        EXPECT_EQ(openDescriptorCount(), baseline);
        EXPECT_EQ(inotifyWatchCount(), 0);
        linux_kernel::sys::clearInjectedFailures();
    }
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), directories);
}

TEST_F(FaultInjectionTest, NewDirectoryThatCannotBeWatchedIsAChangeAndIsRetried) {
    startOn(tree.path());
    waiter.settle();
    failCalls(Call::AddWatch, 1, 1, ENOSPC);
    fs::create_directory(tree / "new");
    EXPECT_TRUE(waiter.returns());
    EXPECT_EQ(inotifyWatchCount(), 1);

    // The re-arm of the next wait watches it.
    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), 2);
    writeFile(tree / "new/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(FaultInjectionTest, DirectoryThatStaysUnwatchableKeepsWakingUntilItIsWatched) {
    startOn(tree.path());
    waiter.settle();
    // The event's own attempt and two retries fail; the third retry succeeds.
    failCalls(Call::AddWatch, 1, 3, ENOSPC);
    fs::create_directories(tree / "new");
    EXPECT_TRUE(waiter.returns());
    for (int retry = 1; retry <= 2; ++retry) {
        waiter.beginWait();
        EXPECT_TRUE(waiter.returns()) << "failed retry " << retry << " was not a change";
    }
    waiter.beginWait();
    EXPECT_TRUE(waiter.staysBlocked());
    writeFile(tree / "new/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(FaultInjectionTest, DirectoryThatCannotBeListedIsRetried) {
    startOn(tree.path());
    waiter.settle();
    failCalls(Call::OpenDirectory, 1, 1, EMFILE);
    // Made before the test's wait sees it, so only a listing can find the inner level.
    fs::create_directories(tree / "outer/inner");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
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
