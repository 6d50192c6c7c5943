# Signs one file in place (Authenticode, SHA-256) with osslsigncode:
#   cmake -DTC_SIGN_CONFIG=<sign-config.cmake> -DTC_SIGN_FILE=<file> -P sign.cmake
# The configuration, written by the build, sets TC_OSSLSIGNCODE,
# TC_SIGN_PKCS12, TC_SIGN_PASSWORD_FILE and TC_SIGN_TIMESTAMP_URL.
cmake_minimum_required(VERSION 3.25)
if(NOT TC_SIGN_CONFIG OR NOT TC_SIGN_FILE)
  message(FATAL_ERROR "usage: cmake -DTC_SIGN_CONFIG=<file> -DTC_SIGN_FILE=<file> -P sign.cmake")
endif()
include(${TC_SIGN_CONFIG})

# The password goes through its file, never the command line.
set(args sign -pkcs12 ${TC_SIGN_PKCS12} -readpass ${TC_SIGN_PASSWORD_FILE} -h sha256
    -n "Tolvenar Connector")
if(TC_SIGN_TIMESTAMP_URL)
  list(APPEND args -ts ${TC_SIGN_TIMESTAMP_URL})
endif()
set(signed "${TC_SIGN_FILE}.signed")
file(REMOVE "${signed}")
execute_process(
  COMMAND ${TC_OSSLSIGNCODE} ${args} -in ${TC_SIGN_FILE} -out ${signed}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "osslsigncode could not sign ${TC_SIGN_FILE} (${result}):\n${output}")
endif()
file(RENAME "${signed}" "${TC_SIGN_FILE}")
