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
