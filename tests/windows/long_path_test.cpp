// The path that reaches the Windows kernel, found natively: a fake GetFullPathNameW answers with
// a given full path, and the kernel's call only records what it was handed.
#include "platform/windows/long_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

using long_path::LONGEST_AS_GIVEN;

// The kernel's own limit, as the library passes it.
constexpr std::size_t LONGEST = 32767;

// GetFullPathNameW with the full path it gives for any input; each answer may be set apart, to
// play a working directory that changes between two calls.
class FakeFullPath {
  public:
    explicit FakeFullPath(std::u16string full) : answers_{std::move(full)} {}
    FakeFullPath(std::u16string first, std::u16string second)
        : answers_{std::move(first), std::move(second)} {}

    void fail() { failing_ = true; }
    int calls() const { return calls_; }

    std::size_t operator()(const char16_t* path, std::size_t capacity, char16_t* out) {
        inputs_.emplace_back(path);
        const std::u16string& full =
            answers_.at(std::min<std::size_t>(calls_, answers_.size() - 1));
        ++calls_;
        if (failing_) return 0;
        if (full.size() + 1 > capacity) return full.size() + 1;
        // With its NUL.
        for (std::size_t i = 0; i <= full.size(); ++i)
            out[i] = full.c_str()[i];
        return full.size();
    }

    const std::vector<std::u16string>& inputs() const { return inputs_; }

  private:
    std::vector<std::u16string> answers_;
    std::vector<std::u16string> inputs_;
    bool failing_ = false;
    int calls_ = 0;
};

// What the kernel's call is handed, or nothing when it is not called.
std::optional<std::u16string> kernelPath(const std::u16string& path, FakeFullPath& fullPath,
                                         std::size_t longest = LONGEST) {
    std::optional<std::u16string> handed;
    const bool formed = long_path::withKernelPath(
        path.c_str(), path.size(), longest, std::ref(fullPath),
        [&](const char16_t* kernelPath) { handed = std::u16string(kernelPath); });
    EXPECT_EQ(formed, handed.has_value());
    return handed;
}

// A path of `length` units below `root`, made of 100-unit names.
std::u16string pathOfLength(std::u16string root, std::size_t length) {
    while (root.size() < length) {
        root += u'\\';
        root.append(std::min<std::size_t>(100, length - root.size()), u'n');
    }
    root.resize(length);
    return root;
}

TEST(LongPathTest, PathsUpToTheShortLimitPassAsGiven) {
    // Unresolved "..", forward slashes and relative paths alike: the kernel resolves them.
    for (const std::u16string& path :
         {pathOfLength(u"C:\\dir", LONGEST_AS_GIVEN), pathOfLength(u"C:/a/../b", LONGEST_AS_GIVEN),
          pathOfLength(u"relative", 100), std::u16string(u"C:\\"), std::u16string()}) {
        FakeFullPath fullPath(u"C:\\unused");
        EXPECT_EQ(kernelPath(path, fullPath), path);
        EXPECT_EQ(fullPath.calls(), 0);
    }
}

TEST(LongPathTest, LongerPathsReachTheKernelFullAndPrefixed) {
    const std::u16string drivePath = pathOfLength(u"C:\\dir", LONGEST_AS_GIVEN + 1);
    FakeFullPath drive(drivePath);
    EXPECT_EQ(kernelPath(drivePath, drive), u"\\\\?\\" + drivePath);
    // Asked for the size first, then for the path; both times for the path as given.
    EXPECT_EQ(drive.calls(), 2);
    EXPECT_EQ(drive.inputs(), std::vector<std::u16string>(2, drivePath));

    const std::u16string uncPath = pathOfLength(u"\\\\server\\share", 300);
    FakeFullPath unc(uncPath);
    EXPECT_EQ(kernelPath(uncPath, unc), u"\\\\?\\UNC" + uncPath.substr(1));

    // \\.\ names the device namespace, which the prefix reaches without normalising.
    const std::u16string devicePath = pathOfLength(u"\\\\.\\C:\\dir", 300);
    FakeFullPath device(devicePath);
    EXPECT_EQ(kernelPath(devicePath, device), u"\\\\?\\" + devicePath.substr(4));
}

TEST(LongPathTest, TheFullPathIsWhatGetsPrefixed) {
    // "." and "..", forward slashes and doubled separators are resolved by GetFullPathNameW;
    // the prefix would have the kernel take them literally.
    const std::u16string given = pathOfLength(u"C:/dir/./x/../", 400);
    const std::u16string full = pathOfLength(u"C:\\dir", 390);
    FakeFullPath fullPath(full);
    EXPECT_EQ(kernelPath(given, fullPath), u"\\\\?\\" + full);

    // A relative path's full form comes from the working directory.
    const std::u16string relative = pathOfLength(u"sub", 300);
    FakeFullPath fromWorkingDirectory(u"D:\\work\\" + relative);
    EXPECT_EQ(kernelPath(relative, fromWorkingDirectory), u"\\\\?\\D:\\work\\" + relative);
}

TEST(LongPathTest, AFullPathShortEnoughPassesUnprefixed) {
    const std::u16string given = pathOfLength(u"C:\\a\\..\\..\\..", 400);
    for (std::size_t length : {std::size_t{3}, LONGEST_AS_GIVEN}) {
        const std::u16string full = pathOfLength(u"C:\\b", length);
        FakeFullPath fullPath(full);
        EXPECT_EQ(kernelPath(given, fullPath), full);
    }
    const std::u16string full = pathOfLength(u"C:\\b", LONGEST_AS_GIVEN + 1);
    FakeFullPath fullPath(full);
    EXPECT_EQ(kernelPath(given, fullPath), u"\\\\?\\" + full);
}

TEST(LongPathTest, PathsInTheKernelsFormPassAsGiven) {
    for (const std::u16string prefix :
         {u"\\\\?\\C:\\", u"\\\\?\\UNC\\server\\share\\", u"\\??\\C:\\"}) {
        const std::u16string path = pathOfLength(prefix + u"dir", 1000);
        FakeFullPath fullPath(u"C:\\unused");
        EXPECT_EQ(kernelPath(path, fullPath), path);
        EXPECT_EQ(fullPath.calls(), 0);
    }
    // A full path that GetFullPathNameW gives in that form is not prefixed twice.
    const std::u16string given = pathOfLength(u"//?/C:/dir", 400);
    const std::u16string full = pathOfLength(u"\\\\?\\C:\\dir", 400);
    FakeFullPath fullPath(full);
    EXPECT_EQ(kernelPath(given, fullPath), full);
}

TEST(LongPathTest, NoFullPathMeansNoCallToTheKernel) {
    const std::u16string given = pathOfLength(u"C:\\dir", 300);

    FakeFullPath failing(given);
    failing.fail();
    EXPECT_EQ(kernelPath(given, failing), std::nullopt);
    EXPECT_EQ(failing.calls(), 1);

    // Longer than the kernel takes: refused before any room is taken for it.
    const std::u16string tooLong = pathOfLength(u"C:\\dir", 1001);
    FakeFullPath beyondTheLimit(tooLong);
    EXPECT_EQ(kernelPath(given, beyondTheLimit, 1000), std::nullopt);
    EXPECT_EQ(beyondTheLimit.calls(), 1);
    const std::u16string atTheLimit = pathOfLength(u"C:\\dir", 1000);
    FakeFullPath withinTheLimit(atTheLimit);
    EXPECT_EQ(kernelPath(given, withinTheLimit, 1000), u"\\\\?\\" + atTheLimit);

    // The working directory changed between the two calls and the full path grew.
    FakeFullPath growing(pathOfLength(u"C:\\dir", 300), pathOfLength(u"C:\\dir", 301));
    EXPECT_EQ(kernelPath(given, growing), std::nullopt);
    EXPECT_EQ(growing.calls(), 2);
    // Shrinking is harmless: the path written is the one handed on.
    const std::u16string shorter = pathOfLength(u"C:\\dir", 299);
    FakeFullPath shrinking(pathOfLength(u"C:\\dir", 300), shorter);
    EXPECT_EQ(kernelPath(given, shrinking), u"\\\\?\\" + shorter);
}

TEST(LongPathTest, PrefixingWritesOnlyIntoTheRoomBeforeThePath) {
    // Guard units around the room and after the NUL catch a write outside them.
    const std::u16string uncPath = pathOfLength(u"\\\\server\\share", 300);
    std::u16string buffer =
        u"!" + std::u16string(long_path::PREFIX_ROOM, u'.') + uncPath + u'\0' + u"!";
    char16_t* full = buffer.data() + 1 + long_path::PREFIX_ROOM;
    const char16_t* result = long_path::prefixFullPath(full, uncPath.size());
    EXPECT_EQ(result, buffer.data() + 1);
    EXPECT_EQ(std::u16string(result), u"\\\\?\\UNC" + uncPath.substr(1));
    EXPECT_EQ(buffer.front(), u'!');
    EXPECT_EQ(buffer.back(), u'!');
}

}  // namespace
