# The DLLs marrowit.exe loads when a feature is first used (Hamlib for
# RADIO 3, SoapySDR and its RTL-SDR module for sdr:), from the libraries
# scripts/windows-deps built: copied beside the program in the build folder,
# where the tests run it under Wine, and listed in windows-dlls.txt (file,
# then its place beside the program) for scripts/windows-release.
set(MARROWIT_WIN_DLLS)
if(HAMLIB_FOUND)
  list(APPEND MARROWIT_WIN_DLLS "${MARROWIT_WIN_DEPS}/bin/${HAMLIB_FILE}|.")
  # Hamlib's DLL is linked by libtool, which keeps MinGW-w64's threads DLL.
  find_file(WINPTHREAD_DLL libwinpthread-1.dll PATHS /usr/${MINGW_PREFIX}/lib
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(WINPTHREAD_DLL)
    list(APPEND MARROWIT_WIN_DLLS "${WINPTHREAD_DLL}|.")
  endif()
endif()
if(SOAPYSDR_FOUND AND LIQUID_INCLUDE_DIR AND LIQUID_LIBRARY AND SNDFILE_FOUND)
  list(APPEND MARROWIT_WIN_DLLS "${MARROWIT_WIN_DEPS}/bin/${SOAPYSDR_FILE}|.")
  file(GLOB modules "${MARROWIT_WIN_DEPS}/lib/SoapySDR/modules${SOAPYSDR_ABI}/*.dll")
  foreach(module ${modules})
    list(APPEND MARROWIT_WIN_DLLS "${module}|SoapySDR/modules${SOAPYSDR_ABI}")
  endforeach()
endif()
set(listing "")
foreach(entry ${MARROWIT_WIN_DLLS})
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 file)
  list(GET entry 1 place)
  # One still being built (scripts/windows builds the program beside them)
  # is copied when the build is configured again.
  if(EXISTS "${file}")
    file(COPY "${file}" DESTINATION "${CMAKE_BINARY_DIR}/${place}")
    string(APPEND listing "${file} ${place}\n")
  endif()
endforeach()
file(WRITE "${CMAKE_BINARY_DIR}/windows-dlls.txt" "${listing}")
