# Prints, on one line, the Debian packages that PLATFORMS (every platform of platforms.cmake when
# none is given) need and this machine lacks, with TESTS those their tests need too; nothing
# when none is missing. Run as
#   cmake [-DPLATFORMS=<name>;<name>] [-DTESTS=ON] -P missing_packages.cmake
include("${CMAKE_CURRENT_LIST_DIR}/platforms.cmake")
if(NOT PLATFORMS)
  set(PLATFORMS "${WINDOWSFSCM_PLATFORMS}")
endif()
if(TESTS)
  windowsfscm_missing_packages("${PLATFORMS}" missing TESTS)
else()
  windowsfscm_missing_packages("${PLATFORMS}" missing)
endif()
if(missing)
  string(REPLACE ";" " " missing "${missing}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${missing}")
endif()
