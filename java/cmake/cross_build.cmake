# Cross-builds the library for one platform in a build tree of its own, which the jar and the
# platform's tests share. The tree is configured once, with the options every cross build uses;
# later runs bring it up to date. The build runs it as
#   cmake -DSOURCE=<repository> -DBINARY=<build tree> -DTOOLCHAIN=<file> -DCOMPILER=<program>
#     -DPACKAGE=<Debian package of the compiler> -DPLATFORM=<name> -DTESTING=ON|OFF
#     -P cross_build.cmake
cmake_minimum_required(VERSION 3.22)

find_program(compiler "${COMPILER}")
if(NOT compiler)
  message(FATAL_ERROR "${PLATFORM}: the cross compiler ${COMPILER} is missing: "
    "install the package ${PACKAGE} (apt-get install ${PACKAGE})")
endif()

if(NOT EXISTS "${BINARY}/build.ninja")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${BINARY}" -G Ninja
      -DCMAKE_BUILD_TYPE=Release --toolchain "${TOOLCHAIN}" "-DBUILD_TESTING=${TESTING}"
      --no-warn-unused-cli
    OUTPUT_QUIET
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${PLATFORM}: configuring the cross build in ${BINARY} failed")
  endif()
endif()
execute_process(
  COMMAND "${CMAKE_COMMAND}" --build "${BINARY}" --target windowsfscm
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${PLATFORM}: the cross build in ${BINARY} failed")
endif()
