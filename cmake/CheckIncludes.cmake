# Fails when one of FILES includes a folder of the project that its room may not reach.
#   cmake -DROOM=<name> -DALLOWED=<dir|dir|...> -DFILES=<file|file|...> -DSTAMP=<file>
#         -P CheckIncludes.cmake
# ALLOWED lists the folders (relative to the source tree, e.g. platform/foundation) whose
# headers the room may include, its own among them. Headers outside the project's own
# folders (system and library headers, in angle brackets) are not checked.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" ALLOWED "${ALLOWED}")
string(REPLACE "|" ";" FILES "${FILES}")
set(wrong "")
foreach(file IN LISTS FILES)
  file(STRINGS "${file}" includes REGEX "^#include \"(platform|service|attachment)/")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]*)/[^/\"]*\".*" "\\1" folder "${line}")
    if(NOT folder IN_LIST ALLOWED)
      string(APPEND wrong "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(wrong)
  message(FATAL_ERROR "${ROOM} may include only ${ALLOWED}; these arrows run the wrong way:${wrong}")
endif()
file(TOUCH "${STAMP}")
