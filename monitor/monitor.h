// The one directory-tree watch of the process.
//
// Calling order: startWatch; then waitForChange on one thread, again and again, each return
// meaning that something in the tree changed or that a stop was requested; requestStop from
// another thread ends the watch, and the wait it wakes (or else the next one) releases it.
// A new watch begins with a new startWatch.
#pragma once

// Starts watching `path` and every directory below it. Returns whether the watch is open.
// The path is not kept. A watch still open from before is released first; calling this while
// another thread is blocked in waitForChange is a caller error.
bool startWatch(const char* path);

// Blocks until something in the tree is created, deleted, renamed or written, or a stop is
// requested. When the stop is what it finds, the watch is released before it returns. With no
// watch open it returns at once.
void waitForChange();

// Requests the stop from a thread other than the waiter and wakes a blocked wait. Further stops
// for the same watch, and stops with no watch open, do nothing.
void requestStop();
