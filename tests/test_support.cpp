#include "tests/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "monitor/monitor.h"
#include "platform/linux/system_calls.h"
#include "platform/linux/walk_crew.h"

namespace test_support {

namespace {

// WINDOWSFSCM_TEST_WALK_THREADS=N shares every walk among N threads, brought in from the first
// directory found on, so that the same tests check the walk on many threads.
unsigned chooseWalkThreads() {
    const char* threads = std::getenv("WINDOWSFSCM_TEST_WALK_THREADS");
    if (threads == nullptr) return 0;
    unsigned chosen = std::stoul(threads);
    kernel_stand_in::WalkCrew::setThreadsForTests(chosen, 1);
    return chosen;
}

const unsigned walkThreadsChosen = chooseWalkThreads();

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "windowsfscm-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // Tests may leave directories without permissions behind.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

void appendToFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << content;
    if (!out) throw std::runtime_error("cannot append to " + path.string());
}

int makeTree(const fs::path& top, int depth, int fanout) {
    fs::create_directories(top);
    writeFile(top / "file");
    if (depth == 0) return 0;
    int made = 0;
    for (int i = 0; i < fanout; ++i) {
        made += 1 + makeTree(top / ("d" + std::to_string(i)), depth - 1, fanout);
    }
    return made;
}

int countDirectories(const fs::path& top) {
    int count = 1;
    for (const auto& entry : fs::recursive_directory_iterator(top)) {
        if (entry.is_directory() && !entry.is_symlink()) ++count;
    }
    return count;
}

int openDescriptorCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

int threadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

int threadCountSettledTo(int expected) {
    for (int attempt = 0;; ++attempt) {
        int count = threadCount();
        if (count <= expected || attempt == 10000) return count;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

SharedWalks::SharedWalks(unsigned threads, unsigned directoriesPerThread) {
    kernel_stand_in::WalkCrew::setThreadsForTests(threads, directoriesPerThread);
}

SharedWalks::~SharedWalks() {
    kernel_stand_in::WalkCrew::setThreadsForTests(walkThreadsChosen,
                                                  walkThreadsChosen != 0 ? 1 : 0);
}

int inotifyWatchCount() {
    int watches = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored).string() != "anon_inode:inotify") continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string line;
        while (std::getline(info, line)) {
            if (line.rfind("inotify wd:", 0) == 0) ++watches;
        }
    }
    return watches;
}

int inotifyQueuedBytes() {
    int queued = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        if (fs::read_symlink(entry.path(), ignored).string() != "anon_inode:inotify") continue;
        int bytes = 0;
        if (ioctl(std::stoi(entry.path().filename().string()), FIONREAD, &bytes) == 0) {
            queued += bytes;
        }
    }
    return queued;
}

bool heapIsCounted() {
#if defined(__GLIBC__)
    return true;
#else
    return false;
#endif
}

std::size_t heapBytesInUse() {
#if defined(__GLIBC__)
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

namespace {
constexpr int NOBODY = 65534;
}  // namespace

UnprivilegedFileAccess::UnprivilegedFileAccess()
    : previousUser_(0), previousGroup_(setfsgid(NOBODY)) {
    previousUser_ = setfsuid(NOBODY);
}

UnprivilegedFileAccess::~UnprivilegedFileAccess() {
    setfsuid(previousUser_);
    setfsgid(previousGroup_);
}

namespace {

// The system call a thread is blocked in, as the kernel shows it: its number and first arguments.
struct BlockedCall {
    long call = -1;
    std::string first;
    std::string second;
    std::string third;

    // False while the thread runs, or when it has ended.
    bool readFor(int threadId) {
        std::ifstream state("/proc/self/task/" + std::to_string(threadId) + "/syscall");
        return static_cast<bool>(state >> call >> first >> second >> third);
    }
};

// What the kernel shows for a thread asleep in poll with no time-out: the call's number and its
// third argument (poll's time-out, or ppoll's pointer to one). Learnt from a thread put to sleep
// so, because it is not the same everywhere: arm64 has no poll (libc makes ppoll), and under
// user-mode emulation the kernel shows the emulator's own call, made for the program's.
BlockedCall learnPollSleep() {
    // A count of descriptors that tells this poll from any other call the sleeper blocks in.
    constexpr nfds_t MARK = 3;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
    std::atomic<int> sleeperId{0};
    std::thread sleeper([&sleeperId, readEnd = ends[0]] {
        sleeperId.store(static_cast<int>(gettid()));
        pollfd fds[MARK] = {{readEnd, POLLIN, 0}, {readEnd, POLLIN, 0}, {readEnd, POLLIN, 0}};
        poll(fds, MARK, -1);
    });
    BlockedCall seen;
    auto giveUp = std::chrono::steady_clock::now() + RETURNS_WITHIN;
    bool learnt = false;
    while (!learnt && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        int id = sleeperId.load();
        learnt = id != 0 && seen.readFor(id) && std::stoul(seen.second, nullptr, 16) == MARK;
    }
    [[maybe_unused]] ssize_t woken = write(ends[1], "x", 1);
    sleeper.join();
    close(ends[0]);
    close(ends[1]);
    if (!learnt) throw std::runtime_error("a thread put to sleep in poll never showed asleep");
    return seen;
}

}  // namespace

bool sleepsInPoll(int threadId) {
    static const BlockedCall pollSleep = learnPollSleep();
    BlockedCall now;
    return now.readFor(threadId) && now.call == pollSleep.call && now.third == pollSleep.third;
}

bool cannotRead(const fs::path& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno == EACCES;
    close(fd);
    return false;
}

Waiter::Waiter() : Waiter(waitForChange, requestStop) {}

Waiter::Waiter(std::function<void()> wait, std::function<void()> stop)
    : wait_(std::move(wait)), stop_(std::move(stop)), thread_([this] { run(); }) {}

Waiter::~Waiter() {
    if (!idle()) stop_();
    {
        std::lock_guard<std::mutex> hold(lock_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void Waiter::run() {
    threadId_.store(static_cast<int>(gettid()));
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return quit_ || requested_ > completed_; });
        if (requested_ == completed_) return;
        hold.unlock();
        wait_();
        hold.lock();
        ++completed_;
        changed_.notify_all();
    }
}

void Waiter::beginWait() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++requested_;
    }
    changed_.notify_all();
}

bool Waiter::idle() {
    std::lock_guard<std::mutex> hold(lock_);
    return completed_ == requested_;
}

bool Waiter::returnsWithin(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, limit, [this] { return completed_ == requested_; });
}

void Waiter::settle(std::chrono::milliseconds quiet) {
    do {
        beginWait();
    } while (returnsWithin(quiet));
}

std::chrono::nanoseconds Waiter::cpuTime() {
    clockid_t clock;
    timespec used{};
    if (pthread_getcpuclockid(thread_.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &used) != 0) {
        throw std::runtime_error("cannot read the waiter's CPU time");
    }
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

bool Waiter::blocksWithNothingPending() {
    auto giveUp = std::chrono::steady_clock::now() + RETURNS_WITHIN;
    while (std::chrono::steady_clock::now() < giveUp) {
        if (idle()) return false;
        // Asleep before and after finding the queue empty: whatever was queued before has been
        // read and judged no change, or the wait would have returned instead of sleeping again.
        int thread = threadId_.load();
        if (sleepsInPoll(thread) && inotifyQueuedBytes() == 0 && sleepsInPoll(thread) && !idle()) {
            return true;
        }
        std::this_thread::sleep_for(50us);
    }
    throw std::runtime_error("the wait neither returned nor went to sleep");
}

void WatchTest::SetUp() {
    descriptorsBefore_ = openDescriptorCount();
}

void WatchTest::TearDown() {
    endWatch();
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore_);
    EXPECT_EQ(inotifyWatchCount(), 0);
    EXPECT_EQ(kernel_stand_in::sys::heldAllocations(), 0);
}

void WatchTest::startOn(const fs::path& directory) {
    ASSERT_TRUE(startWatch(directory.c_str())) << directory;
}

void WatchTest::endWatch() {
    requestStop();
    if (waiter.idle()) waiter.beginWait();
    EXPECT_TRUE(waiter.returns()) << "the stop did not end the wait";
}

unsigned WatchTest::startWithEachAllocationRefused(int directories, unsigned mostAllocations) {
    namespace sys = kernel_stand_in::sys;
    int descriptors = openDescriptorCount();
    unsigned failedStarts = 0;
    for (unsigned nth = 1;; ++nth) {
        EXPECT_LT(nth, mostAllocations) << "a start kept allocating";
        if (nth >= mostAllocations) return failedStarts;
        unsigned injectedBefore = sys::injectedFailureCount();
        sys::failCalls(sys::Call::Allocate, nth, 1, ENOMEM);
        bool started = startWatch(tree.path().c_str());
        bool refused = sys::injectedFailureCount() == injectedBefore + 1;
        sys::clearInjectedFailures();
        if (started) {
            EXPECT_EQ(inotifyWatchCount(), directories) << "allocation " << nth;
            endWatch();
        } else {
            ++failedStarts;
            EXPECT_EQ(openDescriptorCount(), descriptors) << "allocation " << nth;
            EXPECT_EQ(inotifyWatchCount(), 0) << "allocation " << nth;
            EXPECT_EQ(sys::heldAllocations(), 0) << "allocation " << nth;
        }
        if (!refused) return failedStarts;
    }
}

void expectStayBlockedWithoutSpinning(const std::vector<Waiter*>& waiters) {
    std::vector<std::chrono::nanoseconds> cpuBefore;
    cpuBefore.reserve(waiters.size());
    for (Waiter* waiter : waiters)
        cpuBefore.push_back(waiter->cpuTime());
    std::this_thread::sleep_for(STAYS_BLOCKED_FOR);
    for (std::size_t index = 0; index < waiters.size(); ++index) {
        EXPECT_FALSE(waiters[index]->idle()) << "wait " << index << " of those watched returned";
        EXPECT_LT(waiters[index]->cpuTime() - cpuBefore[index], STAYS_BLOCKED_FOR / 3)
            << "wait " << index << " of those watched";
    }
}

void WatchTest::expectStaysBlockedWithoutSpinning() {
    expectStayBlockedWithoutSpinning({&waiter});
}

}  // namespace test_support
