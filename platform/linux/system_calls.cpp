#include "platform/linux/system_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/linux/oldest_thread_symbols.h"

namespace kernel_stand_in::sys {
namespace {

constexpr unsigned CALL_KINDS = static_cast<unsigned>(Call::Count);

struct InjectedFailure {
    std::atomic<unsigned> skipBeforeFirst{0};
    std::atomic<unsigned> remaining{0};
    std::atomic<int> error{0};
    std::atomic<unsigned> pauseMicroseconds{0};
};

InjectedFailure injected[CALL_KINDS];
std::atomic<unsigned> failuresInjected{0};
// Kept apart so the normal path costs one relaxed load.
std::atomic<bool> anyInjected{false};
std::atomic<long> blocksHeld{0};

bool injectFailure(Call call) {
    if (!anyInjected.load(std::memory_order_relaxed)) return false;
    pauseIfSlowed(call);
    InjectedFailure& plan = injected[static_cast<unsigned>(call)];
    if (plan.remaining.load(std::memory_order_acquire) == 0) return false;
    unsigned skip = plan.skipBeforeFirst.load(std::memory_order_acquire);
    while (skip > 0) {
        if (plan.skipBeforeFirst.compare_exchange_weak(skip, skip - 1)) return false;
    }
    // Another thread may take the last planned failure before this one does.
    unsigned left = plan.remaining.load(std::memory_order_acquire);
    while (left > 0 && !plan.remaining.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) return false;
    failuresInjected.fetch_add(1, std::memory_order_relaxed);
    errno = plan.error.load(std::memory_order_relaxed);
    return true;
}

void* countHeld(void* block) {
    if (block != nullptr) blocksHeld.fetch_add(1, std::memory_order_relaxed);
    return block;
}

template <typename Operation>
auto retryInterrupted(Call call, Operation operation) -> decltype(operation()) {
    for (;;) {
        decltype(operation()) result = injectFailure(call) ? -1 : operation();
        if (result >= 0 || errno != EINTR) return result;
    }
}

}  // namespace

int inotifyInit() {
    if (injectFailure(Call::InotifyInit)) return -1;
    return inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

int addWatch(int inotifyFd, const char* path, std::uint32_t mask) {
    if (injectFailure(Call::AddWatch)) return -1;
    return inotify_add_watch(inotifyFd, path, mask);
}

void removeWatch(int inotifyFd, int watch) {
    inotify_rm_watch(inotifyFd, watch);
}

int eventFd(bool initiallySet) {
    if (injectFailure(Call::EventFd)) return -1;
    return eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void signalEventFd(int fd) {
    // The counter only matters as zero or not; a full counter (EAGAIN) is still signalled.
    std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

ssize_t read(int fd, void* buffer, std::size_t size) {
    return retryInterrupted(Call::Read, [&] { return ::read(fd, buffer, size); });
}

int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) {
    return retryInterrupted(Call::Poll, [&] { return ::poll(fds, count, timeoutMilliseconds); });
}

int openDirectory(const char* path, bool followLink) {
    int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    return retryInterrupted(Call::OpenDirectory, [&] { return ::open(path, flags); });
}

int openDirectoryAt(int directoryFd, const char* name) {
    constexpr int FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    return retryInterrupted(Call::OpenDirectory,
                            [&] { return ::openat(directoryFd, name, FLAGS); });
}

ssize_t readDirectory(int directoryFd, void* buffer, std::size_t size) {
    return retryInterrupted(Call::ReadDirectory, [&] {
        return static_cast<ssize_t>(::syscall(SYS_getdents64, directoryFd, buffer, size));
    });
}

void close(int fd) {
    ::close(fd);
}

// On 64-bit machines struct stat is the kernel's own layout, which newfstatat fills directly. The
// 32-bit ones have fstatat64 instead, which fills the kernel's struct stat64: glibc's struct stat
// takes that layout when built with 64-bit file offsets, as the 32-bit builds are.
#if defined(SYS_newfstatat)
constexpr long STATUS_AT = SYS_newfstatat;
#else
static_assert(sizeof(off_t) == 8, "32-bit builds take 64-bit file offsets (_FILE_OFFSET_BITS)");
constexpr long STATUS_AT = SYS_fstatat64;
#endif

int statusAt(int directoryFd, const char* path, bool followLink, struct stat* status) {
    int flags = followLink ? 0 : AT_SYMLINK_NOFOLLOW;
    return retryInterrupted(Call::Status, [&] {
        return static_cast<int>(::syscall(STATUS_AT, directoryFd, path, status, flags));
    });
}

int fileTimes(const char* path, unsigned wanted, struct statx* times) {
    int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC;
    return retryInterrupted(Call::FileTimes, [&] {
        return static_cast<int>(::syscall(SYS_statx, AT_FDCWD, path, flags, wanted, times));
    });
}

bool resolvePath(const char* path, char* resolved) {
    if (injectFailure(Call::ResolvePath)) return false;
    return ::realpath(path, resolved) != nullptr;
}

bool startThread(pthread_t* thread, void* (*run)(void*), void* argument) {
    if (injectFailure(Call::StartThread)) return false;
    // The new thread blocks every signal but those a fault raises: signals meant for the process
    // go to the application's own threads, never to a handler running on ours.
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
        sigdelset(&blocked, fault);
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    int error = pthread_create(thread, nullptr, run, argument);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return error == 0;
}

void joinThread(pthread_t thread) {
    pthread_join(thread, nullptr);
}

bool ownWorkingDirectory() {
    return !injectFailure(Call::WorkingDirectory) && ::unshare(CLONE_FS) == 0;
}

bool changeDirectory(int directoryFd) {
    return !injectFailure(Call::WorkingDirectory) && ::fchdir(directoryFd) == 0;
}

unsigned usableProcessors() {
    if (injectFailure(Call::Processors)) return 0;
    cpu_set_t processors;
    if (sched_getaffinity(0, sizeof processors, &processors) != 0) return 0;
    return static_cast<unsigned>(CPU_COUNT(&processors));
}

void* allocate(std::size_t bytes) {
    return countHeld(injectFailure(Call::Allocate) ? nullptr : std::malloc(bytes));
}

void* allocateZeroed(std::size_t count, std::size_t size) {
    return countHeld(injectFailure(Call::Allocate) ? nullptr : std::calloc(count, size));
}

void* reallocate(void* block, std::size_t bytes) {
    if (injectFailure(Call::Allocate)) return nullptr;
    void* moved = std::realloc(block, bytes);
    return block == nullptr ? countHeld(moved) : moved;
}

void deallocate(void* block) {
    if (block != nullptr) blocksHeld.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void failCalls(Call call, unsigned nth, unsigned count, int error) {
    InjectedFailure& plan = injected[static_cast<unsigned>(call)];
    plan.error.store(error, std::memory_order_relaxed);
    plan.skipBeforeFirst.store(nth > 0 ? nth - 1 : 0, std::memory_order_release);
    plan.remaining.store(count, std::memory_order_release);
    anyInjected.store(true, std::memory_order_release);
}

void slowCalls(Call call, unsigned microseconds) {
    injected[static_cast<unsigned>(call)].pauseMicroseconds.store(microseconds);
    anyInjected.store(true, std::memory_order_release);
}

void pauseIfSlowed(Call call) {
    if (!anyInjected.load(std::memory_order_relaxed)) return;
    unsigned pause = injected[static_cast<unsigned>(call)].pauseMicroseconds.load();
    if (pause > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause));
}

void clearInjectedFailures() {
    for (InjectedFailure& plan : injected) {
        plan.pauseMicroseconds.store(0);
        plan.remaining.store(0, std::memory_order_release);
        plan.skipBeforeFirst.store(0, std::memory_order_release);
    }
}

unsigned injectedFailureCount() {
    return failuresInjected.load(std::memory_order_relaxed);
}

long heldAllocations() {
    return blocksHeld.load(std::memory_order_relaxed);
}

}  // namespace kernel_stand_in::sys
