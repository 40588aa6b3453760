// Which changes end a blocked wait: names created, deleted or renamed and files written or
// given a new last-write time do; attribute-only changes, reads and changes outside the tree
// do not.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>

#include <climits>

#include "monitor/monitor.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

struct Paths {
    fs::path root;
    fs::path outside;
};

struct FilterCase {
    const char* name;
    bool wakes;
    std::function<void(const Paths&)> act;
};

void PrintTo(const FilterCase& filterCase, std::ostream* out) {
    *out << filterCase.name;
}

void setTimes(const fs::path& path, timespec access, timespec modification) {
    timespec times[2] = {access, modification};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

constexpr timespec NOW{0, UTIME_NOW};
constexpr timespec OMIT{0, UTIME_OMIT};
constexpr timespec NEW_YEAR_2020{1577836800, 0};

const FilterCase CASES[] = {
    {"CreateFile", true, [](const Paths& p) { writeFile(p.root / "new"); }},
    {"AppendToFile", true, [](const Paths& p) { appendToFile(p.root / "file"); }},
    {"TruncateFile", true, [](const Paths& p) { fs::resize_file(p.root / "file", 0); }},
    {"DeleteFile", true, [](const Paths& p) { fs::remove(p.root / "file"); }},
    {"RenameFile", true, [](const Paths& p) { fs::rename(p.root / "file", p.root / "renamed"); }},
    {"CreateDirectory", true, [](const Paths& p) { fs::create_directory(p.root / "newdir"); }},
    {"DeleteDirectory", true, [](const Paths& p) { fs::remove(p.root / "empty"); }},
    {"RenameDirectory", true, [](const Paths& p) { fs::rename(p.root / "sub", p.root / "moved"); }},
    {"WriteDeepInside", true, [](const Paths& p) { appendToFile(p.root / "sub/deep/file"); }},
    {"CreateFileDeepInside", true, [](const Paths& p) { writeFile(p.root / "sub/deep/new"); }},
    {"TouchSetsBothTimesToNow", true, [](const Paths& p) { setTimes(p.root / "file", NOW, NOW); }},
    {"TouchSetsLastWriteTimeOnly", true,
     [](const Paths& p) { setTimes(p.root / "file", OMIT, NOW); }},
    {"TouchSetsAnExplicitDate", true,
     [](const Paths& p) { setTimes(p.root / "file", NEW_YEAR_2020, NEW_YEAR_2020); }},
    {"CreateSymbolicLink", true,
     [](const Paths& p) { fs::create_symlink(p.root / "file", p.root / "link"); }},
    {"CreateHardLink", true,
     [](const Paths& p) { fs::create_hard_link(p.root / "file", p.root / "hard"); }},
    {"MoveFileIntoTree", true,
     [](const Paths& p) { fs::rename(p.outside / "file", p.root / "arrived"); }},
    {"MoveFileOutOfTree", true,
     [](const Paths& p) { fs::rename(p.root / "file", p.outside / "left"); }},

    {"ChangePermissions", false,
     [](const Paths& p) { ASSERT_EQ(chmod((p.root / "file").c_str(), 0600), 0); }},
    {"ChangeOwner", false,
     [](const Paths& p) { ASSERT_EQ(chown((p.root / "file").c_str(), getuid(), getgid()), 0); }},
    {"ChangeDirectoryPermissions", false,
     [](const Paths& p) { ASSERT_EQ(chmod((p.root / "sub").c_str(), 0750), 0); }},
    {"ChangeRootPermissions", false,
     [](const Paths& p) { ASSERT_EQ(chmod(p.root.c_str(), 0750), 0); }},
    {"SetExtendedAttribute", false,
     [](const Paths& p) {
         if (setxattr((p.root / "file").c_str(), "user.windowsfscm", "1", 1, 0) != 0) {
             GTEST_SKIP() << "this filesystem takes no user extended attributes";
         }
     }},
    {"ReadFile", false,
     [](const Paths& p) {
         std::ifstream in(p.root / "file");
         std::string content;
         in >> content;
         ASSERT_EQ(content, "x");
     }},
    {"TouchSetsAccessTimeOnly", false,
     [](const Paths& p) { setTimes(p.root / "file", NOW, OMIT); }},
    {"WriteOutsideTree", false, [](const Paths& p) { appendToFile(p.outside / "file"); }},
};

class ChangeFilterTest : public WatchTest, public ::testing::WithParamInterface<FilterCase> {
  protected:
    void actAndExpect();
};

void ChangeFilterTest::actAndExpect() {
    fs::create_directories(tree / "sub/deep");
    fs::create_directory(tree / "empty");
    writeFile(tree / "file");
    writeFile(tree / "sub/deep/file");
    writeFile(outside / "file");
    // A permission change in the same clock tick as the last write is taken for a time change;
    // let the tick pass so the attribute cases test the rule, not the clock.
    std::this_thread::sleep_for(50ms);

    startOn(tree.path());
    waiter.beginWait();
    GetParam().act({tree.path(), outside.path()});
    if (IsSkipped()) return;
    if (GetParam().wakes) {
        EXPECT_TRUE(waiter.returns());
    } else {
        EXPECT_TRUE(waiter.staysBlocked());
    }
}

TEST_P(ChangeFilterTest, WakesExactlyForChangesInTheFilter) {
    actAndExpect();
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangeFilterTest, ::testing::ValuesIn(CASES),
                         [](const auto& test) { return std::string(test.param.name); });

// On kernels before 4.11 there is no statx, and so no birth time: a file's times come from stat,
// and only the rule that needs no birth time applies. These are the changes that reach the rule
// (both times set at once; one time alone comes as a write or a read, not an attribute change).
class WithoutStatxTest : public ChangeFilterTest {
  protected:
    void SetUp() override {
        ChangeFilterTest::SetUp();
        kernel_stand_in::sys::failCalls(kernel_stand_in::sys::Call::FileTimes, 1, UINT_MAX, ENOSYS);
    }
    void TearDown() override {
        kernel_stand_in::sys::clearInjectedFailures();
        ChangeFilterTest::TearDown();
    }
};

TEST_P(WithoutStatxTest, TimesSetToNowWakeAndAttributeChangesDoNot) {
    unsigned refusedBefore = kernel_stand_in::sys::injectedFailureCount();
    actAndExpect();
    EXPECT_GT(kernel_stand_in::sys::injectedFailureCount(), refusedBefore);
}

const FilterCase WITHOUT_STATX_CASES[] = {
    {"TouchSetsBothTimesToNow", true, [](const Paths& p) { setTimes(p.root / "file", NOW, NOW); }},
    // Told apart from a permission change by the birth time only.
    {"TouchSetsAnExplicitDate", false,
     [](const Paths& p) { setTimes(p.root / "file", NEW_YEAR_2020, NEW_YEAR_2020); }},
    {"ChangePermissions", false,
     [](const Paths& p) { ASSERT_EQ(chmod((p.root / "file").c_str(), 0600), 0); }},
    {"ChangeOwner", false,
     [](const Paths& p) { ASSERT_EQ(chown((p.root / "file").c_str(), getuid(), getgid()), 0); }},
};

INSTANTIATE_TEST_SUITE_P(Changes, WithoutStatxTest, ::testing::ValuesIn(WITHOUT_STATX_CASES),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
