# Third-party libraries, all from Debian packages.
find_package(Threads REQUIRED)

if(WIN32)
  # One self-contained executable: no libgcc/libstdc++/winpthread DLLs beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Fibers are address space: large-address-aware, a 32-bit process gets
    # 4 GiB of it on 64-bit Windows (and Wine) instead of 2 GiB.
    add_link_options(-Wl,--large-address-aware)
  endif()
else()
  # Nothing of ours is exported from a program: with hidden symbols the
  # loader has nothing of ours to bind.
  set(CMAKE_CXX_VISIBILITY_PRESET hidden)
  set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
  # Static: the runtime then needs no Boost library at run time.
  set(Boost_USE_STATIC_LIBS ON)
  find_package(Boost 1.74 CONFIG REQUIRED COMPONENTS context)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Pcre2.cmake)

if(GREEN_BUILD_TESTS)
  # Built from source with the project's own flags, so the sanitizers and the
  # cross compiler see the same code as the tests.
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  include(GoogleTest)
endif()

if(GREEN_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
