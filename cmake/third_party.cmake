# Imported targets for the libraries that scripts/bootstrap unpacks under third_party/.
# Neither package ships usable CMake package files, so the targets are declared here. Their
# headers are SYSTEM includes: they do not pass -Werror.
set(TARNWELL_THIRD_PARTY "${CMAKE_SOURCE_DIR}/third_party")
set(duckdb_root "${TARNWELL_THIRD_PARTY}/duckdb")
set(open62541_lib_dir "${TARNWELL_THIRD_PARTY}/open62541/root/usr/lib/x86_64-linux-gnu")
set(open62541_include_dir "${TARNWELL_THIRD_PARTY}/open62541/root/usr/include")

foreach(required IN ITEMS "${duckdb_root}/lib/libduckdb.so" "${open62541_lib_dir}/libopen62541.so.1.4")
  if(NOT EXISTS "${required}")
    message(FATAL_ERROR "${required} is missing: run scripts/bootstrap first")
  endif()
endforeach()

function(add_imported_shared_library target location soname)
  add_library(${target} SHARED IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION "${location}" IMPORTED_SONAME "${soname}")
endfunction()

add_imported_shared_library(third_party::duckdb "${duckdb_root}/lib/libduckdb.so" libduckdb.so)
target_include_directories(third_party::duckdb SYSTEM INTERFACE "${duckdb_root}/include")

add_imported_shared_library(third_party::mbedcrypto "${open62541_lib_dir}/libmbedcrypto.so.16" libmbedcrypto.so.16)
add_imported_shared_library(third_party::mbedx509 "${open62541_lib_dir}/libmbedx509.so.7" libmbedx509.so.7)
add_imported_shared_library(third_party::open62541 "${open62541_lib_dir}/libopen62541.so.1.4" libopen62541.so.1.4)
target_include_directories(third_party::open62541 SYSTEM INTERFACE "${open62541_include_dir}")
set_target_properties(third_party::open62541 PROPERTIES
  INTERFACE_LINK_LIBRARIES "third_party::mbedx509;third_party::mbedcrypto")

# The shared libraries ship in a folder .dylibs beside the modules, as real files under their
# SONAMEs (a wheel holds no symbolic links). Each gets a run path of $ORIGIN so that the
# libraries they need resolve from the same folder.
set(TARNWELL_DYLIBS_DIR "${CMAKE_BINARY_DIR}/dylibs")
find_program(PATCHELF patchelf REQUIRED)
set(dylib_outputs)
foreach(source_and_name IN ITEMS
    "${duckdb_root}/lib/libduckdb.so|libduckdb.so"
    "${open62541_lib_dir}/libopen62541.so.1.4|libopen62541.so.1.4"
    "${open62541_lib_dir}/libmbedcrypto.so.16|libmbedcrypto.so.16"
    "${open62541_lib_dir}/libmbedx509.so.7|libmbedx509.so.7")
  string(REPLACE "|" ";" pair "${source_and_name}")
  list(GET pair 0 source)
  list(GET pair 1 name)
  set(output "${TARNWELL_DYLIBS_DIR}/${name}")
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${TARNWELL_DYLIBS_DIR}"
    COMMAND ${CMAKE_COMMAND} -E copy "${source}" "${output}"
    COMMAND ${PATCHELF} --set-rpath "$ORIGIN" "${output}"
    DEPENDS "${source}"
    VERBATIM)
  list(APPEND dylib_outputs "${output}")
endforeach()
add_custom_target(dylibs ALL DEPENDS ${dylib_outputs})
install(FILES ${dylib_outputs} DESTINATION .dylibs)
