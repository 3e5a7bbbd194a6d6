# Run by cpack after the install into its staging folder: Debian's
# copyright file and compressed changelog in the documentation folder.
set(doc "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/doc/marrowit")
file(MAKE_DIRECTORY "${doc}")
file(COPY "${CPACK_MARROWIT_PACKAGING_DIR}/copyright" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
configure_file("${CPACK_MARROWIT_PACKAGING_DIR}/changelog.in"
               "${CPACK_TOPLEVEL_DIRECTORY}/changelog.Debian" @ONLY)
execute_process(COMMAND gzip -9 -n -c "${CPACK_TOPLEVEL_DIRECTORY}/changelog.Debian"
                OUTPUT_FILE "${doc}/changelog.Debian.gz" COMMAND_ERROR_IS_FATAL ANY)
