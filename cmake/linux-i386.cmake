# 32-bit Intel on an x86_64 Debian host (multilib compiler, :i386 libraries).
# The target's off_t, ino_t and file-system counts are always 64 bits wide,
# so every source, C and C++, is built with 64-bit file offsets.  Its
# 32-bit Intel ABI does floating point in SSE registers, as every Intel Mac
# has them: the x87 unit's wider intermediates would round some results
# (a date a hair before a whole minute) otherwise than the target does.
#   cmake --preset i386
set(ARDOVA_32BIT_FLAGS "-m32 -msse2 -mfpmath=sse -D_FILE_OFFSET_BITS=64")
set(CMAKE_C_FLAGS_INIT "${ARDOVA_32BIT_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ARDOVA_32BIT_FLAGS}")

# pkg-config must answer with the 32-bit libraries' .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
