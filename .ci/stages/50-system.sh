#!/usr/bin/env bash
# System test: the library against Debian's kernel under QEMU (TCG) with the
# kvs508 driver module, a uinput touch screen as /dev/input/event2 and the
# real command pipe; then krv-navd hosting it as on a device, built for this
# machine and for i386 (32-bit processes on the 64-bit kernel), with navctl
# beside it, through a touch panel reload, a refused second start, SIGKILL
# and a new start (tests/system/README.md).
set -euo pipefail
source .ci/lib.sh
tools/setup-host
krv_add_arch i386
# The cross compiler, and what the i386 programs load in the guest (Debian's
# Android liblog and the C++ library as :i386 multiarch packages; not
# gcc-multilib, which would take the ARM cross compilers away).
need_pkgs crossbuild-essential-i386 android-liblog-dev:i386 libstdc++6:i386
echo "i386 cross compiler: $(i686-linux-gnu-g++ --version | head -1)"
echo "building the library, krv-navd and navctl for i386 in build-sys-i386 (Debug)"
cmake -S . -B build-sys-i386 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake -DCMAKE_BUILD_TYPE=Debug \
  -DKRV_BUILD_TESTS=OFF -DKRV_BUILD_TOOLS=OFF -DKRV_BUILD_JAVA=OFF -DKRV_BUILD_DAEMON=ON >/dev/null
cmake --build build-sys-i386 -j"$(nproc)" --target krvnav krv-navd navctl >/dev/null
echo "building the library, the guest programs, krv-navd and navctl in build-sys (Debug, no Java, no other tools)"
cmake -S . -B build-sys -DCMAKE_BUILD_TYPE=Debug -DKRV_BUILD_JAVA=OFF -DKRV_BUILD_TOOLS=OFF -DKRV_BUILD_DAEMON=ON \
  -DKRV_SYSTEM_COMPAT_BUILD="$PWD/build-sys-i386" >/dev/null
cmake --build build-sys -j"$(nproc)" --target krvnav krv_system_guest krv_debug_exit krv-navd navctl >/dev/null
echo "running the system test (ctest -L system); the runner installs qemu, the kernel headers, busybox and cpio"
KRV_SYSTEM_REQUIRED=1 ctest --test-dir build-sys -L system --output-on-failure
log=build-sys/tests/system/work/console.log
grep -E '^(FAIL|skipped|(i386 |x86-64 )?latency|--- guest reached|[0-9]+ passed, [0-9]+ failed)' "$log" || true
