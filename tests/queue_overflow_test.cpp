// Events lost to a full kernel queue: the wait counts it as a change and the watch rescans the
// tree, so a directory made or moved while events were being dropped is watched all the same. Runs
// alone: it lowers the system-wide queue limit for an instant.
#include <fstream>

#include "monitor/monitor.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

constexpr const char* QUEUE_LIMIT = "/proc/sys/fs/inotify/max_queued_events";

class QueueOverflowTest : public WatchTest {};

TEST_F(QueueOverflowTest, RescanWatchesDirectoriesMadeWhileEventsWereLost) {
    fs::create_directories(tree / "stale/below");
    fs::create_directories(tree / "kept/below");
    fs::create_directories(tree / "moving/below");
    std::string savedLimit;
    std::ifstream(QUEUE_LIMIT) >> savedLimit;
    if (!std::ofstream(QUEUE_LIMIT) || savedLimit.empty()) GTEST_SKIP() << "cannot set the limit";

    // The limit is read when the inotify instance is made, so restore it right after the start.
    std::ofstream(QUEUE_LIMIT) << 4;
    bool started = startWatch(tree.path().c_str());
    std::ofstream(QUEUE_LIMIT) << savedLimit;
    ASSERT_TRUE(started);

    for (int i = 0; i < 40; ++i)
        writeFile(tree / ("file" + std::to_string(i)));
    fs::create_directories(tree / "lost/in/the/overflow");
    fs::remove_all(tree / "stale");
    fs::rename(tree / "moving", tree / "kept/moved");
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));
    writeFile(tree / "lost/in/the/overflow/file");
    EXPECT_TRUE(waiter.returns());
    // Watched before the events were lost, and found again where they are now.
    waiter.settle();
    writeFile(tree / "kept/moved/below/file");
    EXPECT_TRUE(waiter.returns());
}

}  // namespace
