# Cross build for 32-bit x86 (i386) with Debian's cross toolchain
# (crossbuild-essential-i386) and multiarch :i386 packages for what the
# programs load (android-liblog-dev, libstdc++6). The system test runs the
# library, krv-navd and navctl built here against its 64-bit kernel, as a
# 32-bit process on an arm64 phone meets its kernel: through the compat
# system calls. No emulator: a kernel with 32-bit support runs the
# programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KRV_CROSS_TRIPLET i686-linux-gnu)

set(CMAKE_C_COMPILER ${KRV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KRV_CROSS_TRIPLET}-g++)
# Debian names its multiarch folders for this architecture i386-linux-gnu,
# not after the compiler's triplet.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
