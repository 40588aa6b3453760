# JDKs other than this machine's (Java 8, 11, 21 and 25), for tests that run Java on them: they
# live in a chroot of Debian unstable at <build>/jvm-root, which ctest's fixture jvm_root makes
# (tests/jvms) or keeps from an earlier run.
option(WINDOWSFSCM_JVM_TESTS
  "Run Java tests on JDKs 8, 11, 21 and 25 in a chroot of Debian unstable" ON)
set(WINDOWSFSCM_JVM_VERSIONS 8 11 21 25)
set(WINDOWSFSCM_JVM_ROOT "${CMAKE_BINARY_DIR}/jvm-root")
cmake_path(SET WINDOWSFSCM_JVM_RUNNER NORMALIZE
  "${CMAKE_CURRENT_LIST_DIR}/../tests/jvms/run_in_jvm_root.sh")

# windowsfscm_jvm_command(<variable> VERSION <version> TOOL <tool> [BIND <path>...])
# Sets <variable> to the command that runs <tool> of JDK <version> in the root: java, javac, jar,
# jlink..., or the absolute path of a program inside the root. Each <path>, a file or folder of
# this machine, is bound at the same path inside; the test's working folder must be one of them or
# inside one. The tool's arguments follow the command in add_test, and the test sets
# FIXTURES_REQUIRED jvm_root. Only where WINDOWSFSCM_JVM_TESTS and BUILD_TESTING are on.
function(windowsfscm_jvm_command variable)
  cmake_parse_arguments(PARSE_ARGV 1 jvm "" "VERSION;TOOL" "BIND")
  if(NOT BUILD_TESTING OR NOT WINDOWSFSCM_JVM_TESTS)
    message(FATAL_ERROR "windowsfscm_jvm_command: no JVM root is made here; call it only where "
      "BUILD_TESTING and WINDOWSFSCM_JVM_TESTS are on")
  endif()
  if(jvm_UNPARSED_ARGUMENTS OR NOT jvm_TOOL)
    message(FATAL_ERROR "usage: windowsfscm_jvm_command(<variable> VERSION <version> TOOL <tool> "
      "[BIND <path>...])")
  endif()
  if(NOT jvm_VERSION IN_LIST WINDOWSFSCM_JVM_VERSIONS)
    message(FATAL_ERROR "windowsfscm_jvm_command: the JVM root holds JDKs "
      "${WINDOWSFSCM_JVM_VERSIONS}, not ${jvm_VERSION}")
  endif()
  set(command sh "${WINDOWSFSCM_JVM_RUNNER}" "${WINDOWSFSCM_JVM_ROOT}" "${jvm_VERSION}")
  foreach(path IN LISTS jvm_BIND)
    if(NOT IS_ABSOLUTE "${path}" AND NOT path MATCHES "^\\$<")
      message(FATAL_ERROR "windowsfscm_jvm_command: BIND ${path} is not an absolute path")
    endif()
    list(APPEND command --bind "${path}")
  endforeach()
  list(APPEND command -- "${jvm_TOOL}")
  set(${variable} "${command}" PARENT_SCOPE)
endfunction()
