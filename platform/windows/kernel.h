// The Windows kernel services as the monitor uses them, with one change: a directory path is
// taken as UTF-8 and reaches the kernel as UTF-16, so names outside the ANSI code page can be
// watched. The JNI layer hands over UTF-8; the ANSI entry point would read those bytes in the
// machine's code page and miss any directory whose name is not ASCII. For an ASCII path the two
// entry points behave alike.
#pragma once

#include <windows.h>

// Opens a change notification on `utf8Path`, converted to UTF-16 on the stack. Fails with
// INVALID_HANDLE_VALUE when the path is not valid UTF-8 or is longer than any path that the
// JNI layer can hand over.
HANDLE findFirstChangeNotificationUtf8(LPCSTR utf8Path, BOOL watchSubtree, DWORD filter);

#define FindFirstChangeNotificationA findFirstChangeNotificationUtf8
