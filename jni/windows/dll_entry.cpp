// The DLL's entry point. The library links no C runtime, whose startup code would otherwise
// provide it: nothing needs setting up, since all of the library's state is zero-initialised
// static storage, and loading and unloading must not touch a watch.
#include <windows.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
