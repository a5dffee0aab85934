# Compiles each header of PUBLIC_DIR/green alone and fails when one of them,
# or a public header it reaches, includes anything but the standard library
# and other public headers: no platform header, no Boost, no header of the
# runtime's own. What the standard library includes in turn is its own
# business and is not judged.
#   CXX             the compiler of the build (a cross compiler too)
#   PUBLIC_DIR      the folder that holds green/
#   WORK            a scratch folder
#   WINDOWS_FIRST   also compile each after <windows.h>
cmake_policy(VERSION 3.25)
file(REAL_PATH ${PUBLIC_DIR} PUBLIC_DIR)
set(public_root ${PUBLIC_DIR}/green)
file(MAKE_DIRECTORY ${WORK})

# Runs the compiler on Source with -H; Out gets the headers opened, one
# "depth;path" pair per entry, as a flat list.
function(opened_headers source out)
  execute_process(
    COMMAND ${CXX} -std=c++20 -fsyntax-only -H -I${PUBLIC_DIR} -x c++ ${source}
    RESULT_VARIABLE result
    OUTPUT_QUIET
    ERROR_VARIABLE log)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${source} does not compile alone:\n${log}")
  endif()
  string(REPLACE "\n" ";" lines "${log}")
  set(pairs)
  foreach(line IN LISTS lines)
    if(line MATCHES "^(\\.+) (.+)$")
      string(LENGTH "${CMAKE_MATCH_1}" depth)
      file(REAL_PATH "${CMAKE_MATCH_2}" path)
      list(APPEND pairs ${depth} ${path})
    endif()
  endforeach()
  set(${out} ${pairs} PARENT_SCOPE)
endfunction()

function(under path roots out)
  set(${out} FALSE PARENT_SCOPE)
  foreach(root IN LISTS roots)
    cmake_path(IS_PREFIX root ${path} NORMALIZE inside)
    if(inside)
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# The standard library's folders: where <version> and its configuration
# header are found.
file(WRITE ${WORK}/probe.cpp "#include <version>\n")
opened_headers(${WORK}/probe.cpp probe)
set(std_roots)
foreach(path IN LISTS probe)
  if(path MATCHES "/version$" OR path MATCHES "/bits/c\\+\\+config\\.h$")
    cmake_path(GET path PARENT_PATH dir)
    if(path MATCHES "config\\.h$")
      cmake_path(GET dir PARENT_PATH dir)
    endif()
    list(APPEND std_roots ${dir})
  endif()
endforeach()
if(NOT std_roots)
  message(FATAL_ERROR "The standard library's headers were not found:\n${probe}")
endif()

file(GLOB_RECURSE headers ${public_root}/*.h)
if(NOT headers)
  message(FATAL_ERROR "No public header under ${public_root}")
endif()
set(faults)
foreach(header IN LISTS headers)
  file(REAL_PATH ${header} header)
  opened_headers(${header} opened)
  # The includer at each depth: an entry's parent is the last one opened a
  # depth above it.
  set(parent_0 ${header})
  set(direct)
  while(opened)
    list(POP_FRONT opened depth path)
    math(EXPR up "${depth} - 1")
    set(parent_${depth} ${path})
    set(includer ${parent_${up}})
    under(${includer} ${public_root} judged)
    if(NOT judged)
      continue()
    endif()
    list(APPEND direct ${path})
    under(${path} "${public_root};${std_roots}" allowed)
    if(NOT allowed)
      list(APPEND faults "${includer} includes ${path}")
    endif()
  endwhile()
  list(REMOVE_DUPLICATES direct)
  if(NOT direct)
    set(direct "nothing")
  endif()
  list(JOIN direct "\n    " shown)
  message(STATUS "${header} includes:\n    ${shown}")

  if(WINDOWS_FIRST)
    cmake_path(RELATIVE_PATH header BASE_DIRECTORY ${PUBLIC_DIR} OUTPUT_VARIABLE name)
    file(WRITE ${WORK}/windows_first.cpp "#include <windows.h>\n#include \"${name}\"\n")
    opened_headers(${WORK}/windows_first.cpp ignored)
  endif()
endforeach()

if(faults)
  list(JOIN faults "\n  " faults)
  message(FATAL_ERROR "Public headers reach beyond the standard library:\n  ${faults}")
endif()
