# What the musl toolchain files share: the C library is musl's (Debian's musl-dev), through the
# specs file that Debian ships for gcc, and the C++ runtime is libstdc++ built for musl by
# musl/cxx_runtime.sh, once, the first time this file is read: in the build tree, or in the folder
# that WINDOWSFSCM_MUSL_RUNTIME names, which several trees then share. The including file
# sets the processor, the triple (x86_64-linux-musl), the prefix of gcc's name
# (aarch64-linux-gnu- for a cross compiler, empty for this machine's) and any flags that code for
# musl needs from that gcc (WINDOWSFSCM_MUSL_FLAGS), which the runtime is built with too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER "${WINDOWSFSCM_MUSL_COMPILER_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${WINDOWSFSCM_MUSL_COMPILER_PREFIX}g++")

set(WINDOWSFSCM_MUSL_RUNTIME "${CMAKE_BINARY_DIR}/musl-c++-runtime" CACHE PATH
  "The C++ runtime for musl: libstdc++ built by cmake/musl/cxx_runtime.sh")
# Test projects (try_compile) read this file again, from folders of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWSFSCM_MUSL_RUNTIME)
# A shared runtime may be wanted by two trees being configured at once: one builds it.
get_filename_component(runtime_parent "${WINDOWSFSCM_MUSL_RUNTIME}" DIRECTORY)
file(MAKE_DIRECTORY "${runtime_parent}")
file(LOCK "${WINDOWSFSCM_MUSL_RUNTIME}.lock" GUARD PROCESS TIMEOUT 1800)
if(NOT EXISTS "${WINDOWSFSCM_MUSL_RUNTIME}/.complete")
  message(STATUS "Building the C++ runtime for ${WINDOWSFSCM_MUSL_TRIPLE} in "
    "${WINDOWSFSCM_MUSL_RUNTIME} (libstdc++ from gcc's source; about two minutes)")
  execute_process(
    COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/cxx_runtime.sh" "${CMAKE_C_COMPILER}"
      "${WINDOWSFSCM_MUSL_TRIPLE}" "${WINDOWSFSCM_MUSL_RUNTIME}" "${WINDOWSFSCM_MUSL_FLAGS}"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Building the C++ runtime for ${WINDOWSFSCM_MUSL_TRIPLE} failed")
  endif()
endif()
file(LOCK "${WINDOWSFSCM_MUSL_RUNTIME}.lock" RELEASE)
file(GLOB cxx_headers LIST_DIRECTORIES true "${WINDOWSFSCM_MUSL_RUNTIME}/include/c++/*")

set(specs "-specs=/usr/lib/${WINDOWSFSCM_MUSL_TRIPLE}/musl-gcc.specs ${WINDOWSFSCM_MUSL_FLAGS}")
set(CMAKE_C_FLAGS_INIT "${specs}")
set(CMAKE_CXX_FLAGS_INIT
  "${specs} -nostdinc++ -isystem ${cxx_headers} -isystem ${cxx_headers}/${WINDOWSFSCM_MUSL_TRIPLE}")
# The runtime's folder comes before gcc's own, whose libstdc++ is glibc's. The specs file replaces
# gcc's own linker options, and with them arm64's --eh-frame-hdr, the table by which the unwinder
# finds a program's frames: without it no exception can be caught.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L${WINDOWSFSCM_MUSL_RUNTIME}/lib")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-L${WINDOWSFSCM_MUSL_RUNTIME}/lib")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${WINDOWSFSCM_MUSL_RUNTIME}/lib -Wl,--eh-frame-hdr \
${WINDOWSFSCM_MUSL_RUNTIME}/lib/find_object.o")

set(CMAKE_FIND_ROOT_PATH "/usr/lib/${WINDOWSFSCM_MUSL_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
