# Cross-builds the Windows DLL for ARM64 with clang and lld, which target aarch64-w64-mingw32
# with mingw-w64's headers (Debian: clang-19, lld-19, llvm-19, mingw-w64-common). Debian has no
# mingw-w64 gcc, C runtime or import libraries for ARM64. The DLL needs no runtime; the one import
# library it links, KERNEL32's, is made from our own list of the functions it imports
# (platform/windows/kernel32.def) with WINDOWSFSCM_DLLTOOL; the stack probe is our own
# (jni/windows). LLVM 19 rather than Debian's 16: lld 16 starts every export table at ordinal 0,
# which it leaves empty, so the three entry points could not be ordinals 1 to 3 alone.
#
# The C++ headers are those of mingw-w64's gcc for x86-64 (g++-mingw-w64-x86-64, which builds
# that DLL), configured for 64-bit Windows, whose types and C headers ARM64 shares; the code takes
# only what needs no library from them (<atomic>, <type_traits>, <algorithm>).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)

set(target aarch64-w64-mingw32)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_C_COMPILER_TARGET ${target})
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_CXX_COMPILER_TARGET ${target})
set(CMAKE_ASM_COMPILER clang-19)
set(CMAKE_ASM_COMPILER_TARGET ${target})
set(CMAKE_RC_COMPILER llvm-windres-19)
set(CMAKE_AR llvm-ar-19 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-19 CACHE FILEPATH "")
set(WINDOWSFSCM_DLLTOOL llvm-dlltool-19)
set(WINDOWSFSCM_DLLTOOL_MACHINE arm64)
set(WINDOWSFSCM_WINDOWS_C_RUNTIME OFF)

# The C++ headers come before the C headers they wrap; the win32 thread model's, which need no
# thread library.
file(GLOB cxx_header_folders LIST_DIRECTORIES true
  /usr/lib/gcc/x86_64-w64-mingw32/*-win32/include/c++)
list(SORT cxx_header_folders COMPARE NATURAL)
list(POP_BACK cxx_header_folders cxx_headers)
set(windows_headers "-isystem /usr/share/mingw-w64/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${cxx_headers} -isystem ${cxx_headers}/x86_64-w64-mingw32 \
${windows_headers}")
set(CMAKE_C_FLAGS_INIT "${windows_headers}")
set(CMAKE_ASM_FLAGS_INIT "${windows_headers}")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -fuse-ld=lld)
endforeach()
# Nothing is linked unless named: CMake would name a list of Windows' import libraries.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "")
# Without a C runtime no test program links: the compiler checks compile only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_FIND_ROOT_PATH /usr/share/mingw-w64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
