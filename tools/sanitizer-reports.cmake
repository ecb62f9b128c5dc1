# cmake -DMODE=clear|check -DDIR=<folder> -P sanitizer-reports.cmake
# clear: empties the folder the sanitizers write their reports to;
# check: prints every report there and fails when there is one.
if(MODE STREQUAL "clear")
    file(REMOVE_RECURSE "${DIR}")
    file(MAKE_DIRECTORY "${DIR}")
    return()
endif()
file(GLOB reports "${DIR}/*")
if(NOT reports)
    message(STATUS "no sanitizer reports in ${DIR}")
    return()
endif()
foreach(report IN LISTS reports)
    file(READ "${report}" text)
    message("==== ${report}\n${text}")
endforeach()
list(LENGTH reports count)
message(FATAL_ERROR "${count} sanitizer report(s) in ${DIR}")
