// The kernel services the monitor is written against: Windows' own where they exist (taking
// paths as UTF-8), our inotify-based stand-ins elsewhere. Both offer the same names, types and
// constants.
#pragma once

#ifdef _WIN32
#include "platform/windows/kernel.h"
#else
#include "platform/linux/kernel.h"
#endif
