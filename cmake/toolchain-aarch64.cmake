# Cross-compiling for the robot controllers (AArch64 Linux) with Debian's aarch64-linux-gnu GCC,
# against a sysroot unpacked from Debian's arm64 packages. scripts/cross-aarch64 installs the
# compiler and qemu-user and prepares the sysroot; it is the way to use this file.
#
# The sysroot comes from, in this order: -DGW_AARCH64_SYSROOT=..., the environment variable
# GW_AARCH64_SYSROOT, or build-aarch64-sysroot/root beside this source tree.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT GW_AARCH64_SYSROOT)
  if(DEFINED ENV{GW_AARCH64_SYSROOT})
    set(GW_AARCH64_SYSROOT "$ENV{GW_AARCH64_SYSROOT}")
  else()
    get_filename_component(GW_AARCH64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-aarch64-sysroot/root" ABSOLUTE)
  endif()
endif()
if(NOT EXISTS "${GW_AARCH64_SYSROOT}/usr/include/stdio.h")
  message(FATAL_ERROR "no arm64 sysroot at ${GW_AARCH64_SYSROOT}: run scripts/cross-aarch64 first")
endif()
# try_compile projects read this file again without the cache of the main project.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GW_AARCH64_SYSROOT)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_SYSROOT "${GW_AARCH64_SYSROOT}")

# Everything the build links or includes must come from the sysroot: a silent fall-back to the host's
# amd64 headers would still compile and hide the mistake. Build tools still run from the host.
set(CMAKE_FIND_ROOT_PATH "${GW_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${GW_AARCH64_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${GW_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${GW_AARCH64_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# binfmt_misc is not available everywhere (not in containers), so target programs run through
# qemu-user explicitly; -L gives it the sysroot's dynamic loader and libraries. CTest and
# gtest_discover_tests prepend this to every test program.
find_program(GW_QEMU_AARCH64 qemu-aarch64 NO_CMAKE_FIND_ROOT_PATH)
if(GW_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${GW_QEMU_AARCH64};-L;${GW_AARCH64_SYSROOT}")
endif()
