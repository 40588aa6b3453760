# The platforms whose library the jar can carry, named as its library folders are, and what this
# machine needs to build each and to run its tests. java/CMakeLists.txt builds the jar's
# libraries from it, tests/cross and tests/windows test them, and ./build-jar and ./build-windows
# ask cmake/missing_packages.cmake which of its Debian packages are missing.
include_guard(DIRECTORY)

set(WINDOWSFSCM_PLATFORMS
  linux-x86_64 linux-aarch64 linux-x86_64-musl linux-aarch64-musl linux-riscv64 linux-ppc64le
  linux-s390x linux-arm windows-x86 windows-x86_64 windows-aarch64)

# The builds against musl take their C++ runtime from the source of this machine's gcc
# (cmake/musl/cxx_runtime.sh), a package named by gcc's major version.
execute_process(COMMAND gcc -dumpversion OUTPUT_VARIABLE windowsfscm_gcc_version
  RESULT_VARIABLE windowsfscm_gcc_missing OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
string(REGEX REPLACE "\\..*" "" windowsfscm_gcc_major "${windowsfscm_gcc_version}")

# Sets, for PLATFORM, in the caller's scope:
#   <prefix>_TOOLCHAIN   the toolchain file cmake/<name>.cmake; empty for the build machine's own
#   <prefix>_FILE        the library's file name
#   <prefix>_NEEDS       what building it needs: pairs of a program (by name) or a file (by
#                        absolute path) and the Debian package that brings it
#   <prefix>_TEST_NEEDS  the same for running its tests on this machine as well
#   <prefix>_C_LIBRARY   on Linux, glibc or musl
#   <prefix>_OLDEST_GLIBC  on glibc, the oldest version the library must load on: 2.17, the
#                        oldest glibc in service (Enterprise Linux 7), for every processor whose
#                        glibc began there or earlier (x86-64 at 2.2.5, s390x at 2.2, 32-bit arm's
#                        EABI port at 2.4; arm64 and ppc64le at 2.17), and 2.27 for riscv64, whose
#                        glibc began there. platform/linux/oldest_thread_symbols.h binds the
#                        thread functions to each processor's first version.
function(windowsfscm_platform platform prefix)
  set(toolchain "")
  set(file libwindowsfscm.so)
  set(needs "")
  set(test_needs "")
  set(c_library glibc)
  set(oldest_glibc 2.17)
  if(windowsfscm_gcc_missing)
    set(gcc_source gcc g++)
  else()
    set(gcc_source "/usr/src/gcc-${windowsfscm_gcc_major}" "gcc-${windowsfscm_gcc_major}-source")
  endif()
  if(platform STREQUAL "linux-x86_64")
    set(needs g++ g++)
  elseif(platform STREQUAL "linux-aarch64")
    set(toolchain aarch64-linux-gnu)
    set(needs aarch64-linux-gnu-g++ g++-aarch64-linux-gnu)
    set(test_needs qemu-aarch64-static qemu-user-static)
  elseif(platform STREQUAL "linux-x86_64-musl")
    set(toolchain x86_64-linux-musl)
    set(needs g++ g++ /usr/lib/x86_64-linux-musl/musl-gcc.specs musl-dev ${gcc_source})
    set(c_library musl)
  elseif(platform STREQUAL "linux-aarch64-musl")
    set(toolchain aarch64-linux-musl)
    set(needs aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
      /usr/lib/aarch64-linux-musl/musl-gcc.specs musl-dev:arm64 ${gcc_source})
    set(test_needs qemu-aarch64-static qemu-user-static)
    set(c_library musl)
  elseif(platform STREQUAL "linux-riscv64")
    set(toolchain riscv64-linux-gnu)
    set(needs riscv64-linux-gnu-g++ g++-riscv64-linux-gnu)
    set(test_needs qemu-riscv64-static qemu-user-static)
    set(oldest_glibc 2.27)
  elseif(platform STREQUAL "linux-ppc64le")
    set(toolchain powerpc64le-linux-gnu)
    set(needs powerpc64le-linux-gnu-g++ g++-powerpc64le-linux-gnu)
    set(test_needs qemu-ppc64le-static qemu-user-static)
  elseif(platform STREQUAL "linux-s390x")
    set(toolchain s390x-linux-gnu)
    set(needs s390x-linux-gnu-g++ g++-s390x-linux-gnu)
    set(test_needs qemu-s390x-static qemu-user-static)
  elseif(platform STREQUAL "linux-arm")
    set(toolchain arm-linux-gnueabihf)
    set(needs arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf)
    set(test_needs qemu-arm-static qemu-user-static)
  elseif(platform STREQUAL "windows-x86")
    set(toolchain mingw-i686)
    set(needs i686-w64-mingw32-g++ g++-mingw-w64-i686)
    set(file windowsfscm.dll)
  elseif(platform STREQUAL "windows-x86_64")
    set(toolchain mingw-x86_64)
    set(needs x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64)
    set(file windowsfscm.dll)
  elseif(platform STREQUAL "windows-aarch64")
    set(toolchain clang-aarch64-w64-mingw32)
    # The C++ headers come from mingw-w64's gcc for x86-64 (see the toolchain file).
    set(needs clang++-19 clang-19 ld.lld-19 lld-19 llvm-dlltool-19 llvm-19
      /usr/share/mingw-w64/include/windows.h mingw-w64-common
      x86_64-w64-mingw32-g++ g++-mingw-w64-x86-64)
    set(test_needs llvm-objdump-19 llvm-19)
    set(file windowsfscm.dll)
  else()
    string(REPLACE ";" ", " known "${WINDOWSFSCM_PLATFORMS}")
    message(FATAL_ERROR "${platform} is no platform this machine builds: it builds ${known}")
  endif()
  if(platform MATCHES "^windows-")
    set(c_library "")
    set(oldest_glibc "")
  elseif(c_library STREQUAL "musl")
    set(oldest_glibc "")
  endif()
  set(${prefix}_TOOLCHAIN "${toolchain}" PARENT_SCOPE)
  set(${prefix}_FILE "${file}" PARENT_SCOPE)
  set(${prefix}_NEEDS "${needs}" PARENT_SCOPE)
  set(${prefix}_TEST_NEEDS "${test_needs}" PARENT_SCOPE)
  set(${prefix}_C_LIBRARY "${c_library}" PARENT_SCOPE)
  set(${prefix}_OLDEST_GLIBC "${oldest_glibc}" PARENT_SCOPE)
endfunction()

# Sets RESULT to the Debian packages that PLATFORMS need and this machine lacks, each once;
# with TESTS, those their tests need as well.
function(windowsfscm_missing_packages platforms result)
  cmake_parse_arguments(PARSE_ARGV 2 missing "TESTS" "" "")
  set(packages "")
  foreach(platform IN LISTS platforms)
    windowsfscm_platform("${platform}" platform)
    set(pairs ${platform_NEEDS})
    if(missing_TESTS)
      list(APPEND pairs ${platform_TEST_NEEDS})
    endif()
    while(pairs)
      list(POP_FRONT pairs tool package)
      if(IS_ABSOLUTE "${tool}")
        if(EXISTS "${tool}")
          continue()
        endif()
      else()
        find_program(found "${tool}" NO_CACHE)
        if(found)
          continue()
        endif()
      endif()
      list(APPEND packages "${package}")
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES packages)
  set(${result} "${packages}" PARENT_SCOPE)
endfunction()

# Sets RESULT to the platform this build makes the library for.
function(windowsfscm_build_platform result)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" processor)
  if(processor MATCHES "^(x86_64|amd64)$")
    set(processor x86_64)
  elseif(processor MATCHES "^(aarch64|arm64)$")
    set(processor aarch64)
  elseif(processor MATCHES "^(i.86|x86)$")
    set(processor x86)
  elseif(processor MATCHES "^arm")
    set(processor arm)
  endif()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}" system)
  set(platform "${system}-${processor}")
  if(system STREQUAL "linux" AND NOT WINDOWSFSCM_GLIBC)
    string(APPEND platform "-musl")
  endif()
  set(${result} "${platform}" PARENT_SCOPE)
endfunction()

# Cross-builds the library for PLATFORM in <build>/cross/PLATFORM (target
# windowsfscm_cross_PLATFORM) and sets LIBRARY_VARIABLE to the file it makes. Two cross builds
# run side by side: much of each is configuring, on one processor.
function(windowsfscm_cross_build platform library_variable)
  windowsfscm_platform("${platform}" cross)
  get_property(pools GLOBAL PROPERTY JOB_POOLS)
  if(NOT pools MATCHES "windowsfscm_cross_builds=")
    set_property(GLOBAL APPEND PROPERTY JOB_POOLS windowsfscm_cross_builds=2)
  endif()
  set(binary "${PROJECT_BINARY_DIR}/cross/${platform}")
  set(library "${binary}/jni/${cross_FILE}")
  add_custom_target(windowsfscm_cross_${platform}
    COMMAND "${CMAKE_COMMAND}" "-DPLATFORM=${platform}" "-DSOURCE=${PROJECT_SOURCE_DIR}"
      "-DBINARY=${binary}" "-DTESTING=${BUILD_TESTING}"
      "-DMUSL_RUNTIMES=${WINDOWSFSCM_MUSL_RUNTIMES}"
      -P "${PROJECT_SOURCE_DIR}/cmake/cross_build.cmake"
    BYPRODUCTS "${library}"
    JOB_POOL windowsfscm_cross_builds
    COMMENT "Cross-building the library for ${platform} in ${binary}"
    VERBATIM)
  set(${library_variable} "${library}" PARENT_SCOPE)
endfunction()
