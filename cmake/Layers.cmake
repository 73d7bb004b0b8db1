# Layering the build enforces. Every folder's library exposes only its own
# headers: its include directory lies in the build tree and holds one link,
# named after the folder, to that folder alone (build/layers/stream/stream ->
# <source>/stream). "stream/uOrvTnStream.h" is therefore found only by targets
# that link tn_stream, and the folders link only downward:
#   platform <- log <- config <- display <- stream <- telnet <- component
#   fields is a leaf on platform; sim (the test host) uses only platform;
#   gen (the build-time generators) uses none of them.
# An include of a higher layer fails to compile; scripts/check-layers names
# such a line before the build runs. The front ends above the component are
# checked by the build itself (tn_front_end below).
include(GNUInstallDirs)

function(tn_layer_headers target folder)
  set(_root ${PROJECT_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${_root}/${folder})
    file(MAKE_DIRECTORY ${_root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${_root}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${_root}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tn3270>)
endfunction()

# The front ends (tools/, python/) see every layer's headers through the
# component they link, but may include only the component and the folders
# it publishes (scripts/check-layers says which). The build checks that
# before it compiles them: tn_front_end(target folder) makes the target
# wait for scripts/check-layers on that folder, run again whenever a source
# of the folder changes, so an include of a lower layer fails the build with
# the offending line named.
find_program(TN_BASH bash)
function(tn_front_end target folder)
  if(NOT TARGET tn_layers_${folder})
    file(GLOB _sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
    set(_stamp ${PROJECT_BINARY_DIR}/layers/${folder}.checked)
    add_custom_command(OUTPUT ${_stamp}
      COMMAND ${TN_BASH} ${PROJECT_SOURCE_DIR}/scripts/check-layers ${folder}
      COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
      DEPENDS ${_sources} ${PROJECT_SOURCE_DIR}/scripts/check-layers
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      COMMENT "Checking the includes of ${folder}/"
      VERBATIM)
    add_custom_target(tn_layers_${folder} DEPENDS ${_stamp})
  endif()
  add_dependencies(${target} tn_layers_${folder})
endfunction()
