# vorn_add_plugin(<name> <sources>...): a device-manager plugin as a MODULE library.
#
# The library links vorn::vorn and hides every symbol except the exported `create_manager` alias,
# so one plugin's classes never clash with another's or with the host's. With GCC it is also built
# without "unique" symbols (static locals of inline functions in the standard headers get them),
# which would otherwise make the dynamic loader keep the library mapped for good: a plugin is
# unloaded when its last manager, device, stream and chunk are gone.
function(vorn_add_plugin name)
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE vorn::vorn)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    PREFIX "lib")
  target_compile_features(${name} PRIVATE cxx_std_20)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${name} PRIVATE -fno-gnu-unique)
  endif()
endfunction()
