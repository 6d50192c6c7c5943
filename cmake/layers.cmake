# Each folder under src/ is one layer: one static library, tc_<folder>,
# that links exactly the layers its DEPS file names. The same DEPS files
# are what scripts/check_layers.py holds every include line to, so the
# direction written there is the one the build links and the one the check
# enforces.

# tc_layer(<folder> SOURCES <files...>)
function(tc_layer folder)
  cmake_parse_arguments(L "" "" "SOURCES" ${ARGN})
  set(target tc_${folder})
  add_library(${target} STATIC ${L_SOURCES})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/DEPS lines)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/DEPS)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    target_link_libraries(${target} PUBLIC tc_${line})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY TC_LAYER_TARGETS ${target})
endfunction()
