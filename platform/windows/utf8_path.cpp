#include "platform/windows/kernel.h"

namespace {

// UTF-8 never takes fewer bytes than UTF-16 takes units, so this holds every path of up to 4095
// bytes, the most that the JNI layer hands over, with its terminating NUL.
constexpr int WIDE_PATH_CAPACITY = 4096;

}  // namespace

HANDLE findFirstChangeNotificationUtf8(LPCSTR utf8Path, BOOL watchSubtree, DWORD filter) {
    WCHAR widePath[WIDE_PATH_CAPACITY];
    // -1: the NUL is converted too. MB_ERR_INVALID_CHARS refuses malformed input instead of
    // replacing it, which could name another directory.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path, -1, widePath,
                            WIDE_PATH_CAPACITY) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return FindFirstChangeNotificationW(widePath, watchSubtree, filter);
}
