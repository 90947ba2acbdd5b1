# vorn_add_plugin(<name> <sources>...): a device-manager plugin as a MODULE library.
#
# The library links vorn::vorn and hides every symbol except the exported `create_manager` alias,
# so one plugin's classes never clash with another's or with the host's. With GCC it is built with
# -fno-gnu-unique: static locals of inline library functions (in the standard headers, too) would
# otherwise get the STB_GNU_UNIQUE binding, which makes the dynamic loader refuse to ever unload
# the plugin. Each RTLD_LOCAL plugin keeps its own copies of them instead.
function(vorn_add_plugin name)
  add_library(${name} MODULE ${ARGN})
  target_link_libraries(${name} PRIVATE vorn::vorn)
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    PREFIX "lib")
  target_compile_features(${name} PRIVATE cxx_std_20)
  target_compile_options(${name} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
endfunction()
