# Run by `cmake --install` (install(CODE) in Install.cmake): lays out the
# project's headers that the headers users include reach, directly or not,
# under CMAKE_INSTALL_PREFIX/GREEN_HEADER_DESTINATION at their paths in the
# tree. The compiler says what they reach, so what users include keeps
# compiling and nothing else of the tree is installed.
#   GREEN_CXX                 the compiler of the build (a cross compiler too)
#   GREEN_SOURCE_DIR          the tree; its headers are included by path from it
#   GREEN_ENTRY_HEADERS       the headers users include, relative to the tree
#   GREEN_HEADER_DESTINATION  relative to the prefix

cmake_policy(VERSION 3.25)
file(REAL_PATH ${GREEN_SOURCE_DIR} GREEN_SOURCE_DIR)
set(entries)
foreach(header IN LISTS GREEN_ENTRY_HEADERS)
  list(APPEND entries ${GREEN_SOURCE_DIR}/${header})
endforeach()
# -H names every header opened, one per line, dots first; it goes to
# standard error, and reaches the system's headers too.
execute_process(
  COMMAND ${GREEN_CXX} -std=c++20 -fsyntax-only -H -I${GREEN_SOURCE_DIR} -x c++ ${entries}
  RESULT_VARIABLE result
  OUTPUT_QUIET
  ERROR_VARIABLE opened)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "The headers to install do not compile:\n${opened}")
endif()

string(REPLACE "\n" ";" lines "${opened}")
set(headers ${entries})
foreach(line IN LISTS lines)
  if(line MATCHES "^\\.+ (.+)$")
    list(APPEND headers ${CMAKE_MATCH_1})
  endif()
endforeach()

set(installed)
foreach(header IN LISTS headers)
  file(REAL_PATH ${header} path BASE_DIRECTORY ${GREEN_SOURCE_DIR})
  cmake_path(IS_PREFIX GREEN_SOURCE_DIR ${path} NORMALIZE in_tree)
  if(NOT in_tree OR path IN_LIST installed)
    continue()
  endif()
  list(APPEND installed ${path})
  file(RELATIVE_PATH relative ${GREEN_SOURCE_DIR} ${path})
  cmake_path(GET relative PARENT_PATH folder)
  file(INSTALL ${path} DESTINATION ${CMAKE_INSTALL_PREFIX}/${GREEN_HEADER_DESTINATION}/${folder})
endforeach()
