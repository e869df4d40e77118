# What `cmake --install` lays out, in two components:
#   Runtime      the library (bin/pelvane.dll or lib/libpelvane.so.X.Y.Z) and the programs
#   Development  include/pelvane.h and pelvane.hpp, the import library or the
#                libpelvane.so link, lib/cmake/Pelvane (PelvaneConfig.cmake and its
#                version file) and lib/pkgconfig/pelvane.pc
# scripts/package.sh puts the Development files of the MinGW builds into the zips.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PELVANE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
set(PELVANE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
set(PELVANE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
set(PELVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Pelvane)
set(PELVANE_LIBRARY_FILE libpelvane.so.${PROJECT_VERSION})
set(PELVANE_LIBRARY_SONAME libpelvane.so.${PROJECT_VERSION_MAJOR})

install(TARGETS pelvane
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES ${PROJECT_SOURCE_DIR}/include/pelvane.h ${PROJECT_SOURCE_DIR}/include/pelvane.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
foreach(program pelvane_cli pelvane-sim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
  endif()
endforeach()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/PelvaneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/PelvaneConfig.cmake
  INSTALL_DESTINATION ${PELVANE_CMAKE_DIR})
# Any 1.x serves a request for 1.y with y <= x; the width of pointers must match
# (a 64-bit project is not offered the 32-bit DLL).
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/PelvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/PelvaneConfig.cmake ${CMAKE_BINARY_DIR}/package/PelvaneConfigVersion.cmake
  DESTINATION ${PELVANE_CMAKE_DIR} COMPONENT Development)

# pelvane.pc finds its prefix from its own folder (pcfiledir), so the tree can move.
file(RELATIVE_PATH PELVANE_PC_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" PELVANE_PC_PREFIX "${PELVANE_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/pelvane.pc.in ${CMAKE_BINARY_DIR}/package/pelvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/pelvane.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)
