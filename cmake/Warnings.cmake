# Common warnings for the project's own targets.
function(green_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wno-unused-parameter)
  if(GREEN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
