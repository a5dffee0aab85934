# PCRE2 (8-bit) as the target green_pcre2. Natively Debian's libpcre2-dev
# (its static library);
# for Windows a static library cross-built from Debian's source package by
# scripts/pcre2-cross, cached in the build tree.
if(WIN32)
  set(PCRE2_PREFIX ${CMAKE_BINARY_DIR}/_deps/pcre2-${CMAKE_SYSTEM_PROCESSOR})
  if(NOT EXISTS ${PCRE2_PREFIX}/lib/libpcre2-8.a OR NOT EXISTS ${PCRE2_PREFIX}/built-MinSizeRel)
    message(STATUS "Building PCRE2 for ${CMAKE_SYSTEM_PROCESSOR} into ${PCRE2_PREFIX}")
    execute_process(
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/pcre2-cross ${CMAKE_TOOLCHAIN_FILE} ${PCRE2_PREFIX}
      RESULT_VARIABLE PCRE2_RESULT)
    if(NOT PCRE2_RESULT EQUAL 0)
      message(FATAL_ERROR "scripts/pcre2-cross failed (${PCRE2_RESULT})")
    endif()
  endif()
  add_library(green_pcre2 INTERFACE)
  target_include_directories(green_pcre2 INTERFACE ${PCRE2_PREFIX}/include)
  target_link_libraries(green_pcre2 INTERFACE ${PCRE2_PREFIX}/lib/libpcre2-8.a)
  target_compile_definitions(green_pcre2 INTERFACE PCRE2_STATIC)
else()
  find_path(PCRE2_INCLUDE pcre2.h REQUIRED)
  # The static library: a program then needs no PCRE2 at run time, and the
  # loader relocates none.
  find_library(PCRE2_8_STATIC_LIB NAMES libpcre2-8.a pcre2-8 REQUIRED)
  add_library(green_pcre2 INTERFACE)
  target_include_directories(green_pcre2 INTERFACE ${PCRE2_INCLUDE})
  target_link_libraries(green_pcre2 INTERFACE ${PCRE2_8_STATIC_LIB})
endif()
