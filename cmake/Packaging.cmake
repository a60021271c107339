# Installation (GNU directory layout) and the Debian package made by CPack.
include(GNUInstallDirs)

set(TOVREL_APP_ID io.github.tovrel.Tovrel)
set(TOVREL_DATA ${PROJECT_SOURCE_DIR}/data)

# The window's icon, compiled in at 48 and 96 pixels (sharp at a device pixel ratio of 2).
# The PNGs are rendered from the SVG with
#   rsvg-convert -w 48 -h 48 data/io.github.tovrel.Tovrel.svg -o data/io.github.tovrel.Tovrel.png
#   rsvg-convert -w 96 -h 96 data/io.github.tovrel.Tovrel.svg -o data/io.github.tovrel.Tovrel-96.png
# so that loading them needs no image plugin beyond Qt's own PNG reader.
add_library(tovrel_icon OBJECT)
qt_add_resources(tovrel_icon window_icon PREFIX /icons BASE ${TOVREL_DATA}
                 FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.png ${TOVREL_DATA}/${TOVREL_APP_ID}-96.png)
target_link_libraries(tovrel PRIVATE tovrel_icon)

install(TARGETS tovrel tovrel-convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)

# The systemd user unit of the run without a window, written at install time so that it
# names the program where this install puts it. Not enabled. systemd reads user units
# from <prefix>/lib/systemd/user for /usr and /usr/local, from ~/.local/share/systemd/user
# for a user's own install.
install(CODE "set(TOVREL_UNIT_TEMPLATE \"${TOVREL_DATA}/tovrel.service.in\")")
install(CODE [[
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  if(prefix STREQUAL "$ENV{HOME}/.local")
    set(unit_dir "${prefix}/share/systemd/user")
  else()
    set(unit_dir "${prefix}/lib/systemd/user")
  endif()
  set(TOVREL_BIN "${prefix}/bin/tovrel")
  configure_file("${TOVREL_UNIT_TEMPLATE}" "$ENV{DESTDIR}${unit_dir}/tovrel.service" @ONLY)
  message(STATUS "Installing: $ENV{DESTDIR}${unit_dir}/tovrel.service")
]])

# Man pages go out gzipped, as Debian installs them; -n keeps the archives reproducible.
set(TOVREL_MAN_PAGES tovrel.1 tovrel-convert.1)
set(TOVREL_MAN_GZ "")
foreach(page ${TOVREL_MAN_PAGES})
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND TOVREL_MAN_GZ ${gz})
endforeach()
add_custom_target(tovrel_man_pages ALL DEPENDS ${TOVREL_MAN_GZ})
install(FILES ${TOVREL_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# /usr/share/doc/tovrel: the README (with its pictures, so its links hold there too) and a
# copyright file in Debian's machine-readable format, its licence text taken from LICENSE
# (the MIT licence, which Debian calls Expat), each line indented, blank lines as " .".
set(TOVREL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovrel)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE TOVREL_LICENSE_LINES)
set(TOVREL_COPYRIGHT "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tovrel
Upstream-Contact: The Tovrel developers <tovrel@users.noreply.github.com>
Source: https://github.com/tovrel/tovrel

Files: *
Copyright: 2026 The Tovrel developers
License: Expat
")
foreach(line IN LISTS TOVREL_LICENSE_LINES)
  if(line STREQUAL "")
    string(APPEND TOVREL_COPYRIGHT " .\n")
  else()
    string(APPEND TOVREL_COPYRIGHT " ${line}\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/doc/copyright CONTENT "${TOVREL_COPYRIGHT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_BINARY_DIR}/doc/copyright DESTINATION ${TOVREL_DOC_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/tovrel.png ${PROJECT_SOURCE_DIR}/docs/stream-modes.png
        DESTINATION ${TOVREL_DOC_DIR}/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovrel)
set(CPACK_PACKAGE_VENDOR "The Tovrel developers")
set(CPACK_PACKAGE_CONTACT "The Tovrel developers <tovrel@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real low-IF audio to I/Q converter for SDR programs")
set(CPACK_PACKAGE_HOMEPAGE_URL https://github.com/tovrel/tovrel)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps: libpulse0 is the client library, which
# never pulls in a sound server, so the package installs on PulseAudio and PipeWire alike.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window asks for DejaVu Sans, which has the Cyrillic of its texts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS fonts-dejavu-core)
# Native Wayland windows; without it Qt runs through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
# pactl makes the virtual cable; parec feeds programs without a sound-card input.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS pulseaudio-utils)
# A cross build (cmake/aarch64-linux-gnu.cmake) packages for its target: the libraries and
# their dependency data are the sysroot's (its own dpkg database, from scripts/arm64-sysroot).
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      ${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu ${CMAKE_SYSROOT}/lib/aarch64-linux-gnu)
  set(TOVREL_SHLIBDEPS ${CMAKE_BINARY_DIR}/dpkg-shlibdeps-arm64)
  file(WRITE ${TOVREL_SHLIBDEPS} "#!/bin/sh\nDEB_HOST_ARCH=arm64 exec dpkg-shlibdeps --admindir=${CMAKE_SYSROOT}/var/lib/dpkg \"$@\"\n")
  file(CHMOD ${TOVREL_SHLIBDEPS} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(WRITE ${CMAKE_BINARY_DIR}/CPackCross.cmake "set(SHLIBDEPS_EXECUTABLE ${TOVREL_SHLIBDEPS} CACHE FILEPATH \"\")\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackCross.cmake)
endif()
# CPack puts the summary line first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Tovrel records the real, mono low-IF output of a radio receiver from a
sound card's line-in and converts it, block by block in the frequency
domain, into a complex I/Q signal at half the sample rate, played as
stereo (left I, right Q), usually into a virtual audio cable that an SDR
program reads. It shows level meters and a spectrogram of the input.

tovrel-convert applies the same conversion to WAV files.")
include(CPack)
