// The few Windows kernel services the change monitor uses, provided on Linux.
//
// What it provides: manual-reset events (over eventfd), directory-tree change notifications
// (over inotify, one watch per directory) and a wait on several handles at once (over poll),
// under their Windows names and with the same types and constants, so the monitor's source is
// the same on both systems.
//
// What it promises, for the subset the monitor uses:
// - An event created with manual reset stays signalled from SetEvent until it is closed.
// - A change notification covers its root and every directory below it, including directories
//   that appear later; symbolic links are not followed below the root. It becomes signalled on
//   a file or directory being created, deleted or renamed and on a file's last-write time
//   changing, and stays signalled until FindNextChangeNotification re-arms it. Changes made
//   between a wait's return and the re-arm are kept: the next wait returns at once.
// - A wait blocks in the kernel with no polling while nothing relevant happens.
// - Every descriptor and byte taken for a handle is given back when the handle is closed.
// - A closed or unknown handle is rejected, never reused by mistake: handle values carry a
//   generation count.
// Closing a handle while another thread waits on it is a caller error, as on Windows.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPCSTR = const char*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Not constexpr on Windows either: it is an integer cast to a pointer.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

constexpr DWORD FILE_NOTIFY_CHANGE_FILE_NAME = 0x01;
constexpr DWORD FILE_NOTIFY_CHANGE_DIR_NAME = 0x02;
constexpr DWORD FILE_NOTIFY_CHANGE_LAST_WRITE = 0x10;

// The longest path FindFirstChangeNotificationA takes, in bytes with the terminating NUL: the
// longest that Linux opens.
constexpr std::size_t LONGEST_PATH_BYTES = PATH_MAX;

// Only manual-reset, unnamed events are provided; anything else fails with NULL.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL CloseHandle(HANDLE object);

// Only the filter bits above and a whole-subtree watch are provided; anything else fails with
// INVALID_HANDLE_VALUE, as does a path that is not a directory or a tree that cannot be fully
// watched (the inotify watch limit).
HANDLE FindFirstChangeNotificationA(LPCSTR path, BOOL watchSubtree, DWORD filter);
BOOL FindNextChangeNotification(HANDLE notification);
BOOL FindCloseChangeNotification(HANDLE notification);

// Only waits for any one handle with no time-out are provided (wait-all FALSE, INFINITE).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
