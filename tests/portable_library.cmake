# Fails unless LIBRARY loads on every Linux of its platform whose C library is as old as
# OLDEST_GLIBC (cmake/platforms.cmake gives each platform's), or on any musl system for
# C_LIBRARY=musl. On glibc it may need libc.so.6 and libpthread.so.0 (where the thread functions
# lived before glibc 2.34, an empty stand-in since) and no other library, and no glibc symbol
# version newer than OLDEST_GLIBC. On musl it may need libc.so alone (musl's loader is that
# library, whatever the version in a name), and no symbol may carry a version: musl versions
# nothing, so a versioned one is glibc's. A loader that misses either refuses the whole library.
# Run as: cmake -DREADELF=<readelf> -DLIBRARY=<shared library> -DC_LIBRARY=glibc|musl
#   [-DOLDEST_GLIBC=<version>] -P portable_library.cmake
if(C_LIBRARY STREQUAL "glibc")
  if(NOT OLDEST_GLIBC MATCHES "^[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "OLDEST_GLIBC must be a version such as 2.17")
  endif()
  set(allowed_libraries "^(libc\\.so\\.6|libpthread\\.so\\.0)$")
  set(target "every Linux with glibc ${OLDEST_GLIBC} or later")
elseif(C_LIBRARY STREQUAL "musl")
  set(allowed_libraries "^libc\\.so$")
  set(target "every Linux with musl")
else()
  message(FATAL_ERROR "C_LIBRARY must be glibc or musl")
endif()

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
set(needed 0)
read_elf(--dynamic dynamic_section)
foreach(line IN LISTS dynamic_section)
  if(NOT line MATCHES "\\(NEEDED\\).*\\[(.*)\\]")
    continue()
  endif()
  math(EXPR needed "${needed} + 1")
  if(NOT CMAKE_MATCH_1 MATCHES "${allowed_libraries}")
    list(APPEND problems "needs ${CMAKE_MATCH_1}")
  endif()
endforeach()
if(needed EQUAL 0)
  list(APPEND problems "names no library it needs, not even the C library")
endif()

# "5: 0000000000000000  0 FUNC  GLOBAL DEFAULT  UND stat@GLIBC_2.33 (4)": a symbol taken from
# another library, with the version it must have there. Unversioned ones bind to any version.
set(references 0)
set(versioned 0)
read_elf(--dyn-syms symbols)
foreach(line IN LISTS symbols)
  if(NOT line MATCHES " UND ([^ @]+)(@[^ ]+)?")
    continue()
  endif()
  set(symbol "${CMAKE_MATCH_1}")
  math(EXPR references "${references} + 1")
  if(NOT CMAKE_MATCH_2)
    continue()
  endif()
  math(EXPR versioned "${versioned} + 1")
  string(SUBSTRING "${CMAKE_MATCH_2}" 1 -1 version)
  if(C_LIBRARY STREQUAL "musl")
    list(APPEND problems "${symbol}@${version} carries a version, which musl gives no symbol")
  elseif(NOT version MATCHES "^GLIBC_([0-9.]+)$")
    list(APPEND problems "${symbol}@${version} is not from glibc")
  elseif(CMAKE_MATCH_1 VERSION_GREATER OLDEST_GLIBC)
    list(APPEND problems "${symbol}@${version} is newer than GLIBC_${OLDEST_GLIBC}")
  endif()
endforeach()
# The library makes system calls through the C library: finding no symbol taken from it (or, on
# glibc, no versioned one) means the listing was not read as expected, not that the library is
# clean.
if(references EQUAL 0 OR (C_LIBRARY STREQUAL "glibc" AND versioned EQUAL 0))
  list(APPEND problems "no symbol from the C library found in the listing of "
    "${READELF} --dyn-syms")
endif()

if(problems)
  list(SORT problems)
  string(REPLACE ";" "\n  " problems "${problems}")
  message(FATAL_ERROR "${LIBRARY} would not load on ${target}:\n  ${problems}")
endif()
message(STATUS "${LIBRARY} loads on ${target}: it needs only the C library "
  "(${references} symbols from it, ${versioned} of them versioned)")
