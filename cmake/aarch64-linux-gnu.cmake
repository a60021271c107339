# Cross build for 64-bit ARM: Debian's cross compiler (g++-aarch64-linux-gnu) against a
# sysroot of Debian's arm64 packages (scripts/arm64-sysroot), with the machine's own Qt
# tools (moc, rcc); programs and tests run under qemu-aarch64. Used by scripts/cross-test:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DTOVREL_ARM64_SYSROOT=DIR/root
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOVREL_ARM64_SYSROOT)
if(NOT TOVREL_ARM64_SYSROOT)
  message(FATAL_ERROR "TOVREL_ARM64_SYSROOT must name the unpacked arm64 packages (scripts/arm64-sysroot)")
endif()
set(CMAKE_SYSROOT "${TOVREL_ARM64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
# The linker follows the libraries' own dependencies inside the sysroot (Debian's packages
# keep some in /lib and some in /usr/lib).
set(_rpath_link "-Wl,-rpath-link,${CMAKE_SYSROOT}/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,${CMAKE_SYSROOT}/lib/aarch64-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_rpath_link}")
# The emulator loads the programs' libraries (and Qt its plugins) from the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${CMAKE_SYSROOT}")
