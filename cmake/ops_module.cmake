# add_ops_module(<name> SOURCES <files...> [LIBRARIES <targets...>] [NO_INSTALL])
#
# A Python extension module of ops: built with the shared start-up and payload conversions,
# exporting nothing but its init function, finding its shared libraries in .dylibs beside it.
function(add_ops_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_INSTALL" "" "SOURCES;LIBRARIES")
  pybind11_add_module(${name} MODULE ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ops_common ${arg_LIBRARIES})

  set(version_script "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
  file(WRITE "${version_script}" "{ global: PyInit_${name}; local: *; };\n")
  target_link_options(${name} PRIVATE "LINKER:--version-script=${version_script}")
  set_target_properties(${name} PROPERTIES LINK_DEPENDS "${version_script}"
    INSTALL_RPATH "$ORIGIN/.dylibs" BUILD_RPATH "${TARNWELL_DYLIBS_DIR}")
  add_dependencies(${name} dylibs)

  if(NOT arg_NO_INSTALL)
    install(TARGETS ${name} LIBRARY DESTINATION .)
  endif()
endfunction()
