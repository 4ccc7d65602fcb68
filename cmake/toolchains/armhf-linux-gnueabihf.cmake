# Cross build for 32-bit ARM (armhf) with Debian's cross toolchain
# (crossbuild-essential-armhf) and multiarch :armhf packages for the
# dependencies (android-liblog-dev, libgtest-dev, libgmock-dev, libevdev-dev).
# Test binaries run through qemu-user; ctest adds the emulator by itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KRV_CROSS_TRIPLET arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${KRV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KRV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KRV_CROSS_TRIPLET})
# Notes on the GCC 7.1 parameter-passing change of the ARM ABI say nothing
# about this code.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Multiarch: target libraries and CMake packages live in /usr/lib/<triplet>,
# found through CMAKE_LIBRARY_ARCHITECTURE, so no separate root is set.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KRV_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

find_program(KRV_QEMU_ARM qemu-arm)
if(KRV_QEMU_ARM)
  # Loader and C library come from the multiarch libc6:armhf (a dependency of
  # android-liblog:armhf), so one consistent glibc runs under emulation.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KRV_QEMU_ARM} -L /)
endif()
