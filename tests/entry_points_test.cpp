// The entry points driven through a fake JNIEnv: the path's characters are taken once and given
// back once, with the same pointer, whatever the outcome; nothing else of the JVM is touched; and
// the JVM's modified UTF-8 reaches the platform as the file name it stands for, or not at all.
#include "jni/entry_points.h"

#include <chrono>
#include <climits>
#include <future>
#include <string>
#include <vector>

#include "platform/linux/kernel.h"
#include "tests/fake_jni_env.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;

// U+1F600 in standard UTF-8, and as the JVM writes it: two 3-byte surrogate halves.
const std::string EMOJI_UTF8 = "\xF0\x9F\x98\x80";
const std::string EMOJI_MODIFIED = "\xED\xA0\xBD\xED\xB8\x80";

class EntryPointTest : public WatchTest {
  protected:
    // Calls nativeInit with `characters` as the string's modified UTF-8 and checks that they
    // were taken and given back exactly once, as they were handed out.
    bool init(const std::string& characters) {
        FakeJniEnv fake(characters);
        jboolean started =
            Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(
                fake.env(), nullptr, fake.string());
        EXPECT_EQ(fake.getCalls(), 1);
        EXPECT_TRUE(fake.gotAsExpected());
        EXPECT_EQ(fake.releaseCalls(), 1);
        EXPECT_TRUE(fake.releasedAsHandedOut());
        EXPECT_TRUE(started == JNI_TRUE || started == JNI_FALSE);
        return started == JNI_TRUE;
    }

    std::string inTree(const std::string& name) { return tree.path().string() + "/" + name; }
};

void nativeWait(JNIEnv* env) {
    Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange(env,
                                                                                        nullptr);
}

TEST_F(EntryPointTest, CharactersAreGivenBackOnlyAfterTheWatchOpened) {
    FakeJniEnv fake(tree.path().string());
    int watchesAtRelease = -1;
    fake.onRelease([&] { watchesAtRelease = inotifyWatchCount(); });
    EXPECT_EQ(Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(
                  fake.env(), nullptr, fake.string()),
              JNI_TRUE);
    EXPECT_EQ(fake.releaseCalls(), 1);
    EXPECT_TRUE(fake.releasedAsHandedOut());
    EXPECT_GT(watchesAtRelease, 0);
}

// A short path to a directory whose own path is longer than Linux allows (PATH_MAX): each link
// leads a few long names further down.
std::string pathBeyondTheLimit(const fs::path& top) {
    const std::string longName(NAME_MAX, 'x');
    fs::path shortcut = top;
    for (std::size_t length = top.string().size(), link = 0; length <= PATH_MAX; ++link) {
        fs::path level = shortcut;
        for (int i = 0; i < 8; ++i, length += 1 + NAME_MAX)
            level /= longName;
        fs::create_directories(level);
        shortcut = top / ("hop" + std::to_string(link));
        fs::create_directory_symlink(level, shortcut);
    }
    return shortcut.string();
}

TEST_F(EntryPointTest, UnusablePathsAreRefusedAndHoldNothing) {
    writeFile(tree / "file");
    fs::create_directory_symlink(tree / "loop-b", tree / "loop-a");
    fs::create_directory_symlink(tree / "loop-a", tree / "loop-b");
    fs::create_directory_symlink(tree / "nowhere", tree / "dangling");
    fs::create_symlink(tree / "file", tree / "to-file");
    const std::string unusable[] = {
        "",
        inTree("missing"),
        inTree("missing/below"),
        inTree("file"),
        inTree("file/below"),
        inTree("loop-a"),
        inTree("dangling"),
        inTree("to-file"),
        inTree(std::string(NAME_MAX + 1, 'n')),
        pathBeyondTheLimit(tree.path()),
    };
    int descriptors = openDescriptorCount();
    std::size_t heap = heapBytesInUse();
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::string& path : unusable) {
            EXPECT_FALSE(init(path)) << path;
            EXPECT_EQ(openDescriptorCount(), descriptors) << path;
        }
        // The first pass may leave the allocator's caches warmer; the second must add nothing.
        if (pass == 0) heap = heapBytesInUse();
    }
    if (heapIsCounted()) {
        EXPECT_EQ(heapBytesInUse(), heap);
    }
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(EntryPointTest, RootWithoutReadPermissionIsRefused) {
    fs::permissions(tree.path(), fs::perms::others_exec, fs::perm_options::add);
    fs::create_directory(inTree("locked"));
    fs::permissions(inTree("locked"), fs::perms::owner_write | fs::perms::owner_exec);
    UnprivilegedFileAccess unprivileged;
    if (!cannotRead(inTree("locked"))) GTEST_SKIP() << "permissions are not enforced here";
    EXPECT_FALSE(init(inTree("locked")));
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(EntryPointTest, NullPathIsRefusedWithoutCallingTheJvm) {
    FakeJniEnv fake("unused");
    EXPECT_EQ(Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(
                  fake.env(), nullptr, nullptr),
              JNI_FALSE);
    EXPECT_EQ(fake.getCalls(), 0);
    EXPECT_EQ(fake.releaseCalls(), 0);
}

TEST_F(EntryPointTest, CharactersTheJvmCouldNotProvideAreNotGivenBack) {
    FakeJniEnv fake(tree.path().string());
    fake.failGetStringUtfChars();
    EXPECT_EQ(Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit(
                  fake.env(), nullptr, fake.string()),
              JNI_FALSE);
    EXPECT_EQ(fake.getCalls(), 1);
    EXPECT_EQ(fake.releaseCalls(), 0);
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(EntryPointTest, WaitAndStopDriveTheWatchWithoutCallingTheJvm) {
    ASSERT_TRUE(init(tree.path().string()));
    FakeJniEnv watcher("unused");
    auto wait = std::async(std::launch::async, nativeWait, watcher.env());
    writeFile(tree / "file");
    ASSERT_EQ(wait.wait_for(RETURNS_WITHIN), std::future_status::ready);

    // Waits until one stays blocked, so what ends it next is the stop.
    do {
        wait = std::async(std::launch::async, nativeWait, watcher.env());
    } while (wait.wait_for(STAYS_BLOCKED_FOR) == std::future_status::ready);
    FakeJniEnv stopper("unused");
    Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop(stopper.env(),
                                                                               nullptr);
    EXPECT_EQ(wait.wait_for(RETURNS_WITHIN), std::future_status::ready);
    EXPECT_EQ(inotifyWatchCount(), 0);
    EXPECT_EQ(watcher.getCalls() + stopper.getCalls(), 0);
}

TEST_F(EntryPointTest, BasicMultilingualPlaneNamesPassThroughUnchanged) {
    // Two- and three-byte characters are written alike in modified and standard UTF-8.
    const std::string name = "caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC";
    fs::create_directory(inTree(name));
    EXPECT_TRUE(init(inTree(name)));
}

TEST_F(EntryPointTest, SupplementaryCharactersReachThePlatformAsStandardUtf8) {
    fs::create_directory(inTree(EMOJI_UTF8));
    ASSERT_TRUE(init(inTree(EMOJI_MODIFIED)));
    waiter.beginWait();
    writeFile(inTree(EMOJI_UTF8 + "/file"));
    EXPECT_TRUE(waiter.returns());
}

TEST_F(EntryPointTest, EmbeddedNulIsRefused) {
    // Cut at the NUL, the path would name the tree itself.
    EXPECT_FALSE(init(tree.path().string() + "\xC0\x80"));
    EXPECT_FALSE(init(tree.path().string() + "\xC0\x80/more"));
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(EntryPointTest, MalformedModifiedUtf8IsRefused) {
    const std::vector<std::string> malformed = {
        "\xC3",                      // two-byte form cut short
        "\xE6\x9D",                  // three-byte form cut short
        "\xC3\x61",                  // lead byte followed by ASCII
        "\x80",                      // continuation byte on its own
        "\xED\xA0\xBD",              // high surrogate at the end
        "\xED\xA0\xBD\x61",          // high surrogate followed by ASCII
        "\xED\xA0\xBD\xC3\xA9",      // high surrogate followed by another character
        "\xED\xA0\xBD\xED\xA0\xBD",  // two high surrogates
        "\xED\xB8\x80",              // low surrogate on its own
        "\xED\xB8\x80\xED\xA0\xBD",  // surrogates in the wrong order
        "\xED\xA0\xBD\xED\xB8",      // low half cut short
        "\xC1\x81",                  // overlong 'A'
        "\xC0\xAF",                  // overlong '/'
        "\xE0\x80\xAF",              // overlong '/' in three bytes
        "\xE0\x9F\xBF",              // overlong U+07FF
        EMOJI_UTF8,                  // four-byte form: never written by the JVM
        "\xF8\x88\x80\x80\x80",      // five-byte form
        "\xFF",                      // never valid
    };
    for (const std::string& name : malformed) {
        // The directory exists under the raw bytes, so only a refusal makes the start fail.
        fs::create_directory(inTree(name));
        EXPECT_FALSE(init(inTree(name))) << ::testing::PrintToString(name);
    }
    EXPECT_EQ(inotifyWatchCount(), 0);
}

TEST_F(EntryPointTest, PathsUpToThePlatformLimitAreAcceptedAndLongerOnesRefused) {
    // Extra slashes leave the directory named the same while making the path as long as wanted.
    auto padded = [](std::string path, std::size_t length) {
        path.resize(length, '/');
        return path;
    };
    const std::string root = tree.path().string();
    EXPECT_TRUE(init(padded(root, LONGEST_PATH_BYTES - 1)));
    EXPECT_FALSE(init(padded(root, LONGEST_PATH_BYTES)));
    EXPECT_FALSE(init(padded(root, 3 * LONGEST_PATH_BYTES)));

    // What must fit is the converted path: six bytes of surrogates become four.
    fs::create_directory(inTree(EMOJI_UTF8));
    EXPECT_TRUE(init(padded(inTree(EMOJI_MODIFIED), LONGEST_PATH_BYTES + 1)));
    EXPECT_FALSE(init(padded(inTree(EMOJI_MODIFIED), LONGEST_PATH_BYTES + 2)));
}

TEST(FakeJniEnvTest, AnyOtherJniFunctionFailsLoudly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeJniEnv fake("unused");
    EXPECT_DEATH(fake.env()->ExceptionClear(), "unexpected call to JNI function table slot 17");
    EXPECT_DEATH(fake.env()->NewStringUTF("x"), "unexpected call to JNI function table slot 167");
}

}  // namespace
