# Finds PCRE2's 8-bit library as the imported target PCRE2::8BIT, the name
# PCRE2's own package gives it. The static library is preferred: a program
# then needs no PCRE2 at run time.
#
# GREEN_PCRE2_PREFIX, when set, is the only place searched (its include/ and
# lib/): a PCRE2 built for a cross target lives there, outside the target
# system's root.
if(TARGET PCRE2::8BIT)
  set(PCRE2_FOUND TRUE)
  return()
endif()

set(_pcre2_where)
if(GREEN_PCRE2_PREFIX)
  set(_pcre2_where PATHS ${GREEN_PCRE2_PREFIX} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
find_path(PCRE2_INCLUDE_DIR pcre2.h PATH_SUFFIXES include ${_pcre2_where})
find_library(PCRE2_8BIT_LIBRARY NAMES libpcre2-8.a pcre2-8 PATH_SUFFIXES lib ${_pcre2_where})
unset(_pcre2_where)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(PCRE2 REQUIRED_VARS PCRE2_8BIT_LIBRARY PCRE2_INCLUDE_DIR)
mark_as_advanced(PCRE2_INCLUDE_DIR PCRE2_8BIT_LIBRARY)

if(PCRE2_FOUND)
  add_library(PCRE2::8BIT UNKNOWN IMPORTED)
  set_target_properties(PCRE2::8BIT PROPERTIES
    IMPORTED_LOCATION ${PCRE2_8BIT_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${PCRE2_INCLUDE_DIR})
  # On Windows the header declares the functions imported from a DLL unless
  # told that the library is static.
  if(PCRE2_8BIT_LIBRARY MATCHES "\\.a$" AND NOT PCRE2_8BIT_LIBRARY MATCHES "\\.dll\\.a$")
    set_target_properties(PCRE2::8BIT PROPERTIES INTERFACE_COMPILE_DEFINITIONS PCRE2_STATIC)
  endif()
endif()
