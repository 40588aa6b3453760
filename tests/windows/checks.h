// The checks of windowsfscm.dll, in the order the program runs them. `root` is an empty folder
// for their directories.
#pragma once

#include <string>

#include "tests/windows/library.h"
#include "tests/windows/watcher.h"

// The bytes each entry point pops (32-bit only, where calling conventions differ in that).
void checkStackPops(const Library& library, const std::wstring& root);
// What a start that fails does with the string.
void checkMissingDirectory(const Library& library, const std::wstring& root);

// Watches driven through the one long-lived watcher thread.
void checkChangesWakeTheWait(const Library& library, Watcher& watcher, const std::wstring& root);
// A change between two waits is checked only where the platform keeps it (see platform_probe.h).
void checkChangesBeforeAndBetweenWaits(const Library& library, Watcher& watcher,
                                       const std::wstring& root, bool platformKeepsChanges);
void checkStopAndRestart(const Library& library, Watcher& watcher, const std::wstring& root);
void checkNonAsciiDirectory(const Library& library, Watcher& watcher, const std::wstring& root);
// Paths longer than MAX_PATH, up to the longest the kernel takes, on a JVM thread's stack.
void checkLongPaths(const Library& library, Watcher& watcher, const std::wstring& root);

// Which thread the pending notification belongs to: a watch opened and waited on by the watcher
// thread never wakes for nothing; one whose opener ended before the first wait still watches from
// the next wait on, and what its first wait does is printed, not checked.
void checkWatchOnItsOwnThread(const Library& library, Watcher& watcher, const std::wstring& root);
void checkOpenerThatEnds(const Library& library, Watcher& watcher, const std::wstring& root);

// How the copies of the DLL are named, each in a folder of its own: all windowsfscm.dll, or each
// a name of its own.
enum class CopyNames { Alike, Apart };
// Eight copies of the DLL loaded at once, each a module of its own watching its own tree on its
// own thread; one freed while the others watch. Prints what the loader makes of a hard link.
void checkCopiesWatchApart(const std::wstring& root, CopyNames names);

// Changes inside a subdirectory that existed before the start: Windows reports them, Wine does
// not. Prints what happened and checks nothing.
void notePreexistingSubdirectory(const Library& library, Watcher& watcher,
                                 const std::wstring& root);
