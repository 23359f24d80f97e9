# Cross build for the router: 32-bit big-endian MIPS Linux, with Debian's
# cross compiler (g++-mips-linux-gnu) and its sysroot /usr/mips-linux-gnu.
# Target programs, the tests among them, run on this machine through
# qemu-user; ctest and gtest_discover_tests go through the emulator below.
#
# The firmware build: dynamic, on the sysroot's C library, with libpcap
# taken from a staging directory the way an image's build system provides
# it (usr/lib/libpcap.so, usr/include, usr/lib/pkgconfig/libpcap.pc):
#
#   cmake -S . -B build-mips/firmware/build \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mips-linux-gnu.cmake \
#     -DRFPROBE_STAGING_DIR=<staging dir> -DRFPROBE_BUILD_SIM=OFF
#
# Or with a static libpcap handed in directly:
#     -DRFPROBE_PCAP_LIBRARY=<target libpcap.a> -DRFPROBE_PCAP_INCLUDE_DIR=<dir>
#
# scripts/cross-test does all of this, libpcap included.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(RFPROBE_CROSS_TRIPLE mips-linux-gnu)
set(RFPROBE_CROSS_SYSROOT /usr/${RFPROBE_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${RFPROBE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${RFPROBE_CROSS_TRIPLE}-g++)
# Plain names, found on the PATH; CMake otherwise guesses these from the
# compiler's name anyway.
set(CMAKE_AR ${RFPROBE_CROSS_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${RFPROBE_CROSS_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${RFPROBE_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Debian's cross compiler already knows its own sysroot; only searches for
# target libraries and headers are confined to it.
set(CMAKE_FIND_ROOT_PATH ${RFPROBE_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Never hand the host's pkg-config files to a target build.  With a staging
# directory, pkg-config answers from it and prefixes its paths with it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RFPROBE_STAGING_DIR)
if(RFPROBE_STAGING_DIR)
  list(APPEND CMAKE_FIND_ROOT_PATH ${RFPROBE_STAGING_DIR})
  set(ENV{PKG_CONFIG_LIBDIR} ${RFPROBE_STAGING_DIR}/usr/lib/pkgconfig:${RFPROBE_STAGING_DIR}/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${RFPROBE_STAGING_DIR})
else()
  set(ENV{PKG_CONFIG_LIBDIR} ${RFPROBE_CROSS_SYSROOT}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
set(ENV{PKG_CONFIG_PATH} "")

# Small code for a router's flash: every function and object in its own
# section, and the linker drops what nothing uses.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

# User-mode emulation; there is no binfmt hand-over on the build machine,
# so the emulator is named explicitly, with the sysroot for the loader and
# the shared libraries.  RFPROBE_UNDER_QEMU=1 in the target's environment
# tells tests what the emulator cannot do: the kernel here cannot execute a
# target binary, so nothing may re-execute itself (death tests fork only),
# while a program the target spawns by path, /bin/sh among them, runs as
# this machine's own native one.
find_program(RFPROBE_QEMU_MIPS qemu-mips)
if(RFPROBE_QEMU_MIPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RFPROBE_QEMU_MIPS};-L;${RFPROBE_CROSS_SYSROOT};-E;RFPROBE_UNDER_QEMU=1)
else()
  message(WARNING "qemu-mips not found (apt-get install qemu-user): target tests cannot run here")
endif()
