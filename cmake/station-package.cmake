# The station as a Debian package: cpack -G DEB in the build directory makes
# rfprobe-station_<version>_<arch>.deb from the install component "station"
# (tools/CMakeLists.txt).  Its run-time dependencies come from
# dpkg-shlibdeps (package dpkg-dev) on the installed program.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rfprobe)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "rfprobe developers <rfprobe@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "factory RF test station for the router's rfprobe agent")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL station)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_STATION_PACKAGE_NAME rfprobe-station)
set(CPACK_DEBIAN_STATION_PACKAGE_SECTION net)
set(CPACK_DEBIAN_STATION_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_STATION_PACKAGE_SUGGESTS "tshark | wireshark")
set(CPACK_COMPONENT_STATION_DESCRIPTION
    "rfprobe drives the router's RF test agent from a station PC: test plans with\n limits and verdicts, records in SQLite or PostgreSQL, several units at once.\n Ships the plans, the manual and a Wireshark dissector for test frames.")
include(CPack)
