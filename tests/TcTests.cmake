# Registers the test binaries with ctest: this build's own, the Windows
# build's under Wine, those of the other Linux builds (sanitizers), and a
# short run of the fuzz targets.
if(NOT WIN32)
  # The package installation takes over the machine key's folder that every
  # connector run by root uses: it runs alone, after the others.
  add_test(NAME linux_tests COMMAND tc_tests --gtest_filter=-DebInstallTest.*)
  add_test(NAME linux_package_install COMMAND tc_tests --gtest_filter=DebInstallTest.*)
  set_tests_properties(linux_package_install PROPERTIES RUN_SERIAL TRUE)
  # The package under a real systemd, in a container booted for the run;
  # its first run also makes the container's root (debootstrap).
  if(TC_DEB_FILE)
    add_test(NAME linux_package_systemd
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/linux/systemd_life.sh ${PROJECT_BINARY_DIR}
                     ${TC_DEB_FILE} $<TARGET_FILE:tolvenar-reference-server>
                     $<TARGET_FILE:tolvenar-sample-local-api>)
    set_tests_properties(linux_package_systemd PROPERTIES RUN_SERIAL TRUE SKIP_RETURN_CODE 77
                                                          TIMEOUT 3600)
  endif()
  foreach(dir IN LISTS TC_EXTRA_LINUX_BUILD_DIRS)
    get_filename_component(name ${dir} NAME)
    # TC_EXTRA_LINUX_TEST_FILTERS holds <tree folder name>=<gtest filter>.
    set(filter_args)
    foreach(entry IN LISTS TC_EXTRA_LINUX_TEST_FILTERS)
      if(entry MATCHES "^${name}=(.+)$")
        set(filter_args --gtest_filter=${CMAKE_MATCH_1})
      endif()
    endforeach()
    add_test(NAME ${name}_tests COMMAND ${dir}/tests/tc_tests ${filter_args})
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
    # The setup program: install, upgrade and uninstall in a Wine prefix of
    # its own, against the reference servers.
    add_test(NAME windows_setup
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/setup_test.sh ${TC_WINDOWS_BUILD_DIR}
                     $<TARGET_FILE:tolvenar-reference-server> $<TARGET_FILE:tolvenar-sample-local-api>)
    # The release artefacts: the stripped executable, its debug information,
    # the size of the setup.
    add_test(NAME windows_release
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/release_test.sh ${TC_WINDOWS_BUILD_DIR})
    # Both may bring the Windows tree's setup up to date: one at a time.
    set_tests_properties(windows_setup windows_release PROPERTIES
                         SKIP_RETURN_CODE 77 RESOURCE_LOCK windows_build_tree)
    # A signed build with a throwaway certificate, in a Windows tree of its
    # own beside the other (kept between runs).
    add_test(NAME windows_signing
             COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/signing_test.sh
                     ${PROJECT_SOURCE_DIR} ${TC_WINDOWS_BUILD_DIR})
    set_tests_properties(windows_signing PROPERTIES SKIP_RETURN_CODE 77)
    # The setup's file name and the version it registers.
    set_tests_properties(windows_setup windows_release windows_signing PROPERTIES
                         ENVIRONMENT TC_VERSION=${PROJECT_VERSION})
  endif()
  if(TC_FUZZ_BUILD_DIR)
    add_test(NAME fuzz_targets
             COMMAND ${PROJECT_SOURCE_DIR}/scripts/fuzz-run.sh ${TC_FUZZ_BUILD_DIR} 10)
  endif()
endif()
