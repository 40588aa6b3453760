// Tests windowsfscm.dll as the JVM uses it: loaded by LoadLibrary, its functions found by name
// and called as JNICALL (__stdcall on 32-bit Windows), a watcher thread blocked in the wait and
// another thread stopping it; and several copies of it loaded at once, a watch each. Takes an empty
// folder for the directories it watches. Prints a line per check and exits with 0 when every check
// passed.
#include <windows.h>

#include <cstdio>

#include "tests/windows/checks.h"
#include "tests/windows/platform_probe.h"
#include "tests/windows/report.h"

namespace {

// A wait that never returns must fail the run, not hang it.
constexpr DWORD ALL_CHECKS_WITHIN_MS = 240000;

DWORD WINAPI failWhenOverdue(LPVOID) {
    Sleep(ALL_CHECKS_WITHIN_MS);
    std::printf("FAIL - the checks did not finish within %lu s: a wait hung\n",
                ALL_CHECKS_WITHIN_MS / 1000);
    std::fflush(stdout);
    ExitProcess(2);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: windowsfscm_dll_test EMPTY-FOLDER\n");
        return 2;
    }
    const std::wstring root = argv[1];
    CloseHandle(CreateThread(nullptr, 0, &failWhenOverdue, nullptr, 0, nullptr));

    Library library;
    if (loadLibrary(&library)) {
#ifdef __i386__
        checkStackPops(library, root);
#endif
        checkMissingDirectory(library, root);
        Watcher watcher(library);
        checkChangesWakeTheWait(library, watcher, root);
        checkChangesBeforeAndBetweenWaits(library, watcher, root,
                                          platformKeepsChangesBeforeRearm(root));
        checkStopAndRestart(library, watcher, root);
        checkNonAsciiDirectory(library, watcher, root);
        checkLongPaths(library, watcher, root);
        checkWatchOnItsOwnThread(library, watcher, root);
        checkOpenerThatEnds(library, watcher, root);
        checkCopiesWatchApart(root, CopyNames::Alike);
        checkCopiesWatchApart(root, CopyNames::Apart);
        notePreexistingSubdirectory(library, watcher, root);
    }
    return summarize();
}
