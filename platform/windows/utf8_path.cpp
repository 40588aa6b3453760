#include "platform/windows/kernel.h"
#include "platform/windows/long_path.h"

namespace {

std::size_t fullPathName(const WCHAR* path, std::size_t capacity, WCHAR* full) {
    return GetFullPathNameW(path, static_cast<DWORD>(capacity), full, nullptr);
}

}  // namespace

HANDLE findFirstChangeNotificationUtf8(LPCSTR utf8Path, BOOL watchSubtree, DWORD filter) {
    // -1: the NUL is converted too. MB_ERR_INVALID_CHARS refuses malformed input instead of
    // replacing it, which could name another directory.
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, nullptr, 0);
    if (units == 0 || static_cast<std::size_t>(units) > LONGEST_PATH_UNITS + 1) {
        return INVALID_HANDLE_VALUE;
    }
    auto* widePath = static_cast<WCHAR*>(__builtin_alloca(units * sizeof(WCHAR)));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, widePath, units) !=
        units) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE notification = INVALID_HANDLE_VALUE;
    long_path::withKernelPath(
        widePath, units - 1, LONGEST_PATH_UNITS, fullPathName, [&](const WCHAR* kernelPath) {
            notification = FindFirstChangeNotificationW(kernelPath, watchSubtree, filter);
        });
    return notification;
}
