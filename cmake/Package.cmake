# The package as users take it:
#  - tn3270::tn3270, one static library libtn3270.a holding every layer's
#    objects ("Telnet.ini" is then read beside the program);
#  - pktn3270.dso, the package's shared module. Its file name is chosen so
#    that the service name (the name less its first two and last four
#    characters, upper-cased) is "TN3270"; "Telnet.ini" is read beside it.
# Both install with the headers (include/tn3270/<folder>/), a CMake package
# config (find_package(tn3270)) and a pkg-config file (tn3270.pc). Consumers
# compile with C++20 or later: the CMake targets carry cxx_std_20 as a
# compile feature; pkg-config users pass -std=c++20 (or later) themselves.
# Everything installed is relocatable: the CMake files and tn3270.pc find
# the prefix from their own location.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TN_LAYER_LIBS tn_operator tn_component tn_extract tn_telnet tn_fields tn_stream tn_display tn_config tn_log tn_platform)
set(TN_HEADER_DIRS platform log config display stream fields telnet component)

set(_objects "")
set(_build_includes "")
foreach(_lib ${TN_LAYER_LIBS})
  list(APPEND _objects $<TARGET_OBJECTS:${_lib}>)
endforeach()
foreach(_dir ${TN_HEADER_DIRS})
  list(APPEND _build_includes ${PROJECT_BINARY_DIR}/layers/${_dir})
endforeach()
list(APPEND _build_includes ${PROJECT_BINARY_DIR}/generated/config)

# What a consumer of either form gets: the headers, C++20, the threads.
function(tn_package_interface target)
  target_include_directories(${target} INTERFACE
    "$<BUILD_INTERFACE:${_build_includes}>" $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tn3270>)
  target_compile_features(${target} INTERFACE cxx_std_20)
endfunction()

# The layers' objects as they are (no second compile). A static archive only
# pulls the objects a program references; the start-up object comes with the
# module globals every stream reads, the registration with the component.
add_library(tn3270 STATIC ${_objects})
add_library(tn3270::tn3270 ALIAS tn3270)
target_link_libraries(tn3270 INTERFACE Threads::Threads ${CMAKE_DL_LIBS} OpenSSL::SSL OpenSSL::Crypto)
tn_package_interface(tn3270)

# Built from every layer's object files, so that the package's start-up
# object and the registration are in the module whether referenced or not.
add_library(pktn3270 SHARED ${PROJECT_SOURCE_DIR}/cmake/module_anchor.cpp ${_objects})
target_link_libraries(pktn3270 PRIVATE Threads::Threads ${CMAKE_DL_LIBS} OpenSSL::SSL OpenSSL::Crypto)
target_include_directories(pktn3270 PRIVATE ${PROJECT_BINARY_DIR}/generated/config)
target_link_options(pktn3270 PRIVATE -Wl,--no-undefined)
tn_package_interface(pktn3270)
set_target_properties(pktn3270 PROPERTIES PREFIX "" OUTPUT_NAME pktn3270 SUFFIX ".dso")

install(TARGETS tn3270 pktn3270 EXPORT tn3270Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/tn3270)
foreach(_dir ${TN_HEADER_DIRS})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tn3270/${_dir}
    FILES_MATCHING PATTERN "*.h")
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/generated/config/config/uTnVersion.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tn3270/config)
install(EXPORT tn3270Targets NAMESPACE tn3270:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tn3270)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake.in
  "@PACKAGE_INIT@\ninclude(CMakeFindDependencyMacro)\nfind_dependency(Threads)\nfind_dependency(OpenSSL 3)\ninclude(\"\${CMAKE_CURRENT_LIST_DIR}/tn3270Targets.cmake\")\n")
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tn3270)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tn3270ConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tn3270Config.cmake ${CMAKE_CURRENT_BINARY_DIR}/tn3270ConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tn3270)

# The pkg-config file finds the prefix from its own directory
# (<prefix>/<libdir>/pkgconfig), so `cmake --install build --prefix DIR`
# gives a file that points at DIR.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _pc_up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" _pc_up "${_pc_up}")
  set(_pc_prefix "\${pcfiledir}/${_pc_up}")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/tn3270.pc
"# Consumers compile with C++20 or later (-std=c++20).
prefix=${_pc_prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/tn3270

Name: tn3270
Description: TN3270E client component: 3270 data stream, screen, field lists, attention keys
Version: ${PROJECT_VERSION}
Cflags: -I\${includedir}
Libs: -L\${libdir} -ltn3270 -lssl -lcrypto -lpthread -ldl
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tn3270.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
