#include "platform/linux/last_write_time.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace kernel_stand_in {
namespace {

bool sameTime(const statx_timestamp& a, const statx_timestamp& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

bool lastWriteTimeWasSet(const char* path) {
    struct statx times;
    unsigned wanted = STATX_ATIME | STATX_MTIME | STATX_CTIME | STATX_BTIME;
    if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, wanted, &times) != 0) {
        return false;
    }
    if (sameTime(times.stx_mtime, times.stx_ctime)) return true;
    return (times.stx_mask & STATX_BTIME) != 0 && sameTime(times.stx_atime, times.stx_mtime) &&
           !sameTime(times.stx_mtime, times.stx_btime);
}

}  // namespace kernel_stand_in
