# Builds the library for one platform of cmake/platforms.cmake in a build tree of its own, which
# the jar and the platform's tests share; with TARGET=all, its native tests too. The tree is
# configured once, with the options every cross build uses; later runs bring it up to date. Run
#   cmake -DPLATFORM=<name> -DSOURCE=<repository> -DBINARY=<build tree> [-DTESTING=ON|OFF]
#     [-DTARGET=<target>] [-DTEST_TOOLS=ON] [-DMUSL_RUNTIMES=<folder>] -P cross_build.cmake
# TARGET is windowsfscm unless given; TEST_TOOLS checks for what running the tests needs as well.
# MUSL_RUNTIMES holds a musl platform's C++ runtime in the folder named by the platform, made
# there if it is not yet; without it, the tree makes its own.
cmake_minimum_required(VERSION 3.22)
include("${CMAKE_CURRENT_LIST_DIR}/platforms.cmake")
windowsfscm_platform("${PLATFORM}" cross)
if(NOT TARGET)
  set(TARGET windowsfscm)
endif()
if(NOT DEFINED TESTING)
  set(TESTING ON)
endif()

if(TEST_TOOLS)
  windowsfscm_missing_packages("${PLATFORM}" missing TESTS)
else()
  windowsfscm_missing_packages("${PLATFORM}" missing)
endif()
if(missing)
  string(REPLACE ";" " " missing "${missing}")
  message(FATAL_ERROR "${PLATFORM}: its toolchain is missing: apt-get install ${missing}")
endif()

set(runtime "")
if(cross_C_LIBRARY STREQUAL "musl" AND MUSL_RUNTIMES)
  set(runtime "-DWINDOWSFSCM_MUSL_RUNTIME=${MUSL_RUNTIMES}/${PLATFORM}")
endif()
if(NOT EXISTS "${BINARY}/build.ninja")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${BINARY}" -G Ninja
      -DCMAKE_BUILD_TYPE=Release --toolchain "${SOURCE}/cmake/${cross_TOOLCHAIN}.cmake"
      "-DBUILD_TESTING=${TESTING}" ${runtime} --no-warn-unused-cli
    OUTPUT_QUIET
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${PLATFORM}: configuring the cross build in ${BINARY} failed")
  endif()
endif()
execute_process(
  COMMAND "${CMAKE_COMMAND}" --build "${BINARY}" --target "${TARGET}" --parallel 2
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${PLATFORM}: the cross build in ${BINARY} failed")
endif()
