# The package as users take it:
#  - tn3270::tn3270, the static libraries of every layer (what the tools and
#    tests link; "Telnet.ini" is then read beside the program);
#  - pktn3270.dso, the package's shared module. Its file name is chosen so
#    that the service name (the name less its first two and last four
#    characters, upper-cased) is "TN3270"; "Telnet.ini" is read beside it.
# Both install with headers, a CMake package config and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TN_LAYER_LIBS tn_component tn_extract tn_telnet tn_fields tn_stream tn_display tn_config tn_log tn_platform)

add_library(tn3270 INTERFACE)
add_library(tn3270::tn3270 ALIAS tn3270)
target_link_libraries(tn3270 INTERFACE ${TN_LAYER_LIBS})

# Built from every layer's object files, so that the package's start-up
# object and the registration are in the module whether referenced or not.
set(_objects "")
foreach(_lib ${TN_LAYER_LIBS})
  list(APPEND _objects $<TARGET_OBJECTS:${_lib}>)
endforeach()
add_library(pktn3270 SHARED ${PROJECT_SOURCE_DIR}/cmake/module_anchor.cpp ${_objects})
target_link_libraries(pktn3270 PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
target_link_options(pktn3270 PRIVATE -Wl,--no-undefined)
target_include_directories(pktn3270 INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tn3270>)
set_target_properties(pktn3270 PROPERTIES PREFIX "" OUTPUT_NAME pktn3270 SUFFIX ".dso")

# The folders name the source tree as their include root; installed, the
# headers live under include/tn3270 with the same folder names.
foreach(_lib ${TN_LAYER_LIBS})
  set_property(TARGET ${_lib} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
    "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tn3270>")
endforeach()

install(TARGETS tn3270 ${TN_LAYER_LIBS} pktn3270 EXPORT tn3270Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tn3270)
foreach(_dir platform log config display stream fields telnet component)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tn3270/${_dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(EXPORT tn3270Targets NAMESPACE tn3270:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tn3270)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake.in
  "@PACKAGE_INIT@\ninclude(CMakeFindDependencyMacro)\nfind_dependency(Threads)\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/tn3270Targets.cmake\")\n")
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tn3270)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tn3270ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/tn3270ConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tn3270)

set(_libs "")
foreach(_lib ${TN_LAYER_LIBS})
  string(APPEND _libs " -l${_lib}")
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tn3270.pc
"prefix=${CMAKE_INSTALL_PREFIX}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/tn3270

Name: tn3270
Description: TN3270E client component: 3270 data stream, screen, field lists, attention keys
Version: ${PROJECT_VERSION}
Cflags: -I\${includedir} -std=c++20
Libs: -L\${libdir} -Wl,--start-group${_libs} -Wl,--end-group -lpthread -ldl
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tn3270.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
