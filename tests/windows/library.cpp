#include "tests/windows/library.h"

#include <cstdio>
#include <string>

#include "tests/windows/report.h"

namespace {

struct Export {
    WORD ordinal;
    const char* name;
    // As a __stdcall function's symbol is decorated: the bytes of its arguments after an "@".
    const char* decoratedName;
};

constexpr Export EXPORTS[] = {
    {1, "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit",
     "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit@12"},
    {2, "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop",
     "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop@8"},
    {3, "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange",
     "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange@8"},
};

FARPROC findExport(HMODULE module, const Export& wanted) {
    FARPROC byName = GetProcAddress(module, wanted.name);
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(wanted.ordinal));
    std::string what = std::string(wanted.name) + " is exported by name";
    expect(byName != nullptr, what.c_str());
    what = std::string(wanted.name) + " is exported at ordinal " + std::to_string(wanted.ordinal);
    expect(byName != nullptr && byOrdinal == byName, what.c_str());
    what = std::string(wanted.decoratedName) + " is not exported";
    expect(GetProcAddress(module, wanted.decoratedName) == nullptr, what.c_str());
    return byName;
}

template <typename Function>
Function as(FARPROC address) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

void bind(Library* library, FARPROC init, FARPROC stop, FARPROC waitForChange) {
    library->init = as<InitFunction>(init);
    library->stop = as<NoResultFunction>(stop);
    library->waitForChange = as<NoResultFunction>(waitForChange);
}

}  // namespace

std::wstring libraryPath() {
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring path(program, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"windowsfscm.dll";
}

bool loadLibrary(Library* library) {
    HMODULE module = LoadLibraryW(libraryPath().c_str());
    expect(module != nullptr, "LoadLibrary loads windowsfscm.dll");
    if (module == nullptr) {
        std::printf("LoadLibrary failed with error %lu\n", GetLastError());
        return false;
    }
    FARPROC init = findExport(module, EXPORTS[0]);
    FARPROC stop = findExport(module, EXPORTS[1]);
    FARPROC waitForChange = findExport(module, EXPORTS[2]);
    expect(GetProcAddress(module, MAKEINTRESOURCEA(4)) == nullptr, "nothing at ordinal 4");
    if (init == nullptr || stop == nullptr || waitForChange == nullptr) return false;
    bind(library, init, stop, waitForChange);
    return true;
}

HMODULE loadLibraryFile(const std::wstring& file, Library* library) {
    HMODULE module = LoadLibraryW(file.c_str());
    if (module == nullptr) return nullptr;
    FARPROC init = GetProcAddress(module, EXPORTS[0].name);
    FARPROC stop = GetProcAddress(module, EXPORTS[1].name);
    FARPROC waitForChange = GetProcAddress(module, EXPORTS[2].name);
    if (init == nullptr || stop == nullptr || waitForChange == nullptr) {
        FreeLibrary(module);
        return nullptr;
    }
    bind(library, init, stop, waitForChange);
    return module;
}
