# Cross build for 64-bit ARM (arm64) with Debian's cross toolchain
# (crossbuild-essential-arm64) and multiarch :arm64 packages for the
# dependencies (android-liblog-dev, libgtest-dev, libgmock-dev).
# Test binaries run through qemu-user; ctest adds the emulator by itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KRV_CROSS_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${KRV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KRV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KRV_CROSS_TRIPLET})

# Android 15 asks 64-bit native libraries to be aligned for 16 KiB pages:
# every loadable segment of what this build links starts on a 16 KiB
# boundary (a 4 KiB-page kernel loads such objects as well).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-z,max-page-size=16384")
endforeach()

# Multiarch: target libraries and CMake packages live in /usr/lib/<triplet>,
# found through CMAKE_LIBRARY_ARCHITECTURE, so no separate root is set.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KRV_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

find_program(KRV_QEMU_AARCH64 qemu-aarch64)
if(KRV_QEMU_AARCH64)
  # Loader and C library come from the multiarch libc6:arm64 (a dependency
  # of android-liblog:arm64), so one consistent glibc runs under emulation.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KRV_QEMU_AARCH64} -L /)
endif()
