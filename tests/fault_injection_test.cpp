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

struct StartFault {
    Call call;
    unsigned nth;
    int error;
    bool starts;  // interrupted calls are retried, so the start still succeeds
};

TEST_F(FaultInjectionTest, StartFailsCleanlyWhateverCallFails) {
    int directories = makeTree(tree.path(), 2, 4) + 1;
    const StartFault faults[] = {
        {Call::EventFd, 1, EMFILE, false},
        {Call::EventFd, 1, ENFILE, false},
        {Call::InotifyInit, 1, EMFILE, false},
        {Call::InotifyInit, 1, ENOMEM, false},
        {Call::AddWatch, 1, ENOSPC, false},                                   // the root
        {Call::AddWatch, 2, ENOSPC, false},                                   // its first child
        {Call::AddWatch, static_cast<unsigned>(directories), ENOSPC, false},  // the very last
        {Call::AddWatch, 7, ENOMEM, false},
        {Call::OpenDirectory, 1, EMFILE, false},
        {Call::OpenDirectory, 9, ENFILE, false},
        {Call::ReadDirectory, 3, ENOMEM, false},
        {Call::OpenDirectory, 4, EINTR, true},
        {Call::ReadDirectory, 5, EINTR, true},
    };
    int baseline = openDescriptorCount();
    for (const StartFault& fault : faults) {
        unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
        failCalls(fault.call, fault.nth, 1, fault.error);
        EXPECT_EQ(startWatch(tree.path().c_str()), fault.starts)
            << "call " << static_cast<unsigned>(fault.call) << " #" << fault.nth;
        EXPECT_EQ(kernel_stand_in::sys::injectedFailureCount(), injectedBefore + 1);
        EXPECT_EQ(openDescriptorCount(), baseline + (fault.starts ? 2 : 0));
        EXPECT_EQ(inotifyWatchCount(), fault.starts ? directories : 0);
        kernel_stand_in::sys::clearInjectedFailures();
        if (fault.starts) endWatch();
    }
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), directories);
}

// Faults while new directories are taken in: each is a change, never a gap. While they last,
// every wait returns; the wait after the one that finally watches the directories returns too,
// since something may have changed in them before they were watched.
struct LaterFault {
    const char* name;
    Call call;
    unsigned count;
    int error;
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
};

class LaterFaultTest : public FaultInjectionTest,
                       public ::testing::WithParamInterface<LaterFault> {};

TEST_P(LaterFaultTest, NoDirectoryIsLeftUnwatchedAndNoChangeIsLost) {
    const LaterFault& fault = GetParam();
    startOn(tree.path());
    waiter.settle();
    unsigned injectedBefore = kernel_stand_in::sys::injectedFailureCount();
    failCalls(fault.call, 1, fault.count, fault.error);
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
