# Cross-building for 64-bit ARM Linux (a Raspberry Pi on a 64-bit system)
# with Debian's cross compiler and the arm64 development packages installed
# beside the native ones (multiarch: dpkg --add-architecture arm64).
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Programs built here run on this machine under qemu-user: CMake runs the
# tests through the emulator named below.  Its library root is / where the
# arm64 C library stands beside the native one (libc6:arm64, which the
# arm64 development packages bring).  The cross compiler's own copy in
# /usr/aarch64-linux-gnu would do for single programs, but qemu-aarch64 7.2
# with -L pointing there leaves a forked child hanging before it execs, and
# the tests fork the program they test.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# pkg-config for the arm64 .pc files in /usr/lib/aarch64-linux-gnu/pkgconfig
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Headers and libraries of the arm64 packages live in the ordinary
# multiarch places (/usr/include, /usr/lib/aarch64-linux-gnu); the C
# library of the cross compiler in /usr/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MARROWIT_QEMU_AARCH64 qemu-aarch64)
if(MARROWIT_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MARROWIT_QEMU_AARCH64} -L /)
endif()
