# Layering the build enforces. Every folder's library exposes only its own
# headers: its include directory lies in the build tree and holds one link,
# named after the folder, to that folder alone (build/layers/stream/stream ->
# <source>/stream). "stream/uOrvTnStream.h" is therefore found only by targets
# that link tn_stream, and the folders link only downward:
#   platform <- log <- config <- display <- stream <- telnet <- component
#   fields is a leaf on platform; sim (the test host) uses only platform.
# An include of a higher layer fails to compile; scripts/check-layers names
# such a line before the build runs.
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
