# vorn_target_warnings(<target>): the project's warning flags for one of its own targets.
function(vorn_target_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
  if(VORN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
