#!/usr/bin/env bash
# 64-bit ARM: cross build of the library, the host property service, the
# simulated hardware and the test suite (optimised, without the host tools),
# with the suite run under qemu-aarch64. The library is linked for 16 KiB
# pages and its loadable segments are checked; the suite checks its needed
# libraries and its C library imports against bionic's table.
set -euo pipefail
source .ci/lib.sh
krv_cross_stage arm64 aarch64-linux-gnu qemu-aarch64
tools/check-load-alignment 16384 build/arm64/src/libkrvnav.so
