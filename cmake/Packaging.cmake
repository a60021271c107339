# Installation (GNU directory layout) and the Debian package made by CPack.
include(GNUInstallDirs)

set(TOVREL_APP_ID io.github.tovrel.Tovrel)
set(TOVREL_DATA ${PROJECT_SOURCE_DIR}/data)
set(TOVREL_MAINTAINER "The Tovrel developers <tovrel@users.noreply.github.com>")

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
# A stripped install (cmake --install --strip, and the package) also drops the compilers'
# .comment and .note sections, as Debian's own packaging does.
install(CODE "set(TOVREL_OBJCOPY \"${CMAKE_OBJCOPY}\")
              set(TOVREL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(CODE [[
  if(CMAKE_INSTALL_DO_STRIP AND TOVREL_OBJCOPY)
    foreach(program tovrel tovrel-convert)
      execute_process(COMMAND "${TOVREL_OBJCOPY}" --remove-section=.comment --remove-section=.note
                              "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${TOVREL_BINDIR}/${program}")
    endforeach()
  endif()
]])
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${TOVREL_DATA}/${TOVREL_APP_ID}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)

# The systemd user unit of the run without a window, written at install time so that it
# names the program where this install puts it. Not enabled. systemd reads user units
# from <prefix>/lib/systemd/user for /usr and /usr/local, and from <prefix>/share/systemd/user
# for a prefix ending in .local (~/.local): the prefix alone decides, so an install through
# sudo lands where the same prefix would without it. TOVREL_USER_UNIT_DIR overrides it.
set(TOVREL_USER_UNIT_DIR "" CACHE PATH "Folder of the systemd user unit (empty: from the install prefix)")
install(CODE "set(TOVREL_UNIT_TEMPLATE \"${TOVREL_DATA}/tovrel.service.in\")
              set(TOVREL_USER_UNIT_DIR \"${TOVREL_USER_UNIT_DIR}\")")
install(CODE [[
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  if(TOVREL_USER_UNIT_DIR)
    set(unit_dir "${TOVREL_USER_UNIT_DIR}")
  elseif(prefix MATCHES "/\\.local/?$")
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

# /usr/share/doc/tovrel: the README, NEWS, the documents of docs/ (with the README's
# pictures, so its links hold there too), a changelog in Debian's format made from NEWS, and a
# copyright file in Debian's machine-readable format, its licence text taken from LICENSE
# (the MIT licence, which Debian calls Expat), each line indented, blank lines as " .".
set(TOVREL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tovrel)
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE TOVREL_LICENSE_LINES)
set(TOVREL_COPYRIGHT "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tovrel
Upstream-Contact: ${TOVREL_MAINTAINER}
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

# The Debian changelog from NEWS: each "VERSION (YYYY-MM-DD)" heading starts an entry, each
# "* " item (with its indented lines) becomes one change, and the entry ends with the
# maintainer and the date in RFC 5322 form (the weekday by Zeller's congruence).
set(TOVREL_WEEKDAYS_FROM_SATURDAY Sat Sun Mon Tue Wed Thu Fri)
set(TOVREL_MONTHS Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
file(STRINGS ${PROJECT_SOURCE_DIR}/NEWS TOVREL_NEWS_LINES ENCODING UTF-8)
set(TOVREL_CHANGELOG "")
set(trailer "")
foreach(line IN LISTS TOVREL_NEWS_LINES)
  if(line MATCHES "^([0-9][0-9.]*) \\(([0-9]+)-([0-9]+)-([0-9]+)\\)$")
    string(APPEND TOVREL_CHANGELOG "${trailer}tovrel (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
    set(y ${CMAKE_MATCH_2})
    math(EXPR m "${CMAKE_MATCH_3}")
    math(EXPR d "${CMAKE_MATCH_4}")
    set(zy ${y})
    set(zm ${m})
    if(m LESS 3)
      math(EXPR zy "${y} - 1")
      math(EXPR zm "${m} + 12")
    endif()
    math(EXPR w "(${d} + (13 * (${zm} + 1)) / 5 + ${zy} % 100 + (${zy} % 100) / 4 + (${zy} / 100) / 4 + 5 * (${zy} / 100)) % 7")
    list(GET TOVREL_WEEKDAYS_FROM_SATURDAY ${w} day)
    math(EXPR mi "${m} - 1")
    list(GET TOVREL_MONTHS ${mi} month)
    set(trailer "\n -- ${TOVREL_MAINTAINER}  ${day}, ${CMAKE_MATCH_4} ${month} ${y} 00:00:00 +0000\n\n")
  elseif(line MATCHES "^\\* (.*)$")
    string(APPEND TOVREL_CHANGELOG "  * ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.*)$" AND NOT trailer STREQUAL "")
    string(APPEND TOVREL_CHANGELOG "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(APPEND TOVREL_CHANGELOG "${trailer}")
string(REGEX REPLACE "\n\n$" "\n" TOVREL_CHANGELOG "${TOVREL_CHANGELOG}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog CONTENT "${TOVREL_CHANGELOG}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/NEWS)

# Documents go out gzipped, as Debian packages carry them (the copyright file stays plain).
set(TOVREL_DOC_GZ "")
set(TOVREL_DOCS_GZ "")
file(GLOB TOVREL_DOCS_MD CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
foreach(source ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/NEWS ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
               ${TOVREL_DOCS_MD})
  get_filename_component(name ${source} NAME)
  if(source IN_LIST TOVREL_DOCS_MD)
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/doc/docs/${name}.gz)
    list(APPEND TOVREL_DOCS_GZ ${gz})
  else()
    set(gz ${CMAKE_CURRENT_BINARY_DIR}/doc/${name}.gz)
    list(APPEND TOVREL_DOC_GZ ${gz})
  endif()
  get_filename_component(gz_dir ${gz} DIRECTORY)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${gz_dir}
    COMMAND gzip -9 -n -c ${source} > ${gz}
    DEPENDS ${source}
    VERBATIM)
endforeach()
add_custom_target(tovrel_docs ALL DEPENDS ${TOVREL_DOC_GZ} ${TOVREL_DOCS_GZ})
install(FILES ${TOVREL_DOC_GZ} ${CMAKE_CURRENT_BINARY_DIR}/doc/copyright DESTINATION ${TOVREL_DOC_DIR})
install(FILES ${TOVREL_DOCS_GZ} ${PROJECT_SOURCE_DIR}/docs/tovrel.png ${PROJECT_SOURCE_DIR}/docs/stream-modes.png
        DESTINATION ${TOVREL_DOC_DIR}/docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovrel)
set(CPACK_PACKAGE_VENDOR "The Tovrel developers")
set(CPACK_PACKAGE_CONTACT "${TOVREL_MAINTAINER}")
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
# Native Wayland windows (without it Qt runs through XWayland); pactl and parec for the
# README's virtual cable and for SDR programs without a sound-card input. Neither pulls in a
# sound server.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, pulseaudio-utils")
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
sound card's line-in and converts it into a complex I/Q signal at half
the sample rate, played as stereo (left I, right Q) into a virtual I/Q
device of its own that SDR programs record like a sound card. It shows
level meters and a spectrogram of the input.

Block mode converts blocks of 32768 samples in the frequency domain;
stream mode runs one continuous filter with about 0.1 s of delay and no
block edges, and takes up the difference between the two sound cards'
clocks. It runs on PulseAudio and on PipeWire.

tovrel --headless runs the same conversion without a window or display,
as a systemd user service for an unattended station, and tovrel-convert
applies the conversion to WAV files.")
include(CPack)
