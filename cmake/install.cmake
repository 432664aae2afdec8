# What `cmake --install` puts under the prefix:
#   lib/libzel.so, lib/libqar.so        the engine and its host layer
#   bin/zelshow                         the host program
#   include/zel/..., include/qar/...    the headers, by the paths a host uses in the build tree
#   lib/cmake/zel/                      the CMake package: find_package(zel) gives zel::zel
#   lib/pkgconfig/zel.pc                the pkg-config file
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zel)

# Include folders of the build tree hold for building only; the installed targets find their
# headers under the one include root.
foreach(t zel qar)
  get_target_property(dirs ${t} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped)
  foreach(d IN LISTS dirs)
    list(APPEND wrapped "$<BUILD_INTERFACE:${d}>")
  endforeach()
  set_property(TARGET ${t} PROPERTY INTERFACE_INCLUDE_DIRECTORIES
    ${wrapped} "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
endforeach()

# Installed, the libraries find each other and zelshow finds them by relative paths.
file(RELATIVE_PATH ZEL_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(zel qar PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS zel qar EXPORT zelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET zelshow)
  set_target_properties(zelshow PROPERTIES INSTALL_RPATH "$ORIGIN/${ZEL_BIN_TO_LIB}")
  install(TARGETS zelshow RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET zel-webview)
  install(TARGETS zel-webview RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zel)
endif()

# Every header of the engine (backend folders included) and of the host layer.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/zel/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zel
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/qar/include/qar/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qar
  FILES_MATCHING PATTERN "*.h")

# The CMake package.
install(EXPORT zelTargets NAMESPACE zel:: FILE zelTargets.cmake
  DESTINATION ${ZEL_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zelConfig.cmake INSTALL_DESTINATION ${ZEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zelConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zelConfigVersion.cmake DESTINATION ${ZEL_INSTALL_CMAKEDIR})

# The pkg-config file names its folders relative to where it lies, so that the tree can be
# installed under any prefix (cmake --install --prefix) and moved.
file(RELATIVE_PATH ZEL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" ZEL_PC_TO_PREFIX "${ZEL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
