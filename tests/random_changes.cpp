#include "tests/random_changes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace test_support {
namespace {

// An attribute change in the clock tick of the file's last write is taken for a write.
constexpr auto TICK_PASSED = 100ms;
constexpr std::size_t MOST_DIRECTORIES = 40;
constexpr std::size_t MOST_FILES = 120;
constexpr unsigned long MOST_LINKS = 30;

bool within(const fs::path& path, const fs::path& top) {
    return path == top || path.native().starts_with(top.native() + "/");
}

}  // namespace

const RandomChanges::Change RandomChanges::CHANGES[] = {
    {"create a file", Effect::Wakes, &RandomChanges::createFile},
    {"append to a file", Effect::Wakes, &RandomChanges::appendToFile},
    {"truncate a file", Effect::Wakes, &RandomChanges::truncateFile},
    {"touch a file", Effect::Wakes, &RandomChanges::touchFile},
    {"rename a file", Effect::Wakes, &RandomChanges::renameFile},
    {"delete a file", Effect::Wakes, &RandomChanges::deleteFile},
    {"move a file in", Effect::Wakes, &RandomChanges::moveFileIn},
    {"move a file out", Effect::Wakes, &RandomChanges::moveFileOut},
    {"mkdir -p", Effect::Wakes, &RandomChanges::makeDirectories},
    {"mkdir -p and write at once", Effect::Wakes, &RandomChanges::makeDirectoriesAndFile},
    {"rename a directory", Effect::Wakes, &RandomChanges::renameDirectory},
    {"delete a directory tree", Effect::Wakes, &RandomChanges::deleteDirectory},
    {"move a subtree in", Effect::Wakes, &RandomChanges::moveSubtreeIn},
    {"move a subtree out", Effect::Wakes, &RandomChanges::moveSubtreeOut},
    {"link to a directory outside", Effect::Wakes, &RandomChanges::linkOutward},
    {"change permissions", Effect::Quiet, &RandomChanges::changePermissions},
    {"change owner", Effect::Quiet, &RandomChanges::changeOwner},
    {"set an extended attribute", Effect::Quiet, &RandomChanges::setExtendedAttribute},
    {"touch the access time", Effect::Quiet, &RandomChanges::touchAccessTime},
    {"read a file", Effect::Quiet, &RandomChanges::readFile},
    {"write outside", Effect::Quiet, &RandomChanges::writeOutside},
    {"make a directory outside", Effect::Quiet, &RandomChanges::makeDirectoryOutside},
};

RandomChanges::RandomChanges(const fs::path& tree, const fs::path& outside, std::uint64_t seed)
    : random_(seed) {
    inside_.directories = {tree};
    outside_.directories = {outside};
    for (int i = 0; i < 3; ++i) {
        makeDirectories();
        createFile();
    }
}

Effect RandomChanges::make(std::optional<Effect> effect) {
    for (;;) {
        const Change& change = CHANGES[pick(std::size(CHANGES))];
        if (effect && change.effect != *effect) continue;
        if (!(this->*change.make)()) continue;
        recent_.push_back(change.name);
        if (recent_.size() > 12) recent_.pop_front();
        return change.effect;
    }
}

std::string RandomChanges::recent() const {
    std::ostringstream list;
    for (const char* change : recent_)
        list << "\n  " << change;
    return list.str();
}

RandomChanges::File* RandomChanges::someFile(Side& side) {
    return side.files.empty() ? nullptr : &side.files[pick(side.files.size())];
}

RandomChanges::File* RandomChanges::someSettledFile() {
    File* file = someFile(inside_);
    bool settled =
        file != nullptr && !file->timesEqual && Clock::now() - file->written > TICK_PASSED;
    return settled ? file : nullptr;
}

void RandomChanges::transfer(const fs::path& from, Side& source, const fs::path& to, Side& target) {
    // Source and target may be the same side, so collect first and add after.
    Side moved;
    auto movedPath = [&](const fs::path& path) {
        return path == from ? to : to / path.lexically_relative(from);
    };
    std::erase_if(source.directories, [&](const fs::path& directory) {
        if (!within(directory, from)) return false;
        moved.directories.push_back(movedPath(directory));
        return true;
    });
    std::erase_if(source.files, [&](const File& file) {
        if (!within(file.path, from)) return false;
        moved.files.push_back({movedPath(file.path), Clock::now(), file.timesEqual});
        return true;
    });
    target.directories.insert(target.directories.end(), moved.directories.begin(),
                              moved.directories.end());
    target.files.insert(target.files.end(), moved.files.begin(), moved.files.end());
}

bool RandomChanges::moveFile(Side& source, Side& target) {
    File* file = someFile(source);
    if (file == nullptr || target.files.size() >= MOST_FILES) return false;
    fs::path to = someDirectory(target) / newName();
    fs::rename(file->path, to);
    transfer(file->path, source, to, target);
    return true;
}

bool RandomChanges::moveSubtree(Side& source, Side& target) {
    if (source.directories.size() < 2 || target.directories.size() >= MOST_DIRECTORIES) {
        return false;
    }
    fs::path top = source.directories[1 + pick(source.directories.size() - 1)];
    fs::path to = someDirectory(target) / newName();
    fs::rename(top, to);
    transfer(top, source, to, target);
    return true;
}

bool RandomChanges::createFileOn(Side& side) {
    if (side.files.size() >= MOST_FILES) return false;
    fs::path path = someDirectory(side) / newName();
    writeFile(path);
    side.files.push_back({path, Clock::now(), false});
    return true;
}

bool RandomChanges::appendToFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    test_support::appendToFile(file->path);
    file->written = Clock::now();
    return true;
}

bool RandomChanges::truncateFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    fs::resize_file(file->path, 0);
    file->written = Clock::now();
    return true;
}

bool RandomChanges::touchFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    EXPECT_EQ(utimensat(AT_FDCWD, file->path.c_str(), nullptr, 0), 0);
    file->written = Clock::now();
    file->timesEqual = true;
    return true;
}

bool RandomChanges::renameFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    fs::path to = someDirectory(inside_) / newName();
    fs::rename(file->path, to);
    // Renaming moves the file's change time, as a write does.
    *file = {to, Clock::now(), file->timesEqual};
    return true;
}

bool RandomChanges::deleteFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    fs::remove(file->path);
    std::erase_if(inside_.files, [&](const File& other) { return &other == file; });
    return true;
}

bool RandomChanges::makeDirectories() {
    if (inside_.directories.size() + 3 > MOST_DIRECTORIES) return false;
    fs::path path = someDirectory(inside_);
    for (std::size_t depth = 1 + pick(3); depth > 0; --depth) {
        path /= newName();
        inside_.directories.push_back(path);
    }
    fs::create_directories(path);
    return true;
}

bool RandomChanges::makeDirectoriesAndFile() {
    if (inside_.files.size() >= MOST_FILES || !makeDirectories()) return false;
    fs::path path = inside_.directories.back() / newName();
    writeFile(path);
    inside_.files.push_back({path, Clock::now(), false});
    return true;
}

bool RandomChanges::renameDirectory() {
    if (inside_.directories.size() < 2) return false;
    fs::path top = inside_.directories[1 + pick(inside_.directories.size() - 1)];
    fs::path parent = someDirectory(inside_);
    if (within(parent, top)) return false;
    fs::path to = parent / newName();
    fs::rename(top, to);
    transfer(top, inside_, to, inside_);
    return true;
}

bool RandomChanges::deleteDirectory() {
    if (inside_.directories.size() < 2) return false;
    fs::path top = inside_.directories[1 + pick(inside_.directories.size() - 1)];
    fs::remove_all(top);
    std::erase_if(inside_.directories, [&](const fs::path& path) { return within(path, top); });
    std::erase_if(inside_.files, [&](const File& file) { return within(file.path, top); });
    return true;
}

bool RandomChanges::moveSubtreeIn() {
    if (outside_.directories.size() < 2) {
        fs::path top = outside_.directories.front() / newName();
        makeTree(top, 1 + static_cast<int>(pick(2)), 1);
        for (const auto& entry : fs::recursive_directory_iterator(top)) {
            if (entry.is_directory()) outside_.directories.push_back(entry.path());
            if (entry.is_regular_file()) outside_.files.push_back({entry.path(), {}, false});
        }
        outside_.directories.push_back(top);
    }
    return moveSubtree(outside_, inside_);
}

bool RandomChanges::linkOutward() {
    if (links_++ >= MOST_LINKS) return false;
    fs::create_directory_symlink(someDirectory(outside_), someDirectory(inside_) / newName());
    return true;
}

bool RandomChanges::changePermissions() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    EXPECT_EQ(chmod(file->path.c_str(), chance(50) ? 0600 : 0644), 0);
    return true;
}

bool RandomChanges::changeOwner() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    EXPECT_EQ(chown(file->path.c_str(), getuid(), getgid()), 0);
    return true;
}

bool RandomChanges::setExtendedAttribute() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    // A value of its own each time: ext4 leaves the change time alone when an attribute is set
    // to the value it has, and a file whose last write set both times then looks touched.
    std::string value = std::to_string(++attributeValues_);
    return setxattr(file->path.c_str(), "user.stress", value.data(), value.size(), 0) == 0;
}

bool RandomChanges::touchAccessTime() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    EXPECT_EQ(utimensat(AT_FDCWD, file->path.c_str(), times, 0), 0);
    file->timesEqual = true;
    return true;
}

bool RandomChanges::readFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    std::ifstream in(file->path);
    std::string content;
    in >> content;
    file->timesEqual = true;
    return true;
}

bool RandomChanges::writeOutside() {
    File* file = someFile(outside_);
    if (file != nullptr && chance(50)) {
        test_support::appendToFile(file->path);
        return true;
    }
    return createFileOn(outside_);
}

bool RandomChanges::makeDirectoryOutside() {
    if (outside_.directories.size() >= MOST_DIRECTORIES) return false;
    fs::path path = someDirectory(outside_) / newName();
    fs::create_directory(path);
    outside_.directories.push_back(path);
    return true;
}

}  // namespace test_support
