// Several copies of the library file loaded at once, as the JVM loads one per watch, each from a
// folder of its own: the dynamic loader keeps two files apart as two libraries, each with its own
// watch, which only its own tree wakes and only its own stop ends. A link to a loaded file is no
// copy: the loader knows the file by its device and inode and hands back the library it has.
#include <dlfcn.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tests/library_file.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

constexpr int COPIES = 8;

struct Copy {
    fs::path file;
    fs::path tree;
    void* library = nullptr;
    EntryPoints entryPoints;
    std::optional<Waiter> waiter;
};

// The file of the loaded object `address` lies in.
fs::path fileOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    return info.dli_fname;
}

class LibraryCopiesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        descriptorsBefore_ = openDescriptorCount();
        for (int copy = 0; copy < COPIES; ++copy) {
            const fs::path own = folder / ("copy-" + std::to_string(copy + 1));
            fs::create_directory(own);
            copies[copy].file = own / fs::path(WINDOWSFSCM_LIBRARY).filename();
            fs::copy_file(WINDOWSFSCM_LIBRARY, copies[copy].file);
            copies[copy].library = loadLibraryFile(copies[copy].file);
            ASSERT_NE(copies[copy].library, nullptr) << dlerror();
            copies[copy].entryPoints = entryPointsOf(copies[copy].library);
        }
    }

    void TearDown() override {
        // Each waiter's thread ends before the code it runs is unloaded.
        for (Copy& copy : copies) {
            copy.waiter.reset();
            if (copy.library != nullptr) {
                EXPECT_EQ(dlclose(copy.library), 0) << dlerror();
            }
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore_);
        EXPECT_EQ(inotifyWatchCount(), 0);
    }

    // Starts each copy's watch on a tree of its own, and a waiter for each that waits and stops
    // through that copy's entry points; begins the first wait of each.
    void startWatches() {
        for (int copy = 0; copy < COPIES; ++copy) {
            Copy& each = copies[copy];
            each.tree = folder / ("tree-" + std::to_string(copy + 1));
            fs::create_directory(each.tree);
            ASSERT_TRUE(startThrough(each.entryPoints, each.tree)) << "copy " << copy + 1;
            each.waiter.emplace([wait = each.entryPoints.waitForChange] { wait(nullptr, nullptr); },
                                [stop = each.entryPoints.stop] { stop(nullptr, nullptr); });
            each.waiter->beginWait();
        }
        // One directory each: every copy holds the watch of its own tree.
        ASSERT_EQ(inotifyWatchCount(), COPIES);
    }

    // The waiters of copies `first` to the last.
    std::vector<Waiter*> waitersFrom(int first) {
        std::vector<Waiter*> waiters;
        for (int copy = first; copy < COPIES; ++copy)
            waiters.push_back(&*copies[copy].waiter);
        return waiters;
    }

    // A new file in the tree of each copy from `first` on wakes that copy's watch, whose next
    // wait then blocks again.
    void expectEachSeesAChangeFrom(int first, const std::string& name) {
        for (int copy = first; copy < COPIES; ++copy) {
            ASSERT_TRUE(copies[copy].waiter->blocksWithNothingPending()) << "copy " << copy + 1;
            writeFile(copies[copy].tree / name);
            EXPECT_TRUE(copies[copy].waiter->returns()) << "copy " << copy + 1;
            copies[copy].waiter->settle();
        }
    }

    TemporaryDirectory folder;
    std::array<Copy, COPIES> copies;

  private:
    int descriptorsBefore_ = 0;
};

TEST_F(LibraryCopiesTest, EachCopyIsALibraryOfItsOwn) {
    void* original = loadLibraryFile(WINDOWSFSCM_LIBRARY);
    ASSERT_NE(original, nullptr) << dlerror();
    for (int copy = 0; copy < COPIES; ++copy) {
        SCOPED_TRACE("copy " + std::to_string(copy + 1));
        const Copy& each = copies[copy];
        EXPECT_NE(each.library, original);
        for (int other = copy + 1; other < COPIES; ++other) {
            EXPECT_NE(each.library, copies[other].library) << "copy " << other + 1;
            EXPECT_NE(each.entryPoints.init, copies[other].entryPoints.init);
            EXPECT_NE(each.entryPoints.waitForChange, copies[other].entryPoints.waitForChange);
            EXPECT_NE(each.entryPoints.stop, copies[other].entryPoints.stop);
        }
        EXPECT_EQ(fileOf(reinterpret_cast<const void*>(each.entryPoints.init)), each.file);
        EXPECT_EQ(fileOf(reinterpret_cast<const void*>(each.entryPoints.waitForChange)), each.file);
        EXPECT_EQ(fileOf(reinterpret_cast<const void*>(each.entryPoints.stop)), each.file);
    }
    // Why a second watch needs a second file: a path loaded before is the library it loaded.
    void* again = loadLibraryFile(copies[0].file);
    EXPECT_EQ(again, copies[0].library);
    if (again != nullptr) {
        EXPECT_EQ(dlclose(again), 0) << dlerror();
    }
    EXPECT_EQ(dlclose(original), 0) << dlerror();
}

TEST_F(LibraryCopiesTest, AChangeWakesOnlyTheWatchOfItsOwnTree) {
    ASSERT_NO_FATAL_FAILURE(startWatches());
    expectStayBlockedWithoutSpinning(waitersFrom(0));
    for (int copy = 0; copy < COPIES; ++copy) {
        SCOPED_TRACE("a new file in tree " + std::to_string(copy + 1));
        for (Waiter* waiter : waitersFrom(0))
            ASSERT_TRUE(waiter->blocksWithNothingPending());
        writeFile(copies[copy].tree / "file");
        EXPECT_TRUE(copies[copy].waiter->returns());
        std::vector<Waiter*> others = waitersFrom(0);
        others.erase(others.begin() + copy);
        expectStayBlockedWithoutSpinning(others);
        copies[copy].waiter->settle();
    }
}

TEST_F(LibraryCopiesTest, EachStopEndsOnlyItsOwnWatch) {
    ASSERT_NO_FATAL_FAILURE(startWatches());
    for (int copy = 0; copy < COPIES; ++copy) {
        SCOPED_TRACE("the stop of copy " + std::to_string(copy + 1));
        Waiter& waiter = *copies[copy].waiter;
        copies[copy].entryPoints.stop(nullptr, nullptr);
        EXPECT_TRUE(waiter.returns());
        EXPECT_EQ(inotifyWatchCount(), COPIES - copy - 1) << "the stop released another watch";
        // Its watch over, the copy's next wait returns at once.
        waiter.beginWait();
        EXPECT_TRUE(waiter.returns());

        expectStayBlockedWithoutSpinning(waitersFrom(copy + 1));
        expectEachSeesAChangeFrom(copy + 1, "after-stop-" + std::to_string(copy + 1));
    }
}

TEST_F(LibraryCopiesTest, ClosingOneCopyLeavesTheOthersWatching) {
    ASSERT_NO_FATAL_FAILURE(startWatches());
    Copy& first = copies[0];
    first.entryPoints.stop(nullptr, nullptr);
    EXPECT_TRUE(first.waiter->returns());
    first.waiter.reset();
    ASSERT_EQ(dlclose(first.library), 0) << dlerror();
    first.library = nullptr;
#ifdef __GLIBC__
    // musl's dlclose never unloads a library, so there copy 1 stays mapped, its watch released.
    EXPECT_EQ(dlopen(first.file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD), nullptr)
        << "copy 1 is still loaded";
#endif

    expectStayBlockedWithoutSpinning(waitersFrom(1));
    expectEachSeesAChangeFrom(1, "after-close");
    for (int copy = 1; copy < COPIES; ++copy) {
        copies[copy].entryPoints.stop(nullptr, nullptr);
        EXPECT_TRUE(copies[copy].waiter->returns()) << "copy " << copy + 1;
    }
}

// A copy and a link to it, each in a folder of its own.
class LibraryLinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(folder / "copy");
        fs::create_directory(folder / "link");
        copy_ = folder / "copy" / fs::path(WINDOWSFSCM_LIBRARY).filename();
        link_ = folder / "link" / copy_.filename();
        fs::copy_file(WINDOWSFSCM_LIBRARY, copy_);
    }

    // Loads the copy, then the link, which must give the library the copy gave.
    void expectLinkLoadsAsTheCopy() {
        void* copy = loadLibraryFile(copy_);
        ASSERT_NE(copy, nullptr) << dlerror();
        void* linked = loadLibraryFile(link_);
        EXPECT_EQ(linked, copy) << "the link loaded as a library of its own";
        if (linked != nullptr) {
            EXPECT_EQ(dlclose(linked), 0) << dlerror();
        }
        EXPECT_EQ(dlclose(copy), 0) << dlerror();
    }

    TemporaryDirectory folder;
    fs::path copy_;
    fs::path link_;
};

TEST_F(LibraryLinkTest, AHardLinkIsTheLibraryItLinksTo) {
    fs::create_hard_link(copy_, link_);
    expectLinkLoadsAsTheCopy();
}

TEST_F(LibraryLinkTest, ASymbolicLinkIsTheLibraryItLinksTo) {
    fs::create_symlink(copy_, link_);
    expectLinkLoadsAsTheCopy();
}

}  // namespace
