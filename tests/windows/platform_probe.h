// What the platform under the DLL does with a change made after a change notification fired and
// before it is re-armed. Windows keeps it, so the wait after the re-arm returns at once; Wine
// loses it. Found with the kernel's own functions, without the DLL.
#pragma once

#include <string>

// Whether such a change satisfies the next wait. Uses a fresh directory below `root`.
bool platformKeepsChangesBeforeRearm(const std::wstring& root);
