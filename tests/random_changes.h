// Random changes in a watched tree and beside it, with a record of what is where, for the
// stress. Each change either is in the watch's filter and inside the tree, so it must wake the
// wait, or is not (attribute-only changes, reads, changes outside the tree), so it must not. The
// same seed makes the same changes in the same order.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace test_support {

enum class Effect { Wakes, Quiet };

class RandomChanges {
  public:
    RandomChanges(const fs::path& tree, const fs::path& outside, std::uint64_t seed);

    // Makes one change of `effect` (any when empty) and returns whether it wakes.
    Effect make(std::optional<Effect> effect);
    // The names of the last changes made, one a line.
    std::string recent() const;
    int directoriesInTree() const { return static_cast<int>(inside_.directories.size()); }
    const fs::path& tree() const { return inside_.directories.front(); }

    // The same random sequence drives the caller's choices, so a seed replays those too.
    std::size_t pick(std::size_t count) { return random_() % count; }
    bool chance(unsigned percent) { return random_() % 100 < percent; }

  private:
    using Clock = std::chrono::steady_clock;

    struct File {
        fs::path path;
        Clock::time_point written;
        // Access and write times may be equal: touched, or read or given an access time in the
        // clock tick of a write that follows. A later attribute change would look like a touch.
        bool timesEqual;
    };

    // What is on disk on one side: inside the watched tree or outside it.
    struct Side {
        std::vector<fs::path> directories;  // the top one first; it never moves
        std::vector<File> files;
    };

    struct Change {
        const char* name;
        Effect effect;
        // False when it does not apply to the trees as they are; then nothing was done.
        bool (RandomChanges::*make)();
    };
    static const Change CHANGES[];

    std::string newName() { return "n" + std::to_string(names_++); }
    fs::path someDirectory(Side& side) { return side.directories[pick(side.directories.size())]; }
    File* someFile(Side& side);
    File* someSettledFile();
    void transfer(const fs::path& from, Side& source, const fs::path& to, Side& target);
    bool moveFile(Side& source, Side& target);
    bool moveSubtree(Side& source, Side& target);
    bool createFileOn(Side& side);

    bool createFile() { return createFileOn(inside_); }
    bool appendToFile();
    bool truncateFile();
    bool touchFile();
    bool renameFile();
    bool deleteFile();
    bool moveFileIn() { return moveFile(outside_, inside_); }
    bool moveFileOut() { return moveFile(inside_, outside_); }
    bool makeDirectories();
    bool makeDirectoriesAndFile();
    bool renameDirectory();
    bool deleteDirectory();
    bool moveSubtreeIn();
    bool moveSubtreeOut() { return moveSubtree(inside_, outside_); }
    bool linkOutward();
    bool changePermissions();
    bool changeOwner();
    bool setExtendedAttribute();
    bool touchAccessTime();
    bool readFile();
    bool writeOutside();
    bool makeDirectoryOutside();

    std::mt19937_64 random_;
    Side inside_;
    Side outside_;
    unsigned long names_ = 0;
    unsigned long links_ = 0;
    unsigned long attributeValues_ = 0;
    std::deque<const char*> recent_;
};

}  // namespace test_support
