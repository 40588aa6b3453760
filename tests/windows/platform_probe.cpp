#include "tests/windows/platform_probe.h"

#include <windows.h>

#include "tests/windows/scratch.h"

namespace {

constexpr DWORD FILTER =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE;
// Generous: a change that is kept is reported at once.
constexpr DWORD KEPT_CHANGE_WITHIN_MS = 5000;
// Lets the kernel see the change before the re-arm.
constexpr DWORD CHANGE_SETTLES_MS = 200;

}  // namespace

bool platformKeepsChangesBeforeRearm(const std::wstring& root) {
    const std::wstring tree = root + L"\\probe";
    makeDirectory(tree);
    HANDLE notification = FindFirstChangeNotificationW(tree.c_str(), TRUE, FILTER);
    if (notification == INVALID_HANDLE_VALUE) return false;
    makeDirectory(tree + L"\\first");
    bool kept = false;
    if (WaitForSingleObject(notification, KEPT_CHANGE_WITHIN_MS) == WAIT_OBJECT_0) {
        makeDirectory(tree + L"\\before-rearm");
        Sleep(CHANGE_SETTLES_MS);
        FindNextChangeNotification(notification);
        kept = WaitForSingleObject(notification, KEPT_CHANGE_WITHIN_MS) == WAIT_OBJECT_0;
    }
    FindCloseChangeNotification(notification);
    return kept;
}
