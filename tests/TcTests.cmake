# Registers the test binaries with ctest: this build's own, the Windows
# build's under Wine, and those of the other Linux builds (sanitizers).
if(NOT WIN32)
  add_test(NAME linux_tests COMMAND tc_tests)
  foreach(dir IN LISTS TC_EXTRA_LINUX_BUILD_DIRS)
    get_filename_component(name ${dir} NAME)
    add_test(NAME ${name}_tests COMMAND ${dir}/tests/tc_tests)
  endforeach()
  if(TC_WINDOWS_BUILD_DIR)
    add_test(NAME windows_tests
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${TC_WINDOWS_BUILD_DIR}/tests/tc_tests.exe)
    add_test(NAME windows_tls_tests
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-tls-tests.sh ${TC_WINDOWS_BUILD_DIR}/tests/tc_tests.exe)
    # The service under Wine's service control manager, in a Wine prefix of
    # its own.
    add_test(NAME windows_service_life
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/host/windows/service_life.sh ${TC_WINDOWS_BUILD_DIR})
  endif()
endif()
