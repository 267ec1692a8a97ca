# Turns the version set at the top of the tree into a header for the programs
# and their resources, and a shell-readable file for the packaging script.
if(NOT DAVERIDUR_VERSION MATCHES "^([0-9]+)\\.([0-9][0-9])$")
  message(FATAL_ERROR "DAVERIDUR_VERSION must read MAJOR.MINOR with two minor digits, not '${DAVERIDUR_VERSION}'")
endif()
set(DAVERIDUR_VERSION_MAJOR ${CMAKE_MATCH_1})
# "02" is 2 to the resource's numeric fields (and not an octal literal).
string(REGEX REPLACE "^0" "" DAVERIDUR_VERSION_MINOR ${CMAKE_MATCH_2})
if(NOT DAVERIDUR_BUILD MATCHES "^[0-9]+$")
  message(FATAL_ERROR "DAVERIDUR_BUILD must be a number, not '${DAVERIDUR_BUILD}'")
endif()

set(version_dir ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/resources/version.h.in ${version_dir}/daveridur_version.h @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/resources/daveridur.manifest.in ${version_dir}/daveridur.manifest @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/version.env.in ${version_dir}/version.env @ONLY)

add_library(version INTERFACE)
target_include_directories(version INTERFACE ${version_dir})
