# Run by cmake --install (see install.cmake): write the manual pages and the
# systemd unit with the paths of this installation, and install them.
foreach(dir BINDIR MANDIR DOCDIR UNITDIR)
  if(IS_ABSOLUTE "${MARROWIT_${dir}}")
    set(${dir} "${MARROWIT_${dir}}")
  else()
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${MARROWIT_${dir}}")
  endif()
endforeach()
set(VERSION "${MARROWIT_VERSION}")

file(MAKE_DIRECTORY "${MARROWIT_STAGE}")
configure_file("${MARROWIT_SOURCE_DIR}/packaging/marrowit@.service.in"
               "${MARROWIT_STAGE}/marrowit@.service" @ONLY)
file(INSTALL DESTINATION "${UNITDIR}" TYPE FILE FILES "${MARROWIT_STAGE}/marrowit@.service")

# Manual pages compressed, as Debian keeps them (man reads both).
find_program(MARROWIT_GZIP gzip)
foreach(page marrowit marrowit-gen)
  configure_file("${MARROWIT_SOURCE_DIR}/docs/${page}.1.in" "${MARROWIT_STAGE}/${page}.1" @ONLY)
  set(file "${MARROWIT_STAGE}/${page}.1")
  if(MARROWIT_GZIP)
    execute_process(COMMAND "${MARROWIT_GZIP}" -9 -n -c "${file}"
                    OUTPUT_FILE "${file}.gz" RESULT_VARIABLE failed)
    if(NOT failed)
      set(file "${file}.gz")
    endif()
  endif()
  file(INSTALL DESTINATION "${MANDIR}/man1" TYPE FILE FILES "${file}")
endforeach()
