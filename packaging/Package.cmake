# `make package` builds a Debian package of everything `cmake --install` puts
# under /usr.
set(RFSWITCH_MAINTAINER "rfswitch-panel developers <rfswitch-panel@example.org>"
    CACHE STRING "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rfswitch-panel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${RFSWITCH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for an RF switch test board on the parallel port")
set(CPACK_PACKAGE_DESCRIPTION
    "Sets the two control bits of an RF switch test board wired to the PC's\n"
    "parallel (printer) port, with writes that are read back until they verify,\n"
    "and shows the switch state on a schematic. Runs on a simulated port where\n"
    "the machine has no parallel port.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the Qt libraries the panel links (libqt6svg6, which
# also carries Qt's SVG plugins, among them). The platform plugins are loaded,
# not linked, so they are named here: libqt6gui6 (named anyway) and
# qt6-qpa-plugins hold them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Liberation Sans stands in for the Windows face the layout was drawn for;
# without it captions are squeezed to fit.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# VXI-11 clients find the service through the system's port mapper, LAN
# tools through DNS-SD; without them it still answers, and says so.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "rpcbind, avahi-daemon")

# The maintainer scripts stop, disable and forget the service on removal, the
# way Debian's own packages do; the options file is the admin's.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# cpack runs the build tree's install script and never builds: the package
# test runs it while other tests run. The `package` target builds first.
set(CPACK_INSTALL_CMAKE_PROJECTS "")
set(CPACK_INSTALL_SCRIPTS "${PROJECT_BINARY_DIR}/cmake_install.cmake")

include(CPack)
