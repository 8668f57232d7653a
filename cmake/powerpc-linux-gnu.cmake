# Cross build for 32-bit big-endian PowerPC Linux with Debian's cross
# compiler (g++-powerpc-linux-gnu, libc6-dev-powerpc-cross).  The programs
# and tests run under qemu-user; ctest starts them through it.
#
#   ARDOVA_CROSS_PREFIX   where libraries built for PowerPC are installed
#                         (GoogleTest); searched before the
#                         cross C library, and the only place pkg-config
#                         looks.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

# A 32-bit system whose off_t is 64 bits wide, like the target's.
set(CMAKE_C_FLAGS_INIT -D_FILE_OFFSET_BITS=64)
set(CMAKE_CXX_FLAGS_INIT -D_FILE_OFFSET_BITS=64)

set(ARDOVA_CROSS_SYSROOT /usr/powerpc-linux-gnu)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARDOVA_CROSS_PREFIX)
set(CMAKE_FIND_ROOT_PATH ${ARDOVA_CROSS_PREFIX} ${ARDOVA_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must never hand this machine's own libraries to the cross
# linker.
if(ARDOVA_CROSS_PREFIX)
  set(ENV{PKG_CONFIG_LIBDIR} ${ARDOVA_CROSS_PREFIX}/lib/pkgconfig)
else()
  set(ENV{PKG_CONFIG_LIBDIR} ${ARDOVA_CROSS_SYSROOT}/lib/pkgconfig)
endif()
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${ARDOVA_CROSS_SYSROOT})
