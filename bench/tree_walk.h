// The floor's walk: every directory below a root gets an inotify watch before it is listed,
// found by the library's own listing reader (getdents64) with one path buffer and nothing else
// kept.
#pragma once

#include <string>

namespace bench {

// The events every watcher in the benchmarks asks for: names, writes and attributes.
unsigned floorWatchMask();

// Watches every directory below `root` (not the root itself) on one thread.
bool watchBelow(int inotifyFd, const std::string& root);

// The same walk shared by `threads` threads taking directories from one work list: an answer to
// whether a second core makes setup faster.
bool watchBelowInParallel(int inotifyFd, const std::string& root, int threads);

}  // namespace bench
