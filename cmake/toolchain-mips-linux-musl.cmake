# Cross build of the self-contained router agent: 32-bit big-endian MIPS
# Linux, linked fully static against musl, so that it runs on any MIPS32
# router whatever its C library.  The compiler is Debian's mips-linux-gnu gcc
# behind two small wrappers that scripts/cross-test writes next to the musl it
# builds (RFPROBE_MUSL_DIR, default build-mips/musl):
#
#   <musl>/bin/mips-linux-musl-gcc, mips-linux-musl-g++
#
# They put musl's headers (with the kernel's, which musl does not ship) in
# place of glibc's, keep libstdc++'s header-only parts visible to C++, and
# link with musl's start files and libc.a, never glibc's.
#
#   cmake -S . -B build-mips/static/build \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mips-linux-musl.cmake \
#     -DRFPROBE_STATIC_AGENT=ON -DRFPROBE_PRECOMPILED_FILTER=ON \
#     -DRFPROBE_PCAP_LIBRARY=<libpcap.a for musl> -DRFPROBE_PCAP_INCLUDE_DIR=<dir>

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

if(NOT RFPROBE_MUSL_DIR)
  get_filename_component(RFPROBE_MUSL_DIR "${CMAKE_CURRENT_LIST_DIR}/../build-mips/musl" ABSOLUTE)
endif()
set(RFPROBE_MUSL_DIR "${RFPROBE_MUSL_DIR}" CACHE PATH "musl for the target, as scripts/cross-test builds it")
# try_compile projects read this toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RFPROBE_MUSL_DIR)
if(NOT EXISTS "${RFPROBE_MUSL_DIR}/bin/mips-linux-musl-g++")
  message(FATAL_ERROR "no musl toolchain wrappers in ${RFPROBE_MUSL_DIR}: run scripts/cross-test --build-only")
endif()

set(CMAKE_C_COMPILER ${RFPROBE_MUSL_DIR}/bin/mips-linux-musl-gcc)
set(CMAKE_CXX_COMPILER ${RFPROBE_MUSL_DIR}/bin/mips-linux-musl-g++)
set(CMAKE_AR mips-linux-gnu-ar CACHE FILEPATH "")
set(CMAKE_RANLIB mips-linux-gnu-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP mips-linux-gnu-strip CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH ${RFPROBE_MUSL_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No pkg-config files exist for this target; never use the host's.
set(ENV{PKG_CONFIG_LIBDIR} ${RFPROBE_MUSL_DIR}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--gc-sections")

# Every program is static: qemu-user runs it without a loader or sysroot.
find_program(RFPROBE_QEMU_MIPS qemu-mips)
if(RFPROBE_QEMU_MIPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${RFPROBE_QEMU_MIPS};-E;RFPROBE_UNDER_QEMU=1)
else()
  message(WARNING "qemu-mips not found (apt-get install qemu-user): target tests cannot run here")
endif()
