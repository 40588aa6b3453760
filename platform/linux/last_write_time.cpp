#include "platform/linux/last_write_time.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/linux/system_calls.h"

namespace kernel_stand_in {
namespace {

bool sameTime(const statx_timestamp& a, const statx_timestamp& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool lastWriteTimeWasSet(const char* path) {
    struct statx times;
    unsigned wanted = STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;
    if (sys::fileTimes(path, wanted, &times) == 0) {
        if (sameTime(times.stx_mtime, times.stx_ctime)) return true;
        return (times.stx_mask & STATX_BTIME) != 0 && sameTime(times.stx_atime, times.stx_mtime) &&
               !sameTime(times.stx_mtime, times.stx_btime);
    }
    if (errno != ENOSYS) return false;
    // A kernel without statx tells no birth time, as a filesystem without one does.
    struct stat status;
    if (sys::statusAt(AT_FDCWD, path, false, &status) != 0) return false;
    return sameTime(status.st_mtim, status.st_ctim);
}

}  // namespace kernel_stand_in
