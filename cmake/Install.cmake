# What `cmake --install` lays out for a project that uses the runtime: the
# static libraries, the public headers, and two ways to find them,
# lib/cmake/green/greenConfig.cmake (find_package(green), targets green::*)
# and lib/pkgconfig/green.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(GREEN_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
set(GREEN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/green)

set(green_exported green_base green_platform green_gc green_runtime green_ovo green_api)
foreach(target IN LISTS green_exported)
  string(REGEX REPLACE "^green_" "" name ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  # The installed names work in the tree too: examples read the same in both.
  add_library(green::${name} ALIAS ${target})
endforeach()
install(TARGETS ${green_exported} EXPORT greenTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT greenTargets NAMESPACE green:: DESTINATION ${GREEN_INSTALL_CMAKEDIR})

# The public headers only: the runtime's own stay in the tree, behind
# green::api.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/green DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# Windows has no PCRE2 of its own: the cross-built one goes along, apart in
# lib/green/pcre2 so that it overwrites nobody's, with its licence.
set(GREEN_BUNDLES_PCRE2 OFF)
set(GREEN_PC_LIBS)
if(WIN32)
  set(GREEN_BUNDLES_PCRE2 ON)
  set(GREEN_INSTALL_PCRE2DIR ${CMAKE_INSTALL_LIBDIR}/green/pcre2)
  install(FILES ${PCRE2_8BIT_LIBRARY} DESTINATION ${GREEN_INSTALL_PCRE2DIR}/lib)
  install(FILES ${PCRE2_INCLUDE_DIR}/pcre2.h DESTINATION ${GREEN_INSTALL_PCRE2DIR}/include)
  install(FILES ${GREEN_PCRE2_PREFIX}/LICENCE DESTINATION ${GREEN_INSTALL_PCRE2DIR} OPTIONAL)
  list(APPEND GREEN_PC_LIBS "-L\${libdir}/green/pcre2/lib")
endif()
get_filename_component(pcre2_file ${PCRE2_8BIT_LIBRARY} NAME)
list(APPEND GREEN_PC_LIBS -l:${pcre2_file})
set(GREEN_NEEDS_BOOST_CONTEXT OFF)
if(NOT WIN32)
  # The posix backend: fibers on Boost.Context, libraries loaded at run
  # time.
  set(GREEN_NEEDS_BOOST_CONTEXT ON)
  list(APPEND GREEN_PC_LIBS -l:libboost_context.a -ldl)
endif()
list(APPEND GREEN_PC_LIBS -pthread)
list(JOIN GREEN_PC_LIBS " " GREEN_PC_LIBS)

set(config_dir ${CMAKE_CURRENT_BINARY_DIR}/package)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/greenConfig.cmake.in
  ${config_dir}/greenConfig.cmake INSTALL_DESTINATION ${GREEN_INSTALL_CMAKEDIR})
# A 32-bit package is not offered to a 64-bit project, nor the other way.
write_basic_package_version_file(${config_dir}/greenConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${config_dir}/greenConfig.cmake ${config_dir}/greenConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/FindPCRE2.cmake DESTINATION ${GREEN_INSTALL_CMAKEDIR})

file(RELATIVE_PATH GREEN_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" GREEN_PC_TO_PREFIX ${GREEN_PC_TO_PREFIX})
configure_file(${CMAKE_CURRENT_LIST_DIR}/package/green.pc.in ${config_dir}/green.pc @ONLY)
install(FILES ${config_dir}/green.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
