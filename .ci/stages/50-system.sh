#!/usr/bin/env bash
# System test: the library against Debian's kernel under QEMU (TCG) with the
# kvs508 driver module, a uinput touch screen as /dev/input/event2 and the
# real command pipe (tests/system/README.md).
set -euo pipefail
tools/setup-host
echo "building the library and the guest programs in build-sys (Debug, no Java, no tools)"
cmake -S . -B build-sys -DCMAKE_BUILD_TYPE=Debug -DKRV_BUILD_JAVA=OFF -DKRV_BUILD_TOOLS=OFF >/dev/null
cmake --build build-sys -j"$(nproc)" --target krvnav krv_system_guest krv_debug_exit >/dev/null
echo "running the system test (ctest -L system); the runner installs qemu, the kernel headers, busybox and cpio"
KRV_SYSTEM_REQUIRED=1 ctest --test-dir build-sys -L system --output-on-failure
log=build-sys/tests/system/work/console.log
grep -E '^(FAIL|latency|[0-9]+ passed, [0-9]+ failed)' "$log" || true
