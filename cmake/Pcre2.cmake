# PCRE2 (8-bit) as the target PCRE2::8BIT (FindPCRE2.cmake beside this file,
# which the installed package uses too). Natively Debian's libpcre2-dev (its
# static library); for Windows a static library cross-built from Debian's
# source package by scripts/pcre2-cross, cached in the build tree.
if(WIN32)
  set(GREEN_PCRE2_PREFIX ${CMAKE_BINARY_DIR}/_deps/pcre2-${CMAKE_SYSTEM_PROCESSOR})
  if(NOT EXISTS ${GREEN_PCRE2_PREFIX}/lib/libpcre2-8.a OR NOT EXISTS ${GREEN_PCRE2_PREFIX}/built-MinSizeRel)
    message(STATUS "Building PCRE2 for ${CMAKE_SYSTEM_PROCESSOR} into ${GREEN_PCRE2_PREFIX}")
    execute_process(
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/pcre2-cross ${CMAKE_TOOLCHAIN_FILE} ${GREEN_PCRE2_PREFIX}
      RESULT_VARIABLE PCRE2_RESULT)
    if(NOT PCRE2_RESULT EQUAL 0)
      message(FATAL_ERROR "scripts/pcre2-cross failed (${PCRE2_RESULT})")
    endif()
  endif()
endif()
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
find_package(PCRE2 MODULE REQUIRED)
