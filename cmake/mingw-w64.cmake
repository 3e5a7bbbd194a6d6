# Cross-compiling marrowit.exe for 64-bit Windows with Debian's MinGW-w64:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix flavour of the compiler has std::thread and std::mutex; linking
# statically spares the program the compiler's DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_PREFIX}-windres)

# Libraries cross-built for Windows (scripts/windows-deps), static, with their
# pkg-config files: -DMARROWIT_WIN_DEPS=PREFIX.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MARROWIT_WIN_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_PREFIX} ${MARROWIT_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run the Windows programs under Wine.
find_program(WINE_PROGRAM NAMES wine wine64)
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()

# Only libraries built for Windows count: the build machine's pkg-config
# files describe Linux libraries.  Static libraries bring their own
# dependencies along (pkg-config --static).
set(ENV{PKG_CONFIG_LIBDIR} "${MARROWIT_WIN_DEPS}/lib/pkgconfig:/usr/${MINGW_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(PKG_CONFIG_ARGN --static)
