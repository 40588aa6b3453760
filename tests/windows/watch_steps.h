// The steps the checks drive a watch with, as the JVM's threads would take them: a start with a
// directory's name, a stop from another thread, and waits begun on the watcher thread. A wait
// that must return may take long (the checks may run under emulation); none is timed.
#pragma once

#include <string>
#include <vector>

#include "tests/windows/library.h"
#include "tests/windows/watcher.h"

// nativeInit with the directory's name in the JVM's modified UTF-8; checks that the characters
// were taken once and given back once, as they were handed out.
bool start(const Library& library, const std::wstring& directory);
void stop(const Library& library);

// Whether the wait begun last returns.
bool returns(Watcher& watcher);
// Begins the next wait and tells whether it blocks.
bool nextWaitBlocks(Watcher& watcher);
// After a change has been reported, begins waits until one blocks. The kernel may report one
// change more than once (a write, then the file's close), so a wait or two may return first; a
// notification that is never re-armed makes every wait return.
bool laterWaitBlocks(Watcher& watcher);
// Several watches at once, each with its own watcher whose wait was begun: whether every one of
// those waits stays blocked, all watched over the same while.
bool allStayBlocked(const std::vector<Watcher*>& watchers);
// laterWaitBlocks for each of several watchers, all watched over the same while.
bool allLaterWaitsBlock(const std::vector<Watcher*>& watchers);

// Stops the watch and lets a wait consume the stop, whether one is blocked or not.
void endWatch(const Library& library, Watcher& watcher);
