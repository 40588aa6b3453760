// Every system call and every allocation the layer makes goes through these wrappers, so a test
// can make the Nth call of a kind fail with a chosen error, without root privileges or real
// resource exhaustion, or make calls slow to widen a race.
// EINTR is retried here, after the injection point, so an injected EINTR exercises the retry.
// The status calls are made as raw system calls: glibc's own wrappers for them carry symbol
// versions newer than the oldest glibc the library must load on.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/linux/statx.h"

namespace kernel_stand_in::sys {

enum class Call : unsigned {
    InotifyInit,
    AddWatch,
    EventFd,
    Read,
    Poll,
    OpenDirectory,
    ReadDirectory,
    Status,
    FileTimes,
    ResolvePath,
    Allocate,
    SetEvent,
    StartThread,
    Processors,
    WorkingDirectory,
    Count
};

int inotifyInit();
int addWatch(int inotifyFd, const char* path, std::uint32_t mask);
void removeWatch(int inotifyFd, int watch);
int eventFd(bool initiallySet);
void signalEventFd(int fd);
ssize_t read(int fd, void* buffer, std::size_t size);
int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds);
// Opens a directory for listing; `followLink` is false below the root so links are never entered.
int openDirectory(const char* path, bool followLink);
// Opens the directory `name` in the open directory `directoryFd` for listing, never through a
// symbolic link.
int openDirectoryAt(int directoryFd, const char* name);
// Reads raw directory entries (linux_dirent64); 0 at the end.
ssize_t readDirectory(int directoryFd, void* buffer, std::size_t size);
void close(int fd);
// The status of `path`, relative to `directoryFd` (AT_FDCWD: the working directory); a final
// symbolic link is followed only when `followLink`.
int statusAt(int directoryFd, const char* path, bool followLink, struct stat* status);
// The `wanted` times (STATX_ATIME, ...) of `path`, not following a final link, as the kernel has
// them cached. Fails with ENOSYS on kernels before 4.11, which have no statx.
int fileTimes(const char* path, unsigned wanted, struct statx* times);
// Writes the absolute path of `path`, with no symbolic link or "." or ".." in it, to `resolved`
// (PATH_MAX bytes). False with errno set when it cannot.
bool resolvePath(const char* path, char* resolved);

// Runs `run(argument)` on a new thread, which blocks the signals a fault does not raise. False,
// with errno set, when no thread can be made.
bool startThread(pthread_t* thread, void* (*run)(void*), void* argument);
// Waits for a thread started by startThread to end.
void joinThread(pthread_t thread);
// Gives the calling thread a working directory of its own, apart from the process's; false when it
// cannot.
bool ownWorkingDirectory();
// Makes the open directory `directoryFd` the calling thread's working directory.
bool changeDirectory(int directoryFd);
// How many processors the calling thread may run on; 0 when that cannot be told.
unsigned usableProcessors();

// Memory, as malloc, calloc, realloc and free; nullptr when there is none.
void* allocate(std::size_t bytes);
void* allocateZeroed(std::size_t count, std::size_t size);
void* reallocate(void* block, std::size_t bytes);
void deallocate(void* block);

// Makes `count` calls of `call` fail with `error`, starting with the `nth` call from now (1 is the
// next one). For tests.
void failCalls(Call call, unsigned nth, unsigned count, int error);
// Makes every call of `call` pause first, to widen races between threads. For tests.
void slowCalls(Call call, unsigned microseconds);
// The pause set by slowCalls, where a call that is not a system call of its own begins.
void pauseIfSlowed(Call call);
void clearInjectedFailures();
// How many calls have failed by injection so far.
unsigned injectedFailureCount();
// How many blocks of memory the layer holds: allocated and not yet given back. For tests.
long heldAllocations();

}  // namespace kernel_stand_in::sys
