# Resources of the Windows executable: the version resource and manifest
# (version from the project's), and the message table that makes it the
# message file of its event sources.
set(TC_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
set(TC_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
set(tc_res_dir ${CMAKE_BINARY_DIR}/resources)
set(TC_MANIFEST_FILE ${tc_res_dir}/TolvenarConnector.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/TolvenarConnector.manifest.in ${TC_MANIFEST_FILE} @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/TolvenarConnector.rc.in ${tc_res_dir}/TolvenarConnector.rc @ONLY)

find_program(TC_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
add_custom_command(
  OUTPUT ${tc_res_dir}/messages.rc ${tc_res_dir}/MSG00001.bin
  COMMAND ${TC_WINDMC} -h ${tc_res_dir} -r ${tc_res_dir} ${CMAKE_CURRENT_LIST_DIR}/messages.mc
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/messages.mc
  COMMENT "Compiling the message table"
  VERBATIM)
target_sources(TolvenarConnector PRIVATE ${tc_res_dir}/TolvenarConnector.rc)
set_source_files_properties(${tc_res_dir}/TolvenarConnector.rc PROPERTIES
  INCLUDE_DIRECTORIES ${tc_res_dir}
  OBJECT_DEPENDS "${tc_res_dir}/messages.rc;${tc_res_dir}/MSG00001.bin;${TC_MANIFEST_FILE}")
