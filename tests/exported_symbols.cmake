# Fails unless the dynamic symbol table of LIBRARY defines exactly the three JNI entry points.
# Run as: cmake -DNM=<nm> -DLIBRARY=<shared library> -P exported_symbols.cmake
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

set(found "")
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>": the name is the last field.
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND found "${name}")
endforeach()
list(SORT found)

set(expected
  Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeInit
  Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeStop
  Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_nativeWaitForChange)
if(NOT found STREQUAL expected)
  string(REPLACE ";" "\n  " found "${found}")
  message(FATAL_ERROR
    "${LIBRARY} must define exactly the three entry points; it defines:\n  ${found}")
endif()
message(STATUS "${LIBRARY} defines exactly the three entry points")
