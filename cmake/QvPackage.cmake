# The Debian package: `cpack -G DEB` in a build directory. Everything lives in
# /opt/quorvane (the program finds its libraries through $ORIGIN/../lib and
# keeps velmarc.cfg beside itself in bin/); the service unit and the
# configuration it restores go to their usual places.
if(NOT TARGET pellacor OR NOT TARGET ostrand)
  return()
endif()

install(TARGETS pellacor ostrand LIBRARY DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.csv DESTINATION share)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.csv DESTINATION /etc/quorvane RENAME quorvane.csv)
install(FILES ${PROJECT_SOURCE_DIR}/examples/quorvane.service DESTINATION /lib/systemd/system)

set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OPC-to-Modbus gateway with its Modbus slave and OPC client libraries")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/quorvane)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane maintainers <maintainers@quorvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6core6 (>= 6.4), libstdc++6, libc6")
# The service's configuration is the operator's: kept over upgrades.
file(WRITE ${CMAKE_BINARY_DIR}/cpack/conffiles "/etc/quorvane/quorvane.csv\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/cpack/conffiles)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
include(CPack)
