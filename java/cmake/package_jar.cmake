# Packs a windowsfscm jar: the classes, the native library of each platform named, the list of
# those libraries with their SHA-256 (in the format of sha256sum), the manifest and the Maven
# description. The build runs it as
#   cmake -DJAR=<jar tool> -DOUTPUT=<jar> -DCLASSES=<jar of the classes>
#     -DCLASSES_9=<jar of what Java 9 and later read instead> -DMANIFEST=<file>
#     -DPOM=<file> -DVERSION=<version> -DLICENSE=<file> -DDATE=<ISO-8601 time>
#     -P package_jar.cmake [PLATFORM LIBRARY]...
# Every entry carries the time DATE, and the jar tool writes them in the order of their names, so
# that two builds of one commit give the same bytes.
cmake_minimum_required(VERSION 3.22)

# The arguments after the script's name: platforms and their libraries, in pairs.
set(pairs)
set(script_index -1)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(script_index GREATER_EQUAL 0 AND i GREATER script_index)
    list(APPEND pairs "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "-P")
    math(EXPR script_index "${i} + 1")
  endif()
endforeach()

set(contents "${OUTPUT}.contents")
file(REMOVE_RECURSE "${contents}")
file(ARCHIVE_EXTRACT INPUT "${CLASSES}" DESTINATION "${contents}")
# The jar tool writes the manifest given below; the classes jar's own would clash with it.
file(REMOVE_RECURSE "${contents}/META-INF")
set(versioned "${contents}/META-INF/versions/9")
file(ARCHIVE_EXTRACT INPUT "${CLASSES_9}" DESTINATION "${versioned}")
file(REMOVE_RECURSE "${versioned}/META-INF")

file(COPY_FILE "${LICENSE}" "${contents}/META-INF/LICENSE")

set(native "${contents}/talvo/index/windows_native/native")
set(index "")
while(pairs)
  list(POP_FRONT pairs platform library)
  get_filename_component(name "${library}" NAME)
  file(MAKE_DIRECTORY "${native}/${platform}")
  file(COPY_FILE "${library}" "${native}/${platform}/${name}")
  file(SHA256 "${library}" sha256)
  string(APPEND index "${sha256}  ${platform}/${name}\n")
endwhile()
file(MAKE_DIRECTORY "${native}")
file(WRITE "${native}/libraries.sha256" "${index}")

# Where Maven puts them in the jars it builds, so tools can tell which artifact this is.
set(maven "${contents}/META-INF/maven/talvo.index/windowsfscm")
file(MAKE_DIRECTORY "${maven}")
file(COPY_FILE "${POM}" "${maven}/pom.xml")
file(WRITE "${maven}/pom.properties"
  "groupId=talvo.index\nartifactId=windowsfscm\nversion=${VERSION}\n")

# Written beside the jar and renamed over it, so a failed run leaves no half-written jar.
execute_process(
  COMMAND "${JAR}" --create --date=${DATE} --file "${OUTPUT}.part" --manifest "${MANIFEST}"
    -C "${contents}" .
  RESULT_VARIABLE failed)
if(failed)
  file(REMOVE "${OUTPUT}.part")
  message(FATAL_ERROR "packing ${OUTPUT} failed")
endif()
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
file(REMOVE_RECURSE "${contents}")
