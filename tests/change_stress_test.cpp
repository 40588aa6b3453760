// A seeded random stress with an oracle. The test thread makes random changes (files created,
// written, truncated, touched, renamed, deleted, moved in and out; directories made in bursts,
// renamed, deleted; subtrees moved in and out; permissions, owners, extended attributes, reads;
// changes outside the tree) while the waiter thread loops on the wait. Because it can tell when
// the wait sleeps with nothing left to read, each check is exact: a change in the filter made
// while the wait sleeps, or after it returned, must be followed by a wake; changes outside the
// filter or outside the tree alone must leave it asleep; every directory of the tree, and no
// other, must be watched. The faulty variant also makes the kernel calls fail now and then.
//
// WINDOWSFSCM_STRESS_SECONDS sets how long each variant runs (3 s by default);
// WINDOWSFSCM_STRESS_SEED replays a run: a seed always makes the same changes in the same order.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <vector>

#include "monitor/monitor.h"
#include "platform/linux/system_calls.h"
#include "tests/test_support.h"

namespace {

using namespace test_support;
using linux_kernel::sys::Call;
using Clock = std::chrono::steady_clock;

// An attribute change in the clock tick of the file's last write is taken for a write.
constexpr auto TICK_PASSED = 100ms;
constexpr std::size_t MOST_DIRECTORIES = 40;
constexpr std::size_t MOST_FILES = 120;
constexpr unsigned long MOST_LINKS = 30;

unsigned long long fromEnvironment(const char* name, unsigned long long fallback) {
    const char* value = std::getenv(name);
    return value == nullptr ? fallback : std::stoull(value);
}

bool within(const fs::path& path, const fs::path& top) {
    return path == top || path.native().starts_with(top.native() + "/");
}

struct File {
    fs::path path;
    Clock::time_point written;
    // Access and write times may be equal: touched, or read or given an access time in the clock
    // tick of a write that follows. A later attribute change would look like a touch.
    bool timesEqual;
};

// What the test knows is on disk, inside the watched tree and outside it.
struct Side {
    std::vector<fs::path> directories;  // the top one first; it never moves
    std::vector<File> files;
};

enum class Effect { Wakes, Quiet };

class Stress;
struct Change {
    const char* name;
    Effect effect;
    // False when it does not apply to the trees as they are; then nothing was done.
    bool (Stress::*make)();
};

struct Fault {
    Call call;
    int error;
};

const Fault FAULTS[] = {
    {Call::AddWatch, ENOSPC},     {Call::AddWatch, ENOMEM},      {Call::OpenDirectory, EMFILE},
    {Call::OpenDirectory, EINTR}, {Call::ReadDirectory, ENOMEM}, {Call::ReadDirectory, EINTR},
    {Call::Read, EINTR},          {Call::Read, ENOMEM},          {Call::Poll, EINTR},
    {Call::Poll, ENOMEM},
};

struct Figures {
    unsigned long cycles = 0;
    unsigned long inFilter = 0;
    unsigned long quiet = 0;
    unsigned long wakes = 0;
    unsigned long missed = 0;
    unsigned long faults = 0;
};

class Stress {
  public:
    Stress(const fs::path& tree, const fs::path& outside, Waiter& waiter, std::uint64_t seed,
           bool faulty)
        : waiter_(waiter), random_(seed), faulty_(faulty) {
        inside_.directories = {tree};
        outside_.directories = {outside};
        for (int i = 0; i < 3; ++i) {
            makeDirectories();
            createFile();
        }
    }

    // Runs cycles until `deadline`; false at the first fault found.
    bool run(Clock::time_point deadline);
    const Figures& figures() const { return figures_; }

  private:
    static const Change CHANGES[];

    bool cycle();
    bool changeWhileAsleep();
    bool changeBetweenWaits();
    bool quietChangesWhileAsleep();
    bool everyDirectoryWatched();
    bool asleep();
    void injectFault();
    // Makes one change of `effect` (any when empty) and returns it.
    const Change& make(std::optional<Effect> effect);
    bool missed(const std::string& what);
    std::string recentChanges() const;

    std::size_t pick(std::size_t count) { return random_() % count; }
    bool chance(unsigned percent) { return random_() % 100 < percent; }
    std::string newName() { return "n" + std::to_string(names_++); }
    fs::path someDirectory(Side& side) { return side.directories[pick(side.directories.size())]; }
    File* someFile(Side& side);
    File* someSettledFile();
    void transfer(const fs::path& from, Side& source, const fs::path& to, Side& target);
    bool moveFile(Side& source, Side& target);
    bool moveSubtree(Side& source, Side& target);

    bool createFile();
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

    Waiter& waiter_;
    std::mt19937_64 random_;
    bool faulty_;
    Side inside_;
    Side outside_;
    unsigned long names_ = 0;
    unsigned long links_ = 0;
    std::deque<const char*> recent_;
    Figures figures_;
};

const Change Stress::CHANGES[] = {
    {"create a file", Effect::Wakes, &Stress::createFile},
    {"append to a file", Effect::Wakes, &Stress::appendToFile},
    {"truncate a file", Effect::Wakes, &Stress::truncateFile},
    {"touch a file", Effect::Wakes, &Stress::touchFile},
    {"rename a file", Effect::Wakes, &Stress::renameFile},
    {"delete a file", Effect::Wakes, &Stress::deleteFile},
    {"move a file in", Effect::Wakes, &Stress::moveFileIn},
    {"move a file out", Effect::Wakes, &Stress::moveFileOut},
    {"mkdir -p", Effect::Wakes, &Stress::makeDirectories},
    {"mkdir -p and write at once", Effect::Wakes, &Stress::makeDirectoriesAndFile},
    {"rename a directory", Effect::Wakes, &Stress::renameDirectory},
    {"delete a directory tree", Effect::Wakes, &Stress::deleteDirectory},
    {"move a subtree in", Effect::Wakes, &Stress::moveSubtreeIn},
    {"move a subtree out", Effect::Wakes, &Stress::moveSubtreeOut},
    {"link to a directory outside", Effect::Wakes, &Stress::linkOutward},
    {"change permissions", Effect::Quiet, &Stress::changePermissions},
    {"change owner", Effect::Quiet, &Stress::changeOwner},
    {"set an extended attribute", Effect::Quiet, &Stress::setExtendedAttribute},
    {"touch the access time", Effect::Quiet, &Stress::touchAccessTime},
    {"read a file", Effect::Quiet, &Stress::readFile},
    {"write outside", Effect::Quiet, &Stress::writeOutside},
    {"make a directory outside", Effect::Quiet, &Stress::makeDirectoryOutside},
};

bool Stress::run(Clock::time_point deadline) {
    std::uint64_t faultsBefore = linux_kernel::sys::injectedFailureCount();
    bool clean = asleep();
    while (clean && Clock::now() < deadline) {
        clean = cycle();
        ++figures_.cycles;
    }
    linux_kernel::sys::clearInjectedFailures();
    figures_.faults = linux_kernel::sys::injectedFailureCount() - faultsBefore;
    return clean && everyDirectoryWatched();
}

bool Stress::cycle() {
    if (faulty_ && chance(40)) injectFault();
    if (!changeWhileAsleep()) return false;
    if (chance(50) && !changeBetweenWaits()) return false;
    if (chance(30)) {
        // Faults wake the wait on purpose; quiet changes are judged without them.
        linux_kernel::sys::clearInjectedFailures();
        if (!asleep() || !quietChangesWhileAsleep()) return false;
    }
    return figures_.cycles % 25 != 24 || everyDirectoryWatched();
}

bool Stress::changeWhileAsleep() {
    if (!asleep()) return false;
    const Change& first = make(Effect::Wakes);
    // Changes that follow at once land while the waiter wakes, re-arms or sits between waits.
    bool wakeOwed = false;
    for (unsigned more = pick(3); more > 0; --more) {
        bool returned = waiter_.idle();
        if (make(std::nullopt).effect == Effect::Wakes && returned) wakeOwed = true;
    }
    if (!waiter_.returns()) return missed(first.name);
    ++figures_.wakes;
    if (!wakeOwed) return true;
    waiter_.beginWait();
    if (!waiter_.returns()) return missed("a change made after the wait returned");
    ++figures_.wakes;
    return true;
}

bool Stress::changeBetweenWaits() {
    // Events of the last changes may still be queued; each such wait returns on them.
    for (int drained = 0; inotifyQueuedBytes() > 0; ++drained) {
        waiter_.beginWait();
        // Asleep: they were no changes, and this cycle has no wait to begin after a change.
        if (waiter_.blocksWithNothingPending()) return true;
        if (drained == 1000) {
            ADD_FAILURE() << "the wait keeps returning on old events";
            return false;
        }
    }
    const Change& change = make(Effect::Wakes);
    waiter_.beginWait();
    if (!waiter_.returns()) return missed(change.name);
    ++figures_.wakes;
    return true;
}

bool Stress::quietChangesWhileAsleep() {
    for (unsigned count = 1 + pick(4); count > 0; --count)
        make(Effect::Quiet);
    if (waiter_.blocksWithNothingPending()) return true;
    ADD_FAILURE() << "the wait returned with no change in the filter; last changes:"
                  << recentChanges();
    return false;
}

bool Stress::everyDirectoryWatched() {
    linux_kernel::sys::clearInjectedFailures();
    if (!asleep()) return false;
    auto directories = static_cast<int>(inside_.directories.size());
    // The test's own record first: the count below means nothing if it is wrong.
    EXPECT_EQ(countDirectories(inside_.directories.front()), directories);
    EXPECT_EQ(inotifyWatchCount(), directories);
    return inotifyWatchCount() == directories;
}

bool Stress::asleep() {
    // Retries of failed calls, and events left by earlier changes, end a few waits first.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (waiter_.idle()) waiter_.beginWait();
        if (waiter_.blocksWithNothingPending()) return true;
    }
    ADD_FAILURE() << "the wait keeps returning with nothing changing; last changes:"
                  << recentChanges();
    return false;
}

void Stress::injectFault() {
    const Fault& fault = FAULTS[pick(std::size(FAULTS))];
    linux_kernel::sys::failCalls(fault.call, 1 + pick(3), 1 + pick(3), fault.error);
}

const Change& Stress::make(std::optional<Effect> effect) {
    for (;;) {
        const Change& change = CHANGES[pick(std::size(CHANGES))];
        if (effect && change.effect != *effect) continue;
        if (!(this->*change.make)()) continue;
        (change.effect == Effect::Wakes ? figures_.inFilter : figures_.quiet) += 1;
        recent_.push_back(change.name);
        if (recent_.size() > 12) recent_.pop_front();
        return change;
    }
}

bool Stress::missed(const std::string& what) {
    ++figures_.missed;
    ADD_FAILURE() << "no wake after: " << what << "; last changes:" << recentChanges();
    return false;
}

std::string Stress::recentChanges() const {
    std::ostringstream list;
    for (const char* change : recent_)
        list << "\n  " << change;
    return list.str();
}

File* Stress::someFile(Side& side) {
    return side.files.empty() ? nullptr : &side.files[pick(side.files.size())];
}

File* Stress::someSettledFile() {
    File* file = someFile(inside_);
    bool settled =
        file != nullptr && !file->timesEqual && Clock::now() - file->written > TICK_PASSED;
    return settled ? file : nullptr;
}

void Stress::transfer(const fs::path& from, Side& source, const fs::path& to, Side& target) {
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

bool Stress::moveFile(Side& source, Side& target) {
    File* file = someFile(source);
    if (file == nullptr || target.files.size() >= MOST_FILES) return false;
    fs::path to = someDirectory(target) / newName();
    fs::rename(file->path, to);
    transfer(file->path, source, to, target);
    return true;
}

bool Stress::moveSubtree(Side& source, Side& target) {
    if (source.directories.size() < 2 || target.directories.size() >= MOST_DIRECTORIES) {
        return false;
    }
    fs::path top = source.directories[1 + pick(source.directories.size() - 1)];
    fs::path to = someDirectory(target) / newName();
    fs::rename(top, to);
    transfer(top, source, to, target);
    return true;
}

bool Stress::createFile() {
    if (inside_.files.size() >= MOST_FILES) return false;
    fs::path path = someDirectory(inside_) / newName();
    writeFile(path);
    inside_.files.push_back({path, Clock::now(), false});
    return true;
}

bool Stress::appendToFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    test_support::appendToFile(file->path);
    file->written = Clock::now();
    return true;
}

bool Stress::truncateFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    fs::resize_file(file->path, 0);
    file->written = Clock::now();
    return true;
}

bool Stress::touchFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    EXPECT_EQ(utimensat(AT_FDCWD, file->path.c_str(), nullptr, 0), 0);
    file->written = Clock::now();
    file->timesEqual = true;
    return true;
}

bool Stress::renameFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    fs::path to = someDirectory(inside_) / newName();
    fs::rename(file->path, to);
    // Renaming moves the file's change time, as a write does.
    *file = {to, Clock::now(), file->timesEqual};
    return true;
}

bool Stress::deleteFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    fs::remove(file->path);
    std::erase_if(inside_.files, [&](const File& other) { return &other == file; });
    return true;
}

bool Stress::makeDirectories() {
    if (inside_.directories.size() + 3 > MOST_DIRECTORIES) return false;
    fs::path path = someDirectory(inside_);
    for (std::size_t depth = 1 + pick(3); depth > 0; --depth) {
        path /= newName();
        inside_.directories.push_back(path);
    }
    fs::create_directories(path);
    return true;
}

bool Stress::makeDirectoriesAndFile() {
    if (inside_.files.size() >= MOST_FILES || !makeDirectories()) return false;
    fs::path path = inside_.directories.back() / newName();
    writeFile(path);
    inside_.files.push_back({path, Clock::now(), false});
    return true;
}

bool Stress::renameDirectory() {
    if (inside_.directories.size() < 2) return false;
    fs::path top = inside_.directories[1 + pick(inside_.directories.size() - 1)];
    fs::path parent = someDirectory(inside_);
    if (within(parent, top)) return false;
    fs::path to = parent / newName();
    fs::rename(top, to);
    transfer(top, inside_, to, inside_);
    return true;
}

bool Stress::deleteDirectory() {
    if (inside_.directories.size() < 2) return false;
    fs::path top = inside_.directories[1 + pick(inside_.directories.size() - 1)];
    fs::remove_all(top);
    std::erase_if(inside_.directories, [&](const fs::path& path) { return within(path, top); });
    std::erase_if(inside_.files, [&](const File& file) { return within(file.path, top); });
    return true;
}

bool Stress::moveSubtreeIn() {
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

bool Stress::linkOutward() {
    if (links_++ >= MOST_LINKS) return false;
    fs::create_directory_symlink(someDirectory(outside_), someDirectory(inside_) / newName());
    return true;
}

bool Stress::changePermissions() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    EXPECT_EQ(chmod(file->path.c_str(), chance(50) ? 0600 : 0644), 0);
    return true;
}

bool Stress::changeOwner() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    EXPECT_EQ(chown(file->path.c_str(), getuid(), getgid()), 0);
    return true;
}

bool Stress::setExtendedAttribute() {
    File* file = someSettledFile();
    return file != nullptr && setxattr(file->path.c_str(), "user.stress", "1", 1, 0) == 0;
}

bool Stress::touchAccessTime() {
    File* file = someSettledFile();
    if (file == nullptr) return false;
    const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    EXPECT_EQ(utimensat(AT_FDCWD, file->path.c_str(), times, 0), 0);
    file->timesEqual = true;
    return true;
}

bool Stress::readFile() {
    File* file = someFile(inside_);
    if (file == nullptr) return false;
    std::ifstream in(file->path);
    std::string content;
    in >> content;
    file->timesEqual = true;
    return true;
}

bool Stress::writeOutside() {
    File* file = someFile(outside_);
    if (file != nullptr && chance(50)) {
        test_support::appendToFile(file->path);
        return true;
    }
    if (outside_.files.size() >= MOST_FILES) return false;
    fs::path path = someDirectory(outside_) / newName();
    writeFile(path);
    outside_.files.push_back({path, Clock::now(), false});
    return true;
}

bool Stress::makeDirectoryOutside() {
    if (outside_.directories.size() >= MOST_DIRECTORIES) return false;
    fs::path path = someDirectory(outside_) / newName();
    fs::create_directory(path);
    outside_.directories.push_back(path);
    return true;
}

struct Variant {
    const char* name;
    bool faulty;
};

void PrintTo(const Variant& variant, std::ostream* out) {
    *out << variant.name;
}

class ChangeStressTest : public WatchTest, public ::testing::WithParamInterface<Variant> {};

TEST_P(ChangeStressTest, EveryChangeInTheFilterWakesAndNothingElseDoes) {
    std::uint64_t seed = fromEnvironment("WINDOWSFSCM_STRESS_SEED", std::random_device()());
    auto seconds = std::chrono::seconds(fromEnvironment("WINDOWSFSCM_STRESS_SECONDS", 3));
    SCOPED_TRACE("replay with WINDOWSFSCM_STRESS_SEED=" + std::to_string(seed));

    Stress stress(tree.path(), outside.path(), waiter, seed, GetParam().faulty);
    startOn(tree.path());
    EXPECT_TRUE(stress.run(Clock::now() + seconds));

    const Figures& figures = stress.figures();
    std::printf(
        "[ stress   ] %s: seed %llu, %lu cycles, %lu changes in the filter and %lu outside it, "
        "%lu wakes, %lu missed, %lu faults injected\n",
        GetParam().name, static_cast<unsigned long long>(seed), figures.cycles, figures.inFilter,
        figures.quiet, figures.wakes, figures.missed, figures.faults);
}

INSTANTIATE_TEST_SUITE_P(Variants, ChangeStressTest,
                         ::testing::Values(Variant{"Plain", false}, Variant{"Faulty", true}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
