# The Debian package: `cpack -G DEB` in a build directory. Everything lives in
# /opt/quorvane (the program finds its libraries through $ORIGIN/../lib); the
# service unit and the configuration it restores go to their usual places, and
# the service keeps velmarc.cfg in its state folder (/var/lib/quorvane).
#
# Both libraries are deliverables of their own: the package carries their C
# headers, pkg-config files and CMake package files, so that another program
# builds against /opt/quorvane with
#   PKG_CONFIG_PATH=/opt/quorvane/lib/pkgconfig pkg-config --cflags --libs pellacor
# or find_package(Pellacor) / find_package(Ostrand) with
# CMAKE_PREFIX_PATH=/opt/quorvane. The components "libraries" and "development"
# hold exactly that, so `cmake --install DIR --prefix P --component ...` puts
# them under any prefix without touching /etc or /lib.
if(NOT TARGET pellacor OR NOT TARGET ostrand)
  return()
endif()

include(CMakePackageConfigHelpers)
set(QV_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# qv_install_library(TARGET pellacor PACKAGE Pellacor HEADER path)
function(qv_install_library)
  cmake_parse_arguments(I "" "TARGET;PACKAGE;HEADER" "" ${ARGN})
  install(TARGETS ${I_TARGET} EXPORT ${I_PACKAGE}Targets
          LIBRARY DESTINATION lib COMPONENT libraries NAMELINK_COMPONENT development)
  install(FILES ${I_HEADER} DESTINATION include COMPONENT development)

  get_target_property(QV_PC_VERSION ${I_TARGET} VERSION)
  configure_file(${QV_PACKAGING_DIR}/${I_TARGET}.pc.in ${CMAKE_BINARY_DIR}/cpack/${I_TARGET}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/cpack/${I_TARGET}.pc DESTINATION lib/pkgconfig COMPONENT development)

  set(cmake_dir lib/cmake/${I_PACKAGE})
  install(EXPORT ${I_PACKAGE}Targets NAMESPACE ${I_PACKAGE}:: DESTINATION ${cmake_dir} COMPONENT development)
  set(QV_CFG_NAME ${I_PACKAGE})
  set(QV_CFG_TARGET ${I_TARGET})
  configure_file(${QV_PACKAGING_DIR}/QvLibraryConfig.cmake.in
                 ${CMAKE_BINARY_DIR}/cpack/${I_PACKAGE}Config.cmake @ONLY)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/cpack/${I_PACKAGE}ConfigVersion.cmake
                                   VERSION ${QV_PC_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/cpack/${I_PACKAGE}Config.cmake
                ${CMAKE_BINARY_DIR}/cpack/${I_PACKAGE}ConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT development)
endfunction()

qv_install_library(TARGET pellacor PACKAGE Pellacor HEADER ${PROJECT_SOURCE_DIR}/pellacor/include/pellacor.h)
qv_install_library(TARGET ostrand PACKAGE Ostrand HEADER ${PROJECT_SOURCE_DIR}/ostrand/include/ostrand.h)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.csv DESTINATION share)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.csv DESTINATION /etc/quorvane RENAME quorvane.csv)
install(FILES ${QV_PACKAGING_DIR}/quorvane.service ${QV_PACKAGING_DIR}/quorvane@.service
        DESTINATION /lib/systemd/system)

set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OPC-to-Modbus gateway with its Modbus slave and OPC client libraries")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/quorvane)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane maintainers <maintainers@quorvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6core6 (>= 6.4), libstdc++6, libc6, libsystemd0, libmicrohttpd12, adduser")
# The service's configuration is the operator's: kept over upgrades. The
# service's system user is made on installation.
file(WRITE ${CMAKE_BINARY_DIR}/cpack/conffiles "/etc/quorvane/quorvane.csv\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/cpack/conffiles ${QV_PACKAGING_DIR}/deb/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
include(CPack)
