# What `cmake --install` puts where, and the .deb that CPack builds from it (Linux only).

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

include(GNUInstallDirs)
install(TARGETS talvek-update-tool talvek-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/talvek-update-tool.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/com.talvek.UpdateTool.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Drawn by scripts/make-pictures.py, one picture per size.
foreach(size 16 22 24 32 48 64 128 256)
  set(icon ${CMAKE_SOURCE_DIR}/resources/icons/talvek-update-tool-${size}.png)
  if(size EQUAL 256)
    set(icon ${CMAKE_SOURCE_DIR}/resources/icons/talvek-update-tool.png)
  endif()
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME talvek-update-tool.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/talvek-update.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME talvek-update)

# Documents and manual pages, compressed as Debian wants them. The terminal tool's page is
# made from its own --help, so it cannot drift from the program; the window takes no options,
# so its page is written by hand.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/talvek-update-tool)
set(generated ${CMAKE_BINARY_DIR}/packaging)
find_program(HELP2MAN help2man)
find_program(GZIP gzip REQUIRED)
set(man_pages ${generated}/talvek-update-tool.1.gz ${generated}/changelog.gz)
add_custom_command(OUTPUT ${generated}/talvek-update-tool.1.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/talvek-update-tool.1 > talvek-update-tool.1.gz
  WORKING_DIRECTORY ${generated}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/talvek-update-tool.1 VERBATIM)
add_custom_command(OUTPUT ${generated}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > changelog.gz
  WORKING_DIRECTORY ${generated}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog VERBATIM)
if(HELP2MAN)
  add_custom_command(OUTPUT ${generated}/talvek-update.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr
      --name "update the firmware of a TALVEK drum sound module from a terminal"
      --include ${CMAKE_SOURCE_DIR}/packaging/talvek-update.h2m
      --output talvek-update.1 $<TARGET_FILE:talvek-update>
    COMMAND ${GZIP} -9nf talvek-update.1
    WORKING_DIRECTORY ${generated}
    DEPENDS talvek-update ${CMAKE_SOURCE_DIR}/packaging/talvek-update.h2m VERBATIM)
  list(APPEND man_pages ${generated}/talvek-update.1.gz)
  install(FILES ${generated}/talvek-update.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no manual page for talvek-update (scripts/setup.sh installs it)")
endif()
add_custom_target(talvek_package_files ALL DEPENDS ${man_pages})
install(FILES ${generated}/talvek-update-tool.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${generated}/changelog.gz DESTINATION ${doc_dir})

# The package holds the two programs and their files only: packaging builds those targets
# (scripts/package.sh), not the tests, benchmarks and emulator of the same build folder.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvek-update-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TALVEK")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for TALVEK drum sound modules")
# CPack copies these lines as they are; Debian wants them under 80 columns.
set(CPACK_PACKAGE_DESCRIPTION [[
Finds a TALVEK instrument among the MIDI ports, checks an update file
against it, writes, reads back and compares the flash, and completes an
interrupted update.
.
talvek-update-tool opens a window; talvek-update does the same from a
terminal, for service benches and scripts.]])
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TALVEK Update Tool developers <update-tool@talvek.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are the shared libraries the two programs link, as dpkg-shlibdeps finds them,
# and the ones the framework opens by name when the window starts: X11 and its extension library
# are required, the others only improve the window. The font has the Chinese characters of the
# two-devices warning, which the window's own fonts lack.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libx11-6, libxext6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "fonts-droid-fallback, libxcursor1, libxinerama1, libxrender1, libxrandr2, fonts-dejavu-core")
set(CPACK_STRIP_FILES ON)
include(CPack)
