# What `cmake --install` puts where, and the .deb that CPack builds from it (Linux only).

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

include(GNUInstallDirs)
install(TARGETS talvek-update-tool talvek-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/talvek-update-tool.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# Drawn by scripts/make-pictures.py.
install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/talvek-update-tool.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvek-update-tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "TALVEK")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for TALVEK drum sound modules (window and terminal tool)")
set(CPACK_PACKAGE_DESCRIPTION
  "Finds a TALVEK instrument among the MIDI ports, checks an update file against it, writes, reads back and compares the flash, and completes an interrupted update. talvek-update-tool opens a window; talvek-update does the same from a terminal.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "TALVEK Update Tool developers")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies are the shared libraries the two programs link, as dpkg-shlibdeps finds them,
# and the ones the framework opens by name when the window starts: X11 and its extension library
# are required, the others only improve the window, as a font does its text.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libx11-6, libxext6")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libxcursor1, libxinerama1, libxrender1, libxrandr2, fonts-dejavu-core")
set(CPACK_STRIP_FILES ON)
include(CPack)
