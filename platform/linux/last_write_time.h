// Tells a file's last-write time being set apart from its permissions, owner or extended
// attributes changing: inotify reports all of them as IN_ATTRIB, and only the first belongs to
// the watch's filter.
#pragma once

namespace kernel_stand_in {

// Judges the file (or directory) at `path`, not following a final link, by its times as they
// are now, since no earlier times are kept:
// - mtime equal to ctime: the last-write time was set to the current time (touch, utimensat
//   with UTIME_NOW), which sets both at once. A permission or owner change moves only ctime.
// - atime equal to mtime, and mtime unequal to the birth time: both times were set to one
//   explicit value (touch -d, touch -t). A file created, written and never read also has
//   atime equal to mtime, but equal to its birth time as well, so a permission change on it
//   stays quiet. Filesystems that report no birth time, and kernels before 4.11 (no statx),
//   skip this rule.
// Limits: a permission change counts as a change (one wake too many) within the same clock
// tick as the last write, or on a file whose times a `touch` set and nothing has read since;
// so does an extended attribute set to the value it already has, on a file whose attributes
// have not changed since its last write (ext4 then leaves the change time as it was).
// Not recognised (no wake): times set explicitly to two different values (touch -r, rsync -t),
// and `touch -m` followed by a permission change before this check runs.
// A file gone by the time of the check is not a change here: its removal is reported on its own.
// When the file cannot be examined the result is false and errno says why.
bool lastWriteTimeWasSet(const char* path);

}  // namespace kernel_stand_in
