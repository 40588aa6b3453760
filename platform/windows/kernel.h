// The Windows kernel services as the monitor uses them, with one change: a directory path is
// taken as UTF-8 and reaches the kernel as UTF-16, so names outside the ANSI code page can be
// watched. The JNI layer hands over UTF-8; the ANSI entry point would read those bytes in the
// machine's code page and miss any directory whose name is not ASCII. For an ASCII path the two
// entry points behave alike.
#pragma once

#include <windows.h>

#include <cstddef>

// The longest path the kernel takes, in UTF-16 units without the NUL: it counts a path's length
// in bytes in 16 bits.
constexpr std::size_t LONGEST_PATH_UNITS = 32767;

// The same in bytes of UTF-8, with the terminating NUL: a UTF-16 unit takes at most three bytes
// (a surrogate pair, two units, takes four).
constexpr std::size_t LONGEST_PATH_BYTES = 3 * LONGEST_PATH_UNITS + 1;

// Opens a change notification on `utf8Path`. Fails with INVALID_HANDLE_VALUE when the path is
// not valid UTF-8 or is longer than the kernel takes. A path too long for MAX_PATH reaches the
// kernel in its full form with the \\?\ prefix (long_path.h), so any path that Java can name can
// be watched.
//
// The path is converted on the calling thread's stack: two bytes per UTF-16 unit, and a long path
// as much again for its full form. At most 128 KiB, for a path of 32,767 units; with the JNI
// layer's UTF-8 copy a start takes at most 224 KiB, for 32,767 units outside ASCII. The Windows
// test program checks that this fits in what a 32-bit JVM's thread (320 KiB) leaves a native call.
HANDLE findFirstChangeNotificationUtf8(LPCSTR utf8Path, BOOL watchSubtree, DWORD filter);

#define FindFirstChangeNotificationA findFirstChangeNotificationUtf8
