# cpack: a Debian package of what cmake --install installs, with the system
# user of the service made by its postinst, its dependencies computed from
# the shared libraries (dpkg-shlibdeps) and the Debian copyright and
# changelog files added.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME marrowit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(MARROWIT_MAINTAINER "marrowit developers <marrowit@example.org>" CACHE STRING
    "The package's maintainer, in its control file and changelog")
set(CPACK_PACKAGE_CONTACT "${MARROWIT_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "decoder for MPT 1327 trunked radio control channels")
set(CPACK_PACKAGE_DESCRIPTION
"marrowit demodulates the 1200 baud FFSK control channel of an MPT 1327
trunked radio network from a sound card, a recording or a pipe, reports
every message line by line, keeps a log, and follows calls by tuning a
receiver over a serial port.
The package has the program, a test signal generator (marrowit-gen), an
example of the settings and a systemd unit template that runs one site as
a service.")
# Installed with DESTDIR and the prefix /usr, so that the paths written
# into the manual pages and the unit are those of the installed package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Cross-built for 64-bit ARM: a package for that architecture, whose
# dependencies dpkg-shlibdeps finds among the arm64 packages installed.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
# Hamlib is loaded only when a receiver is set to RADIO 3, so dpkg-shlibdeps
# does not see it: recommend it by the name of the library loaded.
if(HAMLIB_FOUND AND HAMLIB_MAJOR)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libhamlib${HAMLIB_MAJOR}")
endif()
# liquid-dsp, libmosquitto and SQLite are loaded for IQ input, --mqtt and
# --db: recommended too, by the package named after the library
# (libliquid.so.1: libliquid1; a name ending in a digit takes a dash,
# libsqlite3.so.0: libsqlite3-0).
foreach(soname IN ITEMS ${LIQUID_SONAME} ${MOSQUITTO_SONAME} ${SQLITE3_SONAME})
  if(soname MATCHES "^(lib[A-Za-z0-9_-]*[A-Za-z_-])\\.so\\.([0-9]+)$")
    list(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
  elseif(soname MATCHES "^(lib[A-Za-z0-9_-]*[0-9])\\.so\\.([0-9]+)$")
    list(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CMAKE_MATCH_1}-${CMAKE_MATCH_2}")
  endif()
endforeach()
# ALSA, libsndfile and libsoxr are loaded on first use as well, but every
# run that listens to the sound card, reads a recording or resamples needs
# them: they are dependencies.
foreach(soname IN ITEMS ${ALSA_SONAME} ${SNDFILE_SONAME} ${SOXR_SONAME})
  if(soname MATCHES "^(lib[A-Za-z0-9_-]*[A-Za-z_-])\\.so\\.([0-9]+)$")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${CMAKE_MATCH_1}${CMAKE_MATCH_2}")
  endif()
endforeach()
string(REPLACE ";" ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS "${CPACK_DEBIAN_PACKAGE_RECOMMENDS}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/package_docs.cmake")
set(CPACK_MARROWIT_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging/debian")
include(CPack)
