// The library file itself, loaded as the JVM loads it (dlopen, then each entry point by its name),
// watching a tree. The other native tests link the library's code into themselves; this one runs
// the very file that ships, with the small C++ runtime of its own it carries. For the arm64
// library, cross-built and tested under emulation, it is the one run of that file.
#include <dlfcn.h>

#include <cstddef>
#include <future>

#include "tests/library_file.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

class SharedLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        descriptorsBefore_ = openDescriptorCount();
        // Every symbol is bound at the load, so one the library cannot find fails here.
        library_ = loadLibraryFile(WINDOWSFSCM_LIBRARY);
        ASSERT_NE(library_, nullptr) << dlerror();
        entryPoints_ = entryPointsOf(library_);
    }

    void TearDown() override {
        if (library_ != nullptr) {
            EXPECT_EQ(dlclose(library_), 0) << dlerror();
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore_);
        EXPECT_EQ(inotifyWatchCount(), 0);
    }

    bool start(const fs::path& directory) { return startThrough(entryPoints_, directory); }

    // A wait on a thread of its own; JNIEnv is not used by the wait.
    std::future<void> beginWait() {
        return std::async(std::launch::async,
                          [this] { entryPoints_.waitForChange(nullptr, nullptr); });
    }

    static bool returns(std::future<void>& wait) {
        return wait.wait_for(RETURNS_WITHIN) == std::future_status::ready;
    }

    // Stops the watch and has a wait release it.
    void stop() {
        std::future<void> wait = beginWait();
        entryPoints_.stop(nullptr, nullptr);
        EXPECT_TRUE(returns(wait)) << "the stop did not end the wait";
    }

    TemporaryDirectory tree;
    void* library_ = nullptr;
    EntryPoints entryPoints_;

  private:
    int descriptorsBefore_ = 0;
};

TEST_F(SharedLibraryTest, WatchesATreeAndEndsOnAStop) {
    ASSERT_TRUE(start(tree.path()));
    fs::create_directory(tree / "sub");
    std::future<void> wait = beginWait();
    EXPECT_TRUE(returns(wait)) << "a new directory did not wake the wait";

    // Seen only because the new directory is watched too.
    writeFile(tree / "sub/file");
    wait = beginWait();
    EXPECT_TRUE(returns(wait)) << "a file written in the new directory did not wake the wait";
    stop();
}

TEST_F(SharedLibraryTest, RefusesADirectoryThatIsNotThereAndHoldsNothing) {
    EXPECT_FALSE(start(tree / "missing"));
}

TEST_F(SharedLibraryTest, WatchesGiveBackTheirMemory) {
    if (!heapIsCounted()) GTEST_SKIP() << "this C library keeps no count of its heap";
    // One watch's buffers are far more than this: a watch not freed would show.
    constexpr std::size_t SLACK = std::size_t{64} * 1024;
    ASSERT_TRUE(start(tree.path()));
    stop();
    std::size_t heap = heapBytesInUse();
    for (int watch = 0; watch < 20; ++watch) {
        ASSERT_TRUE(start(tree.path())) << "watch " << watch;
        stop();
    }
    EXPECT_LT(heapBytesInUse(), heap + SLACK);
}

}  // namespace
