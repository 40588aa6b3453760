# Fails unless LIBRARY loads on any Linux with glibc 2.17 or later (the oldest in service, and the
# first for arm64): it may need glibc's libc.so.6 and libpthread.so.0 (where the thread functions
# lived before glibc 2.34, an empty stand-in since) and no other library, and no glibc symbol
# version newer than GLIBC_2.17. A loader that misses either refuses the whole library.
# Run as: cmake -DREADELF=<readelf> -DLIBRARY=<shared library> -P portable_library.cmake
set(oldest_glibc 2.17)

function(read_elf option result)
  execute_process(COMMAND "${READELF}" -W ${option} "${LIBRARY}"
    OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${READELF} ${option} failed on ${LIBRARY}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  set(${result} "${lines}" PARENT_SCOPE)
endfunction()

set(problems "")

# "0x0000000000000001 (NEEDED)  Shared library: [libc.so.6]"
read_elf(--dynamic dynamic_section)
foreach(line IN LISTS dynamic_section)
  if(line MATCHES "\\(NEEDED\\).*\\[(.*)\\]" AND
      NOT CMAKE_MATCH_1 MATCHES "^(libc\\.so\\.6|libpthread\\.so\\.0)$")
    list(APPEND problems "needs ${CMAKE_MATCH_1}")
  endif()
endforeach()

# "5: 0000000000000000  0 FUNC  GLOBAL DEFAULT  UND stat@GLIBC_2.33 (4)": a symbol taken from
# another library, with the version it must have there. Unversioned ones bind to any version.
set(references 0)
read_elf(--dyn-syms symbols)
foreach(line IN LISTS symbols)
  if(NOT line MATCHES " UND ([^ @]+)@([^ ]+)")
    continue()
  endif()
  math(EXPR references "${references} + 1")
  set(symbol "${CMAKE_MATCH_1}")
  set(version "${CMAKE_MATCH_2}")
  if(NOT version MATCHES "^GLIBC_([0-9.]+)$")
    list(APPEND problems "${symbol}@${version} is not from glibc")
  elseif(CMAKE_MATCH_1 VERSION_GREATER oldest_glibc)
    list(APPEND problems "${symbol}@${version} is newer than GLIBC_${oldest_glibc}")
  endif()
endforeach()
# The library makes system calls through libc: finding no versioned symbol at all means the
# listing was not read as expected, not that the library is clean.
if(references EQUAL 0)
  list(APPEND problems "no versioned symbol found in the listing of ${READELF} --dyn-syms")
endif()

if(problems)
  list(SORT problems)
  string(REPLACE ";" "\n  " problems "${problems}")
  message(FATAL_ERROR "${LIBRARY} would not load on every Linux with glibc ${oldest_glibc} "
    "or later:\n  ${problems}")
endif()
message(STATUS "${LIBRARY} needs only glibc, at GLIBC_${oldest_glibc} or older "
  "(${references} versioned symbols)")
