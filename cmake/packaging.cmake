# `make package`: one .deb per architecture with the plug-in, the poller,
# the simulator, the docs, the systemd template unit and a sample site.
#
# Everything private lives in /usr/lib/vx42b: the plug-in and the stand-in
# host library the programs link. The programs find the library through a
# RUNPATH relative to themselves, and the poller looks for the plug-in there,
# so an unpacked tree (dpkg -x) works as the installed one does.
set(VX42B_PKG_LIBDIR lib/vx42b)
set(VX42B_PKG_DOCDIR share/doc/vx42b)

install(TARGETS vx42b vx42b_host LIBRARY DESTINATION ${VX42B_PKG_LIBDIR} PERMISSIONS
        OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS vx42b-poll vx42b-sim RUNTIME DESTINATION bin)
set_target_properties(vx42b-poll vx42b-sim PROPERTIES INSTALL_RPATH "$ORIGIN/../${VX42B_PKG_LIBDIR}")

install(FILES README.md ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${VX42B_PKG_DOCDIR})
install(FILES packaging/site.json packaging/site.env packaging/vx42b-alerts.yml DESTINATION ${VX42B_PKG_DOCDIR}/examples)
# The guides, where the README's links find them.
install(DIRECTORY docs/ DESTINATION ${VX42B_PKG_DOCDIR}/docs FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
# Debian wants the changelog compressed, the same bytes on every build.
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog VERBATIM)
add_custom_target(vx42b_changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${VX42B_PKG_DOCDIR})
# Debian 12 keeps units in /lib; the package's prefix is /usr.
install(FILES packaging/vx42b-poll@.service DESTINATION ../lib/systemd/system)

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${arch})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vx42b)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "vx42b developers <vx42b@example.com>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver plug-in, poller and simulator for VX42B DC power systems")
set(CPACK_PACKAGE_DESCRIPTION
    "The vx42b plug-in polls a telecom DC power system of the VX42B family\n"
    "over a serial line (YD/T 1363.3). vx42b-poll runs it without the\n"
    "customer's host: a live screen, JSON lines, a cache, a history file, and\n"
    "`vx42b-poll discover` to write a site's configuration. The unit\n"
    "vx42b-poll@SITE.service polls the site described by /etc/vx42b/SITE.json.\n"
    "vx42b-sim simulates a power system for tests and training.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# Debian 12's library packages; the same names on amd64 and armhf.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libjsoncpp25, libfmt9, libsqlite3-0, libncursesw6, libtinfo6, libsystemd0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
