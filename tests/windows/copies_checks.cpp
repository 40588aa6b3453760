// Several copies of the DLL in one process, as the JVM loads one per watch: the loader keeps two
// files apart as two modules, each with its own watch, which only its own tree wakes and only its
// own stop ends. Each copy's watch is opened and waited on by its own long-lived thread.
#include <windows.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tests/windows/checks.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"
#include "tests/windows/watch_steps.h"

namespace {

constexpr int COPIES = 8;
// The longest path the kernel takes, in UTF-16 units.
constexpr std::size_t LONGEST_PATH_UNITS = 32767;

struct Copy {
    std::wstring file;
    std::wstring tree;
    HMODULE module = nullptr;
    Library library{};
    std::optional<Watcher> watcher;

    Copy() = default;
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;
    // The thread first: a wait still blocked (after a failed check) is stopped through the module.
    ~Copy() {
        watcher.reset();
        if (module != nullptr) FreeLibrary(module);
    }
};

using Copies = std::array<Copy, COPIES>;
using EachCopy = std::array<bool, COPIES>;

std::string number(int copy) {
    return std::to_string(copy + 1);
}

// One check over all copies: a failure names the copies it failed for. Returns whether it passed.
bool expectForEach(const EachCopy& held, const std::string& what) {
    std::string failedFor;
    for (int copy = 0; copy < COPIES; ++copy) {
        if (!held[copy])
            failedFor += (failedFor.empty() ? " (failed for copy " : ", ") + number(copy);
    }
    if (!failedFor.empty()) failedFor += ")";
    expect(failedFor.empty(), (what + failedFor).c_str());
    return failedFor.empty();
}

// The watchers of copies `first` to the last.
std::vector<Watcher*> watchersFrom(Copies& copies, int first) {
    std::vector<Watcher*> watchers;
    for (int copy = first; copy < COPIES; ++copy)
        watchers.push_back(&*copies[copy].watcher);
    return watchers;
}

bool sameFile(const std::wstring& one, const std::wstring& other) {
    return CompareStringOrdinal(one.c_str(), -1, other.c_str(), -1, TRUE) == CSTR_EQUAL;
}

HMODULE moduleAt(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        static_cast<LPCWSTR>(address), &module);
    return module;
}

bool functionsIn(const Library& library, HMODULE module) {
    return moduleAt(reinterpret_cast<const void*>(library.init)) == module &&
           moduleAt(reinterpret_cast<const void*>(library.stop)) == module &&
           moduleAt(reinterpret_cast<const void*>(library.waitForChange)) == module;
}

bool loadCopies(const std::wstring& folder, CopyNames names, Copies& copies,
                const std::string& label) {
    EachCopy loaded{};
    for (int copy = 0; copy < COPIES; ++copy) {
        const std::wstring own = folder + L"\\copy-" + std::to_wstring(copy + 1);
        makeDirectory(own);
        copies[copy].file = own + (names == CopyNames::Alike
                                       ? std::wstring(L"\\windowsfscm.dll")
                                       : L"\\windowsfscm-" + std::to_wstring(copy + 1) + L".dll");
        copyFile(libraryPath(), copies[copy].file);
        copies[copy].module = loadLibraryFile(copies[copy].file, &copies[copy].library);
        loaded[copy] = copies[copy].module != nullptr;
    }
    return expectForEach(loaded, label + ": LoadLibraryW loads each by its full path");
}

// False when the copies are not modules apart, which leaves nothing to check their watches by.
bool checkModulesApart(Copies& copies, const std::string& label) {
    const HMODULE first = GetModuleHandleW(libraryPath().c_str());
    EachCopy apart{};
    EachCopy fromItsFile{};
    EachCopy ownFunctions{};
    for (int copy = 0; copy < COPIES; ++copy) {
        apart[copy] = copies[copy].module != first;
        for (int other = 0; other < COPIES; ++other) {
            if (other != copy && copies[other].module == copies[copy].module) apart[copy] = false;
        }
        std::wstring loadedFrom(LONGEST_PATH_UNITS, L'\0');
        loadedFrom.resize(GetModuleFileNameW(copies[copy].module, loadedFrom.data(),
                                             static_cast<DWORD>(loadedFrom.size())));
        fromItsFile[copy] = sameFile(loadedFrom, copies[copy].file);
        ownFunctions[copy] = functionsIn(copies[copy].library, copies[copy].module);
    }
    const bool allApart =
        expectForEach(apart, label + ": each is a module of its own, none the DLL loaded first");
    expectForEach(fromItsFile, label + ": each module is mapped from its own copy");
    expectForEach(ownFunctions, label + ": each copy's three functions lie in its own module");

    // Why a second watch needs a second file.
    HMODULE again = LoadLibraryW(copies[0].file.c_str());
    expect(again == copies[0].module,
           (label + ": loading copy 1's path again gives the module already loaded").c_str());
    if (again != nullptr) FreeLibrary(again);
    return allApart;
}

// Whether the loader knows a file it loaded by its identity as well as by its path.
void noteHardLink(const std::wstring& folder, const Copy& copy) {
    const std::wstring linkFolder = folder + L"\\hard-link";
    makeDirectory(linkFolder);
    const std::wstring link = linkFolder + L"\\windowsfscm.dll";
    if (CreateHardLinkW(link.c_str(), copy.file.c_str(), nullptr) == 0) {
        note(("no hard link to copy 1 could be made (error " + std::to_string(GetLastError()) +
              "), so what the loader makes of one is not known")
                 .c_str());
        return;
    }
    Library linked{};
    HMODULE module = loadLibraryFile(link, &linked);
    if (module == copy.module) {
        note(
            "a hard link to copy 1, in a folder of its own, loads as copy 1's module: this "
            "platform's loader knows a file it loaded by the file's identity, not only by its "
            "path");
    } else if (module != nullptr) {
        note("a hard link to copy 1, in a folder of its own, loads as a module of its own");
    } else {
        note(("a hard link to copy 1 does not load (error " + std::to_string(GetLastError()) + ")")
                 .c_str());
    }
    if (module != nullptr) FreeLibrary(module);
}

bool startWatches(const std::wstring& folder, Copies& copies, const std::string& label) {
    EachCopy started{};
    for (int copy = 0; copy < COPIES; ++copy) {
        copies[copy].tree = folder + L"\\tree-" + std::to_wstring(copy + 1);
        makeDirectory(copies[copy].tree);
        copies[copy].watcher.emplace(copies[copy].library);
        started[copy] = copies[copy].watcher->startOnThread(copies[copy].tree);
    }
    const std::string what =
        label +
        ": each copy's nativeInit, on its own watcher's thread, gives true on a tree of its "
        "own";
    if (!expectForEach(started, what)) return false;
    std::vector<Watcher*> all = watchersFrom(copies, 0);
    for (Watcher* watcher : all)
        watcher->beginWait();
    expect(allStayBlocked(all),
           (label + ": eight watches at once, each first wait blocks while the trees are quiet")
               .c_str());
    return true;
}

void checkChangesWakeTheirOwnWatch(Copies& copies, const std::string& label) {
    EachCopy woke{};
    EachCopy othersBlocked{};
    EachCopy rearmed{};
    for (int copy = 0; copy < COPIES; ++copy) {
        createFile(copies[copy].tree + L"\\change.txt");
        woke[copy] = returns(*copies[copy].watcher);
        std::vector<Watcher*> others;
        for (int other = 0; other < COPIES; ++other) {
            if (other != copy) others.push_back(&*copies[other].watcher);
        }
        othersBlocked[copy] = allStayBlocked(others);
        rearmed[copy] = laterWaitBlocks(*copies[copy].watcher);
    }
    expectForEach(woke, label + ": a new file in each tree wakes its own copy's watch");
    expectForEach(othersBlocked, label + ": the seven other watches stay blocked meanwhile");
    expectForEach(rearmed, label + ": the woken watch's next wait re-arms and blocks");
}

// Copy 1's watch stopped and the copy freed while the seven others watch.
void checkUnloadLeavesTheOthers(Copies& copies, const std::string& label) {
    Copy& first = copies[0];
    stop(first.library);
    expect(returns(*first.watcher), (label + ": copy 1's stop ends its watch").c_str());
    const std::vector<Watcher*> others = watchersFrom(copies, 1);
    expect(allStayBlocked(others),
           (label + ": the seven other watches stay blocked at copy 1's stop").c_str());

    first.watcher.reset();
    expect(FreeLibrary(first.module) != 0, (label + ": FreeLibrary of copy 1 succeeds").c_str());
    first.module = nullptr;
    note((label + ": copy 1 " +
          (GetModuleHandleW(first.file.c_str()) == nullptr
               ? "is unloaded (GetModuleHandleW knows its file no more)"
               : "stays loaded after FreeLibrary (GetModuleHandleW still knows its file)"))
             .c_str());
    expect(allStayBlocked(others),
           (label + ": with copy 1 freed, the seven other watches stay blocked").c_str());
    EachCopy seen{};
    seen.fill(true);
    for (int copy = 1; copy < COPIES; ++copy) {
        createFile(copies[copy].tree + L"\\after-free.txt");
        seen[copy] = returns(*copies[copy].watcher);
    }
    expectForEach(seen,
                  label + ": with copy 1 freed, a new file in each other tree wakes its watch");
    expect(allLaterWaitsBlock(others),
           (label + ": and each of those watches' next wait blocks again").c_str());
}

// Copies 2 to 8 stopped one at a time.
void checkStopsEndTheirOwnWatch(Copies& copies, const std::string& label) {
    EachCopy ended{};
    EachCopy over{};
    EachCopy othersBlocked{};
    EachCopy othersSee{};
    ended[0] = over[0] = true;
    othersBlocked.fill(true);
    othersSee.fill(true);
    for (int copy = 1; copy < COPIES; ++copy) {
        Watcher& watcher = *copies[copy].watcher;
        stop(copies[copy].library);
        ended[copy] = returns(watcher);
        // With its watch released, the copy's next wait returns at once.
        watcher.beginWait();
        over[copy] = returns(watcher);

        const std::vector<Watcher*> remaining = watchersFrom(copies, copy + 1);
        if (remaining.empty()) break;
        othersBlocked[copy] = allStayBlocked(remaining);
        for (int other = copy + 1; other < COPIES; ++other) {
            createFile(copies[other].tree + L"\\after-stop-" + std::to_wstring(copy + 1) + L".txt");
            if (!returns(*copies[other].watcher)) othersSee[copy] = false;
        }
        if (!allLaterWaitsBlock(remaining)) othersSee[copy] = false;
    }
    expectForEach(ended, label + ": each copy's stop ends its blocked wait");
    expectForEach(over, label + ": after its stop, the copy's next wait returns at once");
    expectForEach(othersBlocked, label + ": the watches not yet stopped stay blocked at each stop");
    expectForEach(othersSee,
                  label +
                      ": after each stop, the watches not yet stopped see a new file in their "
                      "trees and block again");
}

}  // namespace

void checkCopiesWatchApart(const std::wstring& root, CopyNames names) {
    const bool alike = names == CopyNames::Alike;
    const std::string label = alike ? "8 copies named windowsfscm.dll, a folder each"
                                    : "8 copies named windowsfscm-1.dll to -8.dll, a folder each";
    const std::wstring folder = root + (alike ? L"\\copies-named-alike" : L"\\copies-named-apart");
    makeDirectory(folder);
    Copies copies;
    if (!loadCopies(folder, names, copies, label)) return;
    if (!checkModulesApart(copies, label)) return;
    if (alike) noteHardLink(folder, copies[0]);
    if (!startWatches(folder, copies, label)) return;
    checkChangesWakeTheirOwnWatch(copies, label);
    checkUnloadLeavesTheOthers(copies, label);
    checkStopsEndTheirOwnWatch(copies, label);
}
