#!/usr/bin/env bash
# System test on the phones' own architecture: Debian's arm64 kernel under
# qemu-system-aarch64 -M virt (TCG) with the kvs508 driver module built for
# it, a uinput touch screen as /dev/input/event2 and the real command pipe;
# the test program and krv-navd built for arm64 (the arm64 preset), and
# krv-navd built for armhf (the armhf preset) as 32-bit processes on the
# 64-bit kernel, each with navctl beside it, through a touch panel reload,
# a refused second start, SIGKILL and a new start (tests/system/README.md).
# The runner downloads the kernel, its headers and busybox-static:arm64 and
# unpacks them; nothing of arm64 is installed but the libraries the
# programs load.
set -euo pipefail
source .ci/lib.sh
tools/setup-host
krv_add_arch arm64 armhf
# The cross compilers (the arm64 one builds the module too), the emulator,
# this machine's kbuild for the unpacked arm64 headers, and what the
# programs load in the guest as multiarch packages. GoogleTest for arm64:
# the arm64 tree configures the test folders (it builds only the guest's).
need_pkgs crossbuild-essential-arm64 crossbuild-essential-armhf qemu-system-arm linux-kbuild-6.1 cpio xz-utils \
  android-liblog-dev:arm64 android-liblog-dev:armhf libstdc++6:arm64 libstdc++6:armhf \
  libgtest-dev:arm64 libgmock-dev:arm64
echo "building the library, krv-navd and navctl for armhf in build-sys-armhf (armhf preset)"
cmake --preset armhf -B build-sys-armhf -DKRV_BUILD_TESTS=OFF -DKRV_BUILD_DAEMON=ON >/dev/null
cmake --build build-sys-armhf -j"$(nproc)" --target krvnav krv-navd navctl >/dev/null
echo "building the library, the guest programs, krv-navd and navctl for arm64 in build-sys-arm64 (arm64 preset)"
cmake --preset arm64 -B build-sys-arm64 -DKRV_BUILD_DAEMON=ON -DKRV_SYSTEM_COMPAT_BUILD="$PWD/build-sys-armhf" >/dev/null
cmake --build build-sys-arm64 -j"$(nproc)" --target krvnav krv_system_guest krv_debug_exit krv-navd navctl >/dev/null
echo "running the arm64 system test (ctest -L system)"
KRV_SYSTEM_REQUIRED=1 ctest --test-dir build-sys-arm64 -L system --output-on-failure
log=build-sys-arm64/tests/system/work/console.log
grep -E '^(FAIL|skipped|(armhf |arm64 )?latency|--- guest reached|[0-9]+ passed, [0-9]+ failed)' "$log" || true
