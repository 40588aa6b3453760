# Packs what a Maven repository offers beside a jar: the jar's Java sources, and the Javadoc of
# its public API, built with every doclint check on and no warning allowed. Both carry the
# license, and every entry the time given, so that two builds of one commit agree byte for byte.
# The build runs it as
#   cmake -DJAR=<jar tool> -DJAVADOC=<javadoc tool> -DDATE=<ISO-8601 time> -DLICENSE=<file>
#     -DSOURCES=<source files> -DSOURCES_9=<sources for Java 9 and later> -DPACKAGE=<folder>
#     -DWORK=<scratch folder> -DSOURCES_JAR=<jar> -DJAVADOC_JAR=<jar>
#     -P package_sources_and_docs.cmake
cmake_minimum_required(VERSION 3.22)

file(REMOVE_RECURSE "${WORK}")
set(sources "${WORK}/sources")
file(MAKE_DIRECTORY "${sources}/${PACKAGE}" "${sources}/META-INF/versions/9/${PACKAGE}")
foreach(source IN LISTS SOURCES)
  file(COPY "${source}" DESTINATION "${sources}/${PACKAGE}")
endforeach()
# The Java 9 sources sit where their classes do in the jar.
foreach(source IN LISTS SOURCES_9)
  get_filename_component(name "${source}" NAME)
  if(name STREQUAL "module-info.java")
    file(COPY "${source}" DESTINATION "${sources}/META-INF/versions/9")
  else()
    file(COPY "${source}" DESTINATION "${sources}/META-INF/versions/9/${PACKAGE}")
  endif()
endforeach()
file(COPY_FILE "${LICENSE}" "${sources}/META-INF/LICENSE")

set(docs "${WORK}/javadoc")
execute_process(
  COMMAND "${JAVADOC}" --release 8 -Xdoclint:all -Werror -quiet -notimestamp -d "${docs}"
    ${SOURCES}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "javadoc found faults in the public API's documentation")
endif()
file(MAKE_DIRECTORY "${docs}/META-INF")
file(COPY_FILE "${LICENSE}" "${docs}/META-INF/LICENSE")

foreach(pair "${sources};${SOURCES_JAR}" "${docs};${JAVADOC_JAR}")
  list(GET pair 0 folder)
  list(GET pair 1 output)
  execute_process(
    COMMAND "${JAR}" --create --date=${DATE} --file "${output}.part" -C "${folder}" .
    RESULT_VARIABLE failed)
  if(failed)
    file(REMOVE "${output}.part")
    message(FATAL_ERROR "packing ${output} failed")
  endif()
  file(RENAME "${output}.part" "${output}")
endforeach()
file(REMOVE_RECURSE "${WORK}")
