// The listing reader on its own: every subdirectory exactly once, over as many buffers as the
// listing takes, and nothing else (files, links, "." and ".."); the same a buffer at a time; a
// directory opened by its name in its parent's descriptor, never through a link; the descriptor
// handed over at the end.
#include "platform/linux/directory_listing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "tests/test_support.h"

namespace {

using kernel_stand_in::DirectoryListing;
using namespace test_support;

class DirectoryListingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Long names, so that the listing takes several buffers.
        for (int i = 0; i < 600; ++i) {
            std::string name = std::to_string(i) + std::string(120, 'd');
            fs::create_directory(tree / name);
            subdirectories.insert(name);
            writeFile(tree / (std::to_string(i) + "file"));
        }
        fs::create_directory_symlink(tree / "0" / "..", tree / "link");
        descriptors = openDescriptorCount();
    }
    void TearDown() override { EXPECT_EQ(openDescriptorCount(), descriptors); }

    TemporaryDirectory tree;
    std::set<std::string> subdirectories;
    int descriptors = 0;
};

TEST_F(DirectoryListingTest, EverySubdirectoryOnceAndNothingElse) {
    DirectoryListing listing;
    ASSERT_TRUE(listing.open(tree.path().c_str(), false));
    std::multiset<std::string> seen;
    std::size_t length = 0;
    while (const char* name = listing.nextSubdirectory(&length)) {
        EXPECT_EQ(std::strlen(name), length);
        seen.insert(name);
    }
    EXPECT_EQ(listing.failed(), 0);
    EXPECT_EQ(seen, std::multiset<std::string>(subdirectories.begin(), subdirectories.end()));
}

TEST_F(DirectoryListingTest, ABufferAtATimeOpenedInItsParent) {
    int parent = open(tree.path().parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(parent, 0);
    DirectoryListing listing;
    ASSERT_TRUE(listing.openAt(parent, tree.path().filename().c_str()));
    close(parent);
    std::set<std::string> seen;
    int buffers = 0;
    while (listing.read()) {
        ++buffers;
        std::size_t length = 0;
        while (const char* name = listing.nextReadSubdirectory(&length))
            EXPECT_TRUE(seen.insert(std::string(name, length)).second) << name;
    }
    EXPECT_GT(buffers, 1);
    EXPECT_EQ(listing.failed(), 0);
    EXPECT_EQ(seen, subdirectories);

    // The descriptor outlives the listing, to open what is below it.
    int held = listing.releaseDescriptor();
    ASSERT_GE(held, 0);
    EXPECT_FALSE(listing.read());
    EXPECT_EQ(listing.failed(), EBADF);
    ASSERT_TRUE(listing.openAt(held, subdirectories.begin()->c_str()));
    // A link to a directory is never gone through, whichever way it is opened.
    EXPECT_FALSE(listing.openAt(held, "link"));
    EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errno;
    EXPECT_FALSE(listing.open((tree / "link").c_str(), false));
    EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << errno;
    close(held);
}

}  // namespace
