// Which directories the watch covers as the tree changes shape: every directory in the tree is
// watched exactly once, whether it existed at the start, was made in a burst, moved in or
// renamed; directories that leave the tree stop counting; links are never followed; directories
// that cannot be read or named are left out, and the rest is watched.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "monitor/monitor.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

class TreeCoverageTest : public WatchTest {};

TEST_F(TreeCoverageTest, ExistingTreeIsWatchedDirectoryByDirectory) {
    makeTree(tree.path(), 3, 4);
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));

    waiter.beginWait();
    appendToFile(tree / "d3/d3/d3/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, NestedDirectoriesMadeInABurstAreCovered) {
    startOn(tree.path());
    // mkdir -p then an immediate write, racing the watch of each new level.
    constexpr int BURSTS = 150;
    for (int i = 0; i < BURSTS; ++i) {
        waiter.beginWait();
        fs::path deepest = tree / ("burst" + std::to_string(i)) / "a/b/c";
        fs::create_directories(deepest);
        writeFile(deepest / "file");
        ASSERT_TRUE(waiter.returns()) << "burst " << i;
    }
    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));

    for (int i = 0; i < BURSTS; i += 37) {
        appendToFile(tree / ("burst" + std::to_string(i)) / "a/b/c/file");
        ASSERT_TRUE(waiter.returns()) << "burst " << i;
        waiter.settle();
    }
}

TEST_F(TreeCoverageTest, TreeMovedInIsCoveredToItsDepths) {
    makeTree(outside / "arriving", 3, 3);
    startOn(tree.path());
    waiter.beginWait();
    fs::rename(outside / "arriving", tree / "arrived");
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));
    appendToFile(tree / "arrived/d2/d1/d0/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, RenamedDirectoriesKeepTheirWatches) {
    makeTree(tree.path(), 2, 3);
    int directories = countDirectories(tree.path());
    startOn(tree.path());

    waiter.beginWait();
    fs::rename(tree / "d0", tree / "renamed");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    appendToFile(tree / "renamed/d1/file");
    EXPECT_TRUE(waiter.returns());

    // Into a sibling, then back up under a new name: the paths built from our records must
    // follow, or writes below would be missed.
    waiter.settle();
    fs::rename(tree / "renamed", tree / "d1/nested");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    fs::rename(tree / "d1/nested/d2", tree / "lifted");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    fs::create_directory(tree / "lifted/fresh");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    writeFile(tree / "lifted/fresh/file");
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), directories + 1);
}

// Changes made together, so the watch reads their events in one go: by the time it handles the
// first, a directory above has moved, and the paths it builds from its records lead nowhere
// until it has read the rest.
struct RacingRename {
    const char* name;
    std::function<void(const fs::path& tree, const fs::path& outside)> act;
    const char* probe;  // a directory that must be watched afterwards
};

void PrintTo(const RacingRename& race, std::ostream* out) {
    *out << race.name;
}

const RacingRename RACING_RENAMES[] = {
    {"DirectoryMadeThenParentRenamed",
     [](const fs::path& tree, const fs::path&) {
         fs::create_directories(tree / "a/new/deeper");
         fs::rename(tree / "a", tree / "b");
     },
     "b/new/deeper"},
    {"SubtreeMovedInThenParentRenamed",
     [](const fs::path& tree, const fs::path& outside) {
         fs::create_directories(outside / "sub/deeper");
         fs::rename(outside / "sub", tree / "a/sub");
         fs::rename(tree / "a", tree / "b");
     },
     "b/sub/deeper"},
    {"DirectoryRenamedThenParentRenamed",
     [](const fs::path& tree, const fs::path&) {
         fs::rename(tree / "a/x", tree / "a/y");
         fs::rename(tree / "a", tree / "b");
     },
     "b/y/deeper"},
    {"DirectoryRenamedThenGrandparentRenamed",
     [](const fs::path& tree, const fs::path&) {
         fs::create_directory(tree / "a/x/deeper/new");
         fs::rename(tree / "a/x/deeper", tree / "a/x/moved");
         fs::rename(tree / "a", tree / "b");
     },
     "b/x/moved/new"},
    {"DirectoryMovedOutAndItsNameTaken",
     [](const fs::path& tree, const fs::path& outside) {
         fs::rename(tree / "a/x", outside / "x");
         fs::create_directories(tree / "a/x/fresh");
     },
     "a/x/fresh"},
    {"DirectoryMovedOutThenParentRenamedAndReplaced",
     [](const fs::path& tree, const fs::path& outside) {
         fs::rename(tree / "a/x", outside / "x");
         fs::rename(tree / "a", tree / "b");
         fs::create_directory(tree / "a");
     },
     "a"},
};

class RacingRenameTest : public WatchTest, public ::testing::WithParamInterface<RacingRename> {};

TEST_P(RacingRenameTest, EveryDirectoryStaysWatched) {
    fs::create_directories(tree / "a/x/deeper");
    startOn(tree.path());
    GetParam().act(tree.path(), outside.path());
    waiter.beginWait();
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));
    writeFile(tree / GetParam().probe / "file");
    EXPECT_TRUE(waiter.returns());
}

INSTANTIATE_TEST_SUITE_P(Races, RacingRenameTest, ::testing::ValuesIn(RACING_RENAMES),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(TreeCoverageTest, DirectoryMovedOutStopsCounting) {
    makeTree(tree.path(), 2, 3);
    startOn(tree.path());
    int watched = inotifyWatchCount();

    waiter.beginWait();
    fs::rename(tree / "d0", outside / "gone");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), watched - 4);

    appendToFile(outside / "gone/d2/file");
    writeFile(outside / "gone/new");
    EXPECT_TRUE(waiter.staysBlocked());

    // A new directory under the old name is a new member of the tree.
    fs::create_directory(tree / "d0");
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    writeFile(tree / "d0/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, DeletedDirectoriesLeaveNoWatchesBehind) {
    startOn(tree.path());
    for (int i = 0; i < 50; ++i) {
        waiter.beginWait();
        fs::create_directories(tree / "transient/a/b");
        ASSERT_TRUE(waiter.returns());
        waiter.beginWait();
        fs::remove_all(tree / "transient");
        ASSERT_TRUE(waiter.returns());
    }
    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), 1);
}

TEST_F(TreeCoverageTest, SymbolicLinksAreNotFollowed) {
    fs::create_directory(tree / "a");
    fs::create_directory_symlink(tree.path(), tree / "loop");
    fs::create_directory_symlink("..", tree / "a/up");
    fs::create_directory_symlink(outside.path(), tree / "a/away");
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), 2);

    waiter.beginWait();
    appendToFile(outside / "file");
    EXPECT_TRUE(waiter.staysBlocked());
    fs::remove(tree / "a/up");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, UnreadableDirectoriesAreLeftOutAndTheRestIsWatched) {
    fs::permissions(tree.path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::create_directories(tree / "open/below");
    fs::create_directories(tree / "locked/inside");
    fs::permissions(tree / "locked", fs::perms::owner_write | fs::perms::owner_exec);

    // The watch, and the waiter that re-arms it, run as a user who may not read "locked".
    std::optional<Waiter> unprivilegedWaiter;
    {
        UnprivilegedFileAccess unprivileged;
        if (!cannotRead(tree / "locked")) GTEST_SKIP() << "permissions are not enforced here";
        ASSERT_TRUE(startWatch(tree.path().c_str()));
        unprivilegedWaiter.emplace();
    }
    Waiter& watcher = *unprivilegedWaiter;
    EXPECT_EQ(inotifyWatchCount(), 3);

    // Inside the unreadable directory nothing is seen; the directory itself is.
    watcher.beginWait();
    writeFile(tree / "locked/inside/file");
    fs::create_directory(tree / "locked/new");
    EXPECT_TRUE(watcher.staysBlocked());
    writeFile(tree / "open/below/file");
    EXPECT_TRUE(watcher.returns());

    watcher.settle();
    ASSERT_EQ(mkdir((tree / "open/later").c_str(), 0300), 0);
    EXPECT_TRUE(watcher.returns());
    watcher.settle();
    fs::rename(tree / "locked", tree / "renamed");
    EXPECT_TRUE(watcher.returns());
    watcher.settle();
    EXPECT_EQ(inotifyWatchCount(), 3);
    requestStop();
    EXPECT_TRUE(watcher.returns());
}

TEST_F(TreeCoverageTest, DirectoriesBeyondTheLongestPathAreLeftOut) {
    // Made level by level through descriptors, since no single path may name the deepest.
    const std::string longName(NAME_MAX, 'x');
    std::size_t length = tree.path().string().size();
    int nameable = 1;
    int level = open(tree.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int depth = 0; depth < 20; ++depth) {
        ASSERT_EQ(mkdirat(level, longName.c_str(), 0755), 0);
        int below = openat(level, longName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(level);
        level = below;
        length += 1 + NAME_MAX;
        if (length < PATH_MAX) ++nameable;
    }
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), nameable);

    // A change below the last nameable level is not seen; one at that level is.
    waiter.beginWait();
    ASSERT_EQ(mkdirat(level, "unseen", 0755), 0);
    close(level);
    EXPECT_TRUE(waiter.staysBlocked());
    fs::path deepestNameable = tree.path();
    for (int depth = 1; depth < nameable; ++depth)
        deepestNameable /= longName;
    writeFile(deepestNameable / "file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, RenamingADirectoryAboveTheRootMovesTheRootAway) {
    fs::create_directories(tree / "above/root/sub");
    startOn(tree / "above/root");
    waiter.beginWait();
    fs::rename(tree / "above", tree / "renamed");
    EXPECT_TRUE(waiter.staysBlocked());

    // The first path built from the old name shows the move: one more wake, as for a root
    // renamed itself, and no wait returning at once for ever after.
    fs::create_directory(tree / "renamed/root/new");
    EXPECT_TRUE(waiter.returns());
    waiter.beginWait();
    expectStaysBlockedWithoutSpinning();
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(TreeCoverageTest, RootNameTakenByAnotherDirectoryAfterAMoveAboveEndsTheWatch) {
    fs::create_directories(tree / "above/root/sub");
    startOn(tree / "above/root");
    waiter.beginWait();
    fs::rename(tree / "above", tree / "renamed");
    fs::create_directories(tree / "above/root");
    EXPECT_TRUE(waiter.staysBlocked());

    // The name now leads to another directory: the watched one has moved away all the same.
    fs::create_directory(tree / "renamed/root/new");
    EXPECT_TRUE(waiter.returns());
    waiter.beginWait();
    EXPECT_TRUE(waiter.staysBlocked());
    EXPECT_EQ(inotifyWatchCount(), 0);
    writeFile(tree / "above/root/file");
    EXPECT_TRUE(waiter.staysBlocked());
}

TEST_F(TreeCoverageTest, RootGivenAsALinkIsWatched) {
    fs::create_directory(tree / "sub");
    fs::create_directory_symlink(tree.path(), outside / "link");
    startOn(outside / "link");
    waiter.beginWait();
    writeFile(tree / "sub/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, DeletedRootWakesOnceThenWaitsIdleForTheStop) {
    fs::path root = tree / "root";
    makeTree(root, 2, 2);
    startOn(root);
    waiter.beginWait();
    fs::remove_all(root);
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    expectStaysBlockedWithoutSpinning();
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(TreeCoverageTest, RootMovedAwayWakesThenNoLongerCounts) {
    fs::path root = tree / "root";
    fs::create_directories(root / "sub");
    startOn(root);
    waiter.beginWait();
    fs::rename(root, outside / "moved");
    EXPECT_TRUE(waiter.returns());

    waiter.settle();
    writeFile(outside / "moved/sub/file");
    EXPECT_TRUE(waiter.staysBlocked());
}

enum class Filesystem {
    Memory,
    // An ext2 image made without the type of each entry in its directories, which listings then
    // leave to be asked for, as some other filesystems do.
    WithoutEntryTypes,
};

// A small filesystem of its own mounted on a directory for the test's length.
class TemporaryMount {
  public:
    explicit TemporaryMount(const fs::path& on, Filesystem kind = Filesystem::Memory,
                            const fs::path& image = {})
        : on_(on) {
        if (kind == Filesystem::Memory) {
            mounted_ = mount("windowsfscm-test", on.c_str(), "tmpfs", 0, "size=1m") == 0;
            error_ = errno;
            return;
        }
        std::string quiet = " >/dev/null 2>&1";
        mounted_ =
            std::system(("mke2fs -q -F -t ext2 -O ^filetype '" + image.string() + "' 4M" + quiet)
                            .c_str()) == 0 &&
            std::system(
                ("mount -o loop '" + image.string() + "' '" + on.string() + "'" + quiet).c_str()) ==
                0;
        error_ = mounted_ ? 0 : EPERM;
    }
    ~TemporaryMount() { unmount(); }
    TemporaryMount(const TemporaryMount&) = delete;
    TemporaryMount& operator=(const TemporaryMount&) = delete;

    bool mounted() const { return mounted_; }
    int error() const { return error_; }
    bool unmount() {
        if (mounted_ && umount2(on_.c_str(), 0) == 0) mounted_ = false;
        return !mounted_;
    }

  private:
    fs::path on_;
    bool mounted_;
    int error_;
};

TEST_F(TreeCoverageTest, DirectoryBeneathAnUnmountedFilesystemIsWatchedInItsPlace) {
    fs::create_directories(tree / "mnt/beneath");
    TemporaryMount mounted(tree / "mnt");
    if (!mounted.mounted()) GTEST_SKIP() << "cannot mount here: " << std::strerror(mounted.error());
    fs::create_directory(tree / "mnt/on-top");
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), 3);

    waiter.beginWait();
    ASSERT_TRUE(mounted.unmount());
    EXPECT_TRUE(waiter.returns());
    waiter.settle();
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));
    writeFile(tree / "mnt/beneath/file");
    EXPECT_TRUE(waiter.returns());
}

TEST_F(TreeCoverageTest, UnmountedRootWakesThenWaitsIdleForTheStop) {
    fs::path root = tree / "root";
    fs::create_directory(root);
    TemporaryMount mounted(root);
    if (!mounted.mounted()) GTEST_SKIP() << "cannot mount here: " << std::strerror(mounted.error());
    fs::create_directory(root / "sub");
    startOn(root);

    waiter.beginWait();
    ASSERT_TRUE(mounted.unmount());
    EXPECT_TRUE(waiter.returns());
    // The events of the root and its subdirectory may come in separate reads, a wake each.
    waiter.settle();
    expectStaysBlockedWithoutSpinning();
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(TreeCoverageTest, DirectoriesListedWithoutTheirTypeAreWatched) {
    fs::create_directory(tree / "untyped");
    TemporaryMount mounted(tree / "untyped", Filesystem::WithoutEntryTypes, outside / "image");
    if (!mounted.mounted()) GTEST_SKIP() << "cannot make and mount an ext2 image here";
    fs::create_directories(tree / "untyped/a/b");
    writeFile(tree / "untyped/file");
    fs::create_directory_symlink(tree / "untyped/a", tree / "untyped/link");
    startOn(tree.path());
    EXPECT_EQ(inotifyWatchCount(), countDirectories(tree.path()));

    waiter.beginWait();
    writeFile(tree / "untyped/a/b/file");
    EXPECT_TRUE(waiter.returns());
    endWatch();
    EXPECT_TRUE(mounted.unmount());
}

// The watch descriptor of `directory` on the process's one inotify descriptor, from what the
// kernel shows in /proc/self/fdinfo; -1 when there is none.
int watchOf(int inotifyFd, const fs::path& directory) {
    struct stat status;
    if (stat(directory.c_str(), &status) != 0) return -1;
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(inotifyFd));
    std::string line;
    while (std::getline(info, line)) {
        std::istringstream fields(line);
        std::string tag;
        std::string watch;
        std::string inode;
        fields >> tag >> watch >> inode;
        if (tag != "inotify" || watch.rfind("wd:", 0) != 0 || inode.rfind("ino:", 0) != 0) {
            continue;
        }
        if (std::stoull(inode.substr(4), nullptr, 16) == status.st_ino) {
            return std::stoi(watch.substr(3));
        }
    }
    return -1;
}

int inotifyDescriptor() {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored).string() == "anon_inode:inotify") {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

// The kernel drops the root's watch with no event of the root's own before it (here another
// thread removes it; lost events could do the same): the tree is gone, as if the root were.
TEST_F(TreeCoverageTest, RootWatchDroppedByTheKernelWakesOnceThenWaitsIdle) {
    fs::create_directories(tree / "sub");
    startOn(tree.path());
    int inotifyFd = inotifyDescriptor();
    ASSERT_GE(inotifyFd, 0);
    int rootWatch = watchOf(inotifyFd, tree.path());
    ASSERT_GE(rootWatch, 0);

    waiter.beginWait();
    ASSERT_EQ(inotify_rm_watch(inotifyFd, rootWatch), 0);
    EXPECT_TRUE(waiter.returns());
    waiter.beginWait();
    expectStaysBlockedWithoutSpinning();
    EXPECT_EQ(inotifyWatchCount(), 0);
    writeFile(tree / "sub/file");
    EXPECT_TRUE(waiter.staysBlocked());
}

}  // namespace
