# `make package`: one .deb per architecture with the plug-in, the poller,
# the simulator, the docs, the systemd template unit and a sample site.
#
# Everything private lives in /usr/lib/vx42b: the plug-in and the stand-in
# host library the programs link. The programs find the library through a
# RUNPATH relative to themselves, and the poller looks for the plug-in there,
# so an unpacked tree (dpkg -x) works as the installed one does.
set(VX42B_PKG_LIBDIR lib/vx42b)
set(VX42B_PKG_DOCDIR share/doc/vx42b)
# The version is the changelog's latest entry: upstream version and Debian revision.
execute_process(COMMAND dpkg-parsechangelog -l ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog -SVersion
                OUTPUT_VARIABLE VX42B_PKG_FULL_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "-[^-]*$" "" VX42B_PKG_VERSION ${VX42B_PKG_FULL_VERSION})
string(REGEX REPLACE "^.*-" "" VX42B_PKG_RELEASE ${VX42B_PKG_FULL_VERSION})

install(TARGETS vx42b vx42b_host LIBRARY DESTINATION ${VX42B_PKG_LIBDIR} PERMISSIONS
        OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(TARGETS vx42b-poll vx42b-sim RUNTIME DESTINATION bin)
set_target_properties(vx42b-poll vx42b-sim PROPERTIES INSTALL_RPATH "$ORIGIN/../${VX42B_PKG_LIBDIR}")
# CPack's strip keeps the compilers' .comment notes; Debian's dh_strip drops
# them (lintian: binary-has-unneeded-section), and so do we.
foreach(file bin/vx42b-poll bin/vx42b-sim ${VX42B_PKG_LIBDIR}/libvx42b.so ${VX42B_PKG_LIBDIR}/libvx42b_host.so)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()")
endforeach()

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
# Manual pages from the programs' own --help (help2man), so that they list
# the options the programs take; a cross build asks its programs under the
# emulator. The date is the changelog's, for the same bytes on every build.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(FATAL_ERROR "help2man not found (Debian package help2man; scripts/install-deps.sh installs it)")
endif()
execute_process(COMMAND dpkg-parsechangelog -l ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog -STimestamp
                OUTPUT_VARIABLE changelog_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(vx42b-poll_WHATIS "poll a VX42B DC power system over a serial line")
set(vx42b-sim_WHATIS "simulate a VX42B DC power system on a serial line")
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
foreach(program vx42b-poll vx42b-sim)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1)
  set(runner $<TARGET_FILE:${program}>)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # help2man names the page after the program it runs: a script of that name.
    set(runner ${CMAKE_CURRENT_BINARY_DIR}/man/run/${program})
    string(REPLACE ";" " " emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    file(GENERATE OUTPUT ${runner} CONTENT "#!/bin/sh\nexec ${emulator} $<TARGET_FILE:${program}> \"$@\"\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${changelog_time}
            ${HELP2MAN} --no-info --version-string=${VX42B_PKG_VERSION}
                        --name=${${program}_WHATIS} --section=1
                        --include=${CMAKE_CURRENT_SOURCE_DIR}/packaging/${program}.h2m --output=${page} ${runner}
    COMMAND gzip -9nf ${page}
    DEPENDS ${program} ${CMAKE_CURRENT_SOURCE_DIR}/packaging/${program}.h2m VERBATIM)
  add_custom_target(${program}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION share/man/man1)
endforeach()
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
set(CPACK_PACKAGE_VERSION ${VX42B_PKG_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VX42B_PKG_RELEASE})
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
# Depends from the libraries the packaged programs and the plug-in need,
# as dpkg-shlibdeps reads them from the binaries (the stand-in host library
# is the package's own). A cross build asks for the target's packages: the
# project file sets DEB_HOST_ARCH for cpack, and dpkg-shlibdeps then reads
# the armhf libraries' shlibs/symbols (scripts/install-deps.sh --arm).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libjs-chart.js")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-project.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})\n")
# Our own maintainer scripts: systemd re-reads the unit. They also keep CPack
# from adding ldconfig calls for libraries outside the linker's search path.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
