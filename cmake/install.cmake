# cmake --install: the program, the signal generator as marrowit-gen, their
# manual pages, an annotated example of the settings and a systemd unit
# template for one site.  The manual pages and the unit name installed
# paths; they are written at install time, so that they follow the prefix
# the installation is given (cmake --install --prefix, CPack), and DESTDIR
# is honoured.
include(GNUInstallDirs)

install(TARGETS marrowit marrowit-gen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The web server's module, loaded by --http (src/web/server.h).
if(TARGET marrowit-web)
  install(TARGETS marrowit-web LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/marrowit)
endif()
if(WIN32)
  return()
endif()

set(MARROWIT_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit template goes (relative to the prefix, or absolute)")

install(FILES docs/solvane.ini DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(CODE "
  set(MARROWIT_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(MARROWIT_STAGE \"${PROJECT_BINARY_DIR}/install-stage\")
  set(MARROWIT_VERSION \"${PROJECT_VERSION}\")
  set(MARROWIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(MARROWIT_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(MARROWIT_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
  set(MARROWIT_UNITDIR \"${MARROWIT_SYSTEMD_UNIT_DIR}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/install_configured.cmake\")
")
