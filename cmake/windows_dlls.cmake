# The DLLs marrowit.exe loads when a feature is first used (Hamlib for
# RADIO 3, SoapySDR and its RTL-SDR module for sdr:), from the libraries
# scripts/windows-deps built: copied beside the program in the build folder,
# where the tests run it under Wine, and listed in windows-dlls.txt (file,
# then its place beside the program) for scripts/windows-release.
set(MARROWIT_WIN_DLLS)
if(HAMLIB_FOUND)
  list(APPEND MARROWIT_WIN_DLLS "bin/${HAMLIB_FILE}|.")
endif()
if(SOAPYSDR_FOUND AND LIQUID_INCLUDE_DIR AND LIQUID_LIBRARY AND SNDFILE_FOUND)
  list(APPEND MARROWIT_WIN_DLLS "bin/${SOAPYSDR_FILE}|.")
  set(module_dir "lib/SoapySDR/modules${SOAPYSDR_ABI}")
  file(GLOB modules RELATIVE "${MARROWIT_WIN_DEPS}" "${MARROWIT_WIN_DEPS}/${module_dir}/*.dll")
  foreach(module ${modules})
    list(APPEND MARROWIT_WIN_DLLS "${module}|SoapySDR/modules${SOAPYSDR_ABI}")
  endforeach()
endif()
set(listing "")
foreach(entry ${MARROWIT_WIN_DLLS})
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 file)
  list(GET entry 1 place)
  file(COPY "${MARROWIT_WIN_DEPS}/${file}" DESTINATION "${CMAKE_BINARY_DIR}/${place}")
  string(APPEND listing "${MARROWIT_WIN_DEPS}/${file} ${place}\n")
endforeach()
file(WRITE "${CMAKE_BINARY_DIR}/windows-dlls.txt" "${listing}")
