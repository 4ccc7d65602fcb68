# The library as Android's toolchains build it: clang with libc++ headers and
# lld, for x86-64, 32-bit ARM or 64-bit ARM Linux. Set on the command line:
#   KRV_CLANG_TARGET    x86_64-linux-gnu (default), arm-linux-gnueabihf or aarch64-linux-gnu
#   KRV_LIBCXX_INCLUDE  a libc++ header folder (the c++/v1 of an unpacked libc++-N-dev)
#   KRV_CLANG_VERSION   the suffix of clang-N / clang++-N (default 19)
# Cross targets take their C headers from the cross root that Debian's
# crossbuild-essential-<arch> installs under /usr/<triplet> (compile-time
# sysroot, so no host header can slip in) and their C library, start files
# and libgcc from the same install, which clang finds by itself at link time
# (a link-time --sysroot breaks on the absolute paths of Debian's libc.so
# script).
#
# The library is C++ without exceptions or RTTI and must need no C++ runtime
# library when loaded: it links with -nostdlib++, so anything that would
# pull one in fails the link (the library links with --no-undefined).
# --as-needed keeps libraries the code does not use out of the needed list.
set(KRV_CLANG_TARGET "x86_64-linux-gnu" CACHE STRING "clang target triplet")
set(KRV_LIBCXX_INCLUDE "" CACHE PATH "libc++ header folder (c++/v1)")
set(KRV_CLANG_VERSION "19" CACHE STRING "clang version suffix")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KRV_CLANG_TARGET KRV_LIBCXX_INCLUDE KRV_CLANG_VERSION)
if(NOT EXISTS "${KRV_LIBCXX_INCLUDE}/__config")
  message(FATAL_ERROR "KRV_LIBCXX_INCLUDE must name a libc++ header folder (c++/v1), not '${KRV_LIBCXX_INCLUDE}'")
endif()

set(CMAKE_LIBRARY_ARCHITECTURE ${KRV_CLANG_TARGET})
if(NOT KRV_CLANG_TARGET STREQUAL "x86_64-linux-gnu")
  set(CMAKE_SYSTEM_NAME Linux)
  string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${KRV_CLANG_TARGET})
  set(CMAKE_SYSROOT_COMPILE /usr/${KRV_CLANG_TARGET})
endif()

set(CMAKE_C_COMPILER clang-${KRV_CLANG_VERSION})
set(CMAKE_CXX_COMPILER clang++-${KRV_CLANG_VERSION})
set(CMAKE_C_COMPILER_TARGET ${KRV_CLANG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${KRV_CLANG_TARGET})

set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${KRV_LIBCXX_INCLUDE}")
set(_krv_link "-fuse-ld=lld -nostdlib++ -Wl,--as-needed")
if(KRV_CLANG_TARGET MATCHES "^aarch64")
  # 64-bit ARM: aligned for 16 KiB pages, as Android 15 asks.
  string(APPEND _krv_link " -Wl,-z,max-page-size=16384")
endif()
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "${_krv_link}")
endforeach()

# Multiarch: target libraries (Android liblog) live in /usr/lib/<triplet>.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KRV_CLANG_TARGET}/pkgconfig:/usr/share/pkgconfig)
