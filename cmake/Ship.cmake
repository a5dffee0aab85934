# Release builds of what is shipped: optimised and stripped, the debug
# information kept apart in <file>.debug beside it, which a debugger finds
# through the program's debug link. The Windows release presets optimise
# with -O2 (and PCRE2 for size, scripts/pcre2-cross): with -O3 launcher.exe
# grew past 1 MiB, and nothing on its way is measured to gain from -O3.
option(GREEN_SPLIT_DEBUG "Strip shipped programs, their debug information kept apart" OFF)
if(GREEN_SPLIT_DEBUG)
  add_compile_options(-g)
endif()

# green_ship(TARGET): strips TARGET after each link when GREEN_SPLIT_DEBUG.
function(green_ship target)
  if(NOT GREEN_SPLIT_DEBUG)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  set(strip --strip-all)
  if(type STREQUAL "MODULE_LIBRARY" OR type STREQUAL "SHARED_LIBRARY")
    set(strip --strip-unneeded)
  endif()
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} ${strip} ${file}
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${file}.debug ${file}
    VERBATIM)
endfunction()

if(NOT WIN32)
  # Release builds put each function and datum in a section of its own,
  # and the linker keeps only those something reaches: a program uses a
  # fraction of the runtime's libraries, and what it never calls is neither
  # loaded nor relocated at its start. (PE links gain nothing by it: the
  # sections of zeroed data become initialised data there, and the file
  # grows.)
  add_compile_options("$<$<CONFIG:Release>:-ffunction-sections;-fdata-sections>")
  add_link_options("$<$<CONFIG:Release>:LINKER:--gc-sections>")
  # The loader applies a program's relative relocations (a PIE has one per
  # vtable slot and pointer in data) from a packed list instead of one
  # 24-byte record each: fewer pages read and fewer instructions at start.
  # It needs glibc 2.36 where the program runs.
  include(CheckLinkerFlag)
  check_linker_flag(CXX "LINKER:-z,pack-relative-relocs" GREEN_LINKER_PACKS_RELOCS)
  if(GREEN_LINKER_PACKS_RELOCS)
    add_link_options("$<$<CONFIG:Release>:LINKER:-z,pack-relative-relocs>")
  endif()
endif()

# green_cold(TARGET [SOURCES...]): TARGET's code, or only SOURCES of it,
# runs once or on demand (start-up, the prompt's form, diagnostics):
# release builds optimise it for size.
function(green_cold target)
  set(size "$<$<AND:$<CONFIG:Release>,$<COMPILE_LANGUAGE:CXX>>:-Os>")
  if(ARGN)
    set_source_files_properties(${ARGN} TARGET_DIRECTORY ${target} PROPERTIES COMPILE_OPTIONS "${size}")
  else()
    target_compile_options(${target} PRIVATE "${size}")
  endif()
endfunction()
